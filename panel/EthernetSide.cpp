#include "panel/EthernetSide.h"

#include <pcap/pcap.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace panel {

namespace {

constexpr std::size_t kHeaderBytes = 14;
const std::string kSlowPc = "frames for the PC dropped: it reads too slowly (more than "
    + std::to_string(EthernetSide::kMaxPcBacklog / 1024) + " KiB waiting for it)";

// The interface's MTU, or 0 when it cannot be read.
int interfaceMtu(const std::string &name)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return 0;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    const int mtu = ioctl(fd, SIOCGIFMTU, &ifr) == 0 ? ifr.ifr_mtu : 0;
    ::close(fd);
    return mtu;
}

bool groOn(const std::string &name)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    ethtool_value value{};
    value.cmd = ETHTOOL_GGRO;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    ifr.ifr_data = reinterpret_cast<char *>(&value);
    const bool on = ioctl(fd, SIOCETHTOOL, &ifr) == 0 && value.data != 0;
    ::close(fd);
    return on;
}

bool holdsAddress(const std::string &name, const std::string &ip)
{
    in_addr wanted{};
    if (ip.empty() || inet_pton(AF_INET, ip.c_str(), &wanted) != 1)
        return false;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs *a = list; a && !found; a = a->ifa_next)
        found = a->ifa_addr && a->ifa_addr->sa_family == AF_INET && name == a->ifa_name
            && reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr == wanted.s_addr;
    freeifaddrs(list);
    return found;
}

std::string openError(const std::string &interface, int status, const char *detail)
{
    const std::string text = detail && *detail ? detail : pcap_statustostr(status);
    switch (status) {
    case PCAP_ERROR_PERM_DENIED:
        return "no permission to capture on " + interface + " (" + text
            + "): the agent needs CAP_NET_RAW; run it as root or grant it with "
              "setcap cap_net_raw+ep talvo-panel";
    case PCAP_ERROR_NO_SUCH_DEVICE:
        return "no interface " + interface + " (" + text + ")";
    case PCAP_ERROR_IFACE_NOT_UP:
        return interface + " is down (" + text + ")";
    default:
        return "cannot capture on " + interface + ": " + text;
    }
}

} // namespace

std::optional<std::array<std::uint8_t, 6>> EthernetSide::parseMac(const std::string &text)
{
    std::array<std::uint8_t, 6> mac{};
    std::size_t pos = 0;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != ':')
                return std::nullopt;
            ++pos;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        for (; pos < text.size() && std::isxdigit(static_cast<unsigned char>(text[pos])); ++pos, ++digits) {
            const char c = char(std::tolower(static_cast<unsigned char>(text[pos])));
            value = value * 16 + unsigned(c <= '9' ? c - '0' : c - 'a' + 10);
            if (digits == 2)
                return std::nullopt;
        }
        if (digits == 0)
            return std::nullopt;
        mac[i] = std::uint8_t(value);
    }
    if (pos != text.size())
        return std::nullopt;
    return mac;
}

std::string EthernetSide::filterFor(const std::array<std::uint8_t, 6> &mac)
{
    char text[64];
    std::snprintf(text, sizeof text, "ether dst %02x:%02x:%02x:%02x:%02x:%02x or ether multicast", mac[0], mac[1],
                  mac[2], mac[3], mac[4], mac[5]);
    return text;
}

std::shared_ptr<EthernetSide> EthernetSide::open(asio::io_context &io, const std::string &interface,
                                                 const std::string &announcedMac, const std::string &announcedIp,
                                                 PortSideEvents events, std::string *error)
{
    const auto mac = parseMac(announcedMac);
    if (!mac) {
        *error = "announced MAC " + announcedMac + " is not six hexadecimal groups";
        return nullptr;
    }
    auto side = std::make_shared<EthernetSide>(io, interface, *mac, std::move(events));
    if (!side->openHandle(error))
        return nullptr;
    side->warnAboutSetup(announcedIp);
    side->waitForFrames();
    return side;
}

EthernetSide::EthernetSide(asio::io_context &io, std::string interface, std::array<std::uint8_t, 6> mac,
                           PortSideEvents events)
    : m_interface(std::move(interface))
    , m_mac(mac)
    , m_events(std::move(events))
    , m_descriptor(io)
    , m_reopenTimer(io)
{
}

EthernetSide::~EthernetSide()
{
    close();
}

bool EthernetSide::openHandle(std::string *error)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t *handle = pcap_create(m_interface.c_str(), errbuf);
    if (!handle) {
        *error = "cannot capture on " + m_interface + ": " + errbuf;
        return false;
    }
    auto fail = [&](const std::string &why) {
        *error = why;
        pcap_close(handle);
        return false;
    };
    pcap_set_snaplen(handle, 65536);
    // The PC answers for the announced MAC, which need not be the interface's own.
    pcap_set_promisc(handle, 1);
    pcap_set_immediate_mode(handle, 1);
    pcap_set_buffer_size(handle, kCaptureBufferBytes);
    const int status = pcap_activate(handle);
    if (status < 0)
        return fail(openError(m_interface, status, pcap_geterr(handle)));
    if (pcap_datalink(handle) != DLT_EN10MB)
        return fail(m_interface + " is not an Ethernet interface");
    // Frames injected for the PC leave through this handle and must not come back.
    if (pcap_setdirection(handle, PCAP_D_IN) != 0)
        return fail("cannot capture inbound only on " + m_interface + ": " + pcap_geterr(handle));
    if (pcap_setnonblock(handle, 1, errbuf) != 0)
        return fail("cannot make the capture on " + m_interface + " non-blocking: " + errbuf);
    bpf_program program{};
    if (pcap_compile(handle, &program, filterFor(m_mac).c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0)
        return fail("cannot build the capture filter for " + m_interface + ": " + pcap_geterr(handle));
    const int set = pcap_setfilter(handle, &program);
    pcap_freecode(&program);
    if (set != 0)
        return fail("cannot set the capture filter on " + m_interface + ": " + pcap_geterr(handle));
    const int fd = pcap_get_selectable_fd(handle);
    if (fd < 0)
        return fail("no descriptor to wait on for " + m_interface);
    std::error_code ec;
    m_descriptor.assign(fd, ec);
    if (ec)
        return fail("cannot watch the capture on " + m_interface + ": " + ec.message());
    m_handle = handle;
    const int mtu = interfaceMtu(m_interface);
    // Room for one 802.1Q tag beyond the header.
    m_maxFrame = mtu > 0 ? std::size_t(mtu) + kHeaderBytes + 4 : 0;
    return true;
}

void EthernetSide::warnAboutSetup(const std::string &announcedIp)
{
    if (holdsAddress(m_interface, announcedIp))
        m_events.report(m_interface + " holds " + announcedIp
                        + " itself: this host's own stack will answer the PLC's replies meant for the PC "
                          "(TCP resets); remove the address from the interface or announce another one");
    if (groOn(m_interface))
        m_events.report(m_interface + " merges received frames (GRO): merged frames longer than one MTU cannot be "
                                      "passed on and are dropped; turn it off with: ethtool -K " + m_interface
                        + " gro off lro off");
}

void EthernetSide::closeHandle()
{
    if (!m_handle)
        return;
    std::error_code ec;
    m_descriptor.cancel(ec);
    // The descriptor belongs to the capture handle, which closes it.
    m_descriptor.release();
    pcap_close(m_handle);
    m_handle = nullptr;
}

void EthernetSide::close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_reopenTimer.cancel();
    if (m_inDispatch) {
        // Closed from inside a frame callback: the handle is closed once the read returns.
        pcap_breakloop(m_handle);
        std::error_code ec;
        m_descriptor.cancel(ec);
    } else {
        closeHandle();
    }
    count(m_droppedBacklog, kSlowPc, true);
    count(m_droppedBroken, "captured frames dropped, too short or cut short", true);
    count(m_droppedOversize, "captured frames dropped, longer than one MTU", true);
    count(m_droppedFromPc, "frames from the PC dropped, too short or the interface unavailable", true);
    count(m_sendFailed, "frames from the PC the interface refused", true);
}

void EthernetSide::waitForFrames()
{
    std::weak_ptr<EthernetSide> weak = shared_from_this();
    m_descriptor.async_wait(asio::posix::stream_descriptor::wait_read, [weak](const std::error_code &ec) {
        const auto self = weak.lock();
        if (!self || self->m_closed || !self->m_handle || ec == asio::error::operation_aborted)
            return;
        if (ec) {
            self->captureFailed(ec.message());
            return;
        }
        self->readFrames();
    });
}

void EthernetSide::readFrames()
{
    m_inDispatch = true;
    const int n = pcap_dispatch(
        m_handle, kFramesPerTurn,
        [](u_char *user, const pcap_pkthdr *header, const u_char *bytes) {
            reinterpret_cast<EthernetSide *>(user)->frame(header, bytes);
        },
        reinterpret_cast<u_char *>(this));
    m_inDispatch = false;
    if (m_closed) {
        closeHandle();
        return;
    }
    if (n < 0) {
        captureFailed(pcap_geterr(m_handle));
        return;
    }
    // Waiting again even after a full turn puts the rest behind the io loop's other work;
    // the descriptor is still readable, so the wait ends at once.
    waitForFrames();
}

void EthernetSide::frame(const pcap_pkthdr *header, const unsigned char *bytes)
{
    if (m_closed)
        return;
    if (header->len < kHeaderBytes || header->caplen < header->len) {
        count(m_droppedBroken, "captured frames dropped, too short or cut short (MTU raised? it counts from "
                               "the next session)");
        return;
    }
    if (m_maxFrame && header->len > m_maxFrame) {
        count(m_droppedOversize, "captured frames dropped, longer than one MTU (turn GRO/LRO off: ethtool -K "
                                     + m_interface + " gro off lro off)");
        return;
    }
    const std::size_t backlog = m_events.pcBacklog ? m_events.pcBacklog() : 0;
    if (backlog + header->len > kMaxPcBacklog) {
        count(m_droppedBacklog, kSlowPc);
        return;
    }
    m_events.toPc(std::string(reinterpret_cast<const char *>(bytes), header->len));
}

void EthernetSide::send(const std::string &frame)
{
    sendFrames({&frame});
}

// pcap_sendpacket is a send() on the capture's packet socket, bound to the interface; at
// tens of thousands of frames a second one sendmmsg for a batch costs far less.
void EthernetSide::sendFrames(const std::vector<const std::string *> &frames)
{
    if (m_closed)
        return;
    iovec parts[kFramesPerSend];
    mmsghdr messages[kFramesPerSend];
    unsigned batched = 0;
    auto flush = [&] {
        const int fd = pcap_get_selectable_fd(m_handle);
        for (unsigned sent = 0; sent < batched;) {
            const int n = sendmmsg(fd, messages + sent, batched - sent, 0);
            if (n > 0) {
                sent += unsigned(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                // That frame is lost, as on a congested wire; the ones after it are still tried.
                count(m_sendFailed, "frames from the PC the interface refused, last: " + std::string(std::strerror(errno)));
                ++sent;
            }
        }
        batched = 0;
    };
    for (const std::string *frame : frames) {
        if (frame->size() < kHeaderBytes || !m_handle) {
            count(m_droppedFromPc, "frames from the PC dropped, too short or the interface unavailable");
            continue;
        }
        parts[batched] = {const_cast<char *>(frame->data()), frame->size()};
        messages[batched] = {};
        messages[batched].msg_hdr.msg_iov = &parts[batched];
        messages[batched].msg_hdr.msg_iovlen = 1;
        if (++batched == kFramesPerSend)
            flush();
    }
    if (batched)
        flush();
}

void EthernetSide::captureFailed(const std::string &why)
{
    m_events.report(m_interface + ": capture failed (" + why + "); looking for it again every "
                    + std::to_string(kReopenInterval.count()) + " ms");
    closeHandle();
    m_lastOpenError.clear();
    scheduleReopen();
}

void EthernetSide::scheduleReopen()
{
    std::weak_ptr<EthernetSide> weak = shared_from_this();
    m_reopenTimer.expires_after(kReopenInterval);
    m_reopenTimer.async_wait([weak](const std::error_code &ec) {
        const auto self = weak.lock();
        if (ec || !self || self->m_closed)
            return;
        std::string error;
        if (!self->openHandle(&error)) {
            // Said once, not every second while the interface stays away.
            if (error != self->m_lastOpenError)
                self->m_events.report(error);
            self->m_lastOpenError = error;
            self->scheduleReopen();
            return;
        }
        self->m_events.report(self->m_interface + ": capturing again");
        self->waitForFrames();
    });
}

void EthernetSide::count(Counter &counter, const std::string &what, bool force)
{
    if (!force)
        ++counter.count;
    if (counter.count == counter.reported)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && counter.reported != 0 && now - counter.lastReport < kReportEvery)
        return;
    m_events.report(m_interface + ": " + std::to_string(counter.count - counter.reported) + " " + what);
    counter.reported = counter.count;
    counter.lastReport = now;
}

PassThroughConfig::OpenSide ethernetOpener(std::string announcedMac, std::string announcedIp)
{
    return [announcedMac, announcedIp](asio::io_context &io, const std::string &interface, PortSideEvents events,
                                       std::string *error) -> PortSidePtr {
        return EthernetSide::open(io, interface, announcedMac, announcedIp, std::move(events), error);
    };
}

} // namespace panel
