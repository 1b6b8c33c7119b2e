// The privileged half of the Ethernet bridge on Linux. The window runs as a plain user;
// this small program alone carries CAP_NET_RAW and CAP_NET_ADMIN (file capabilities set at
// install or by setup-adapter), the way capture tools keep privilege out of their GUI.
//
// It does three things and refuses everything else:
//   check                    exit 0 when both capabilities are effective
//   ip ARGS...               one of the few ip commands that address and route the bridge
//                            adapter talvo0, with every argument validated
//   capture talvo0p --fd N   capture inbound frames on talvo0p and inject frames, talking to
//                            the tool over the SOCK_SEQPACKET socket N (one frame a message)
//
// It trusts nothing it is given: the environment is dropped before ip runs, interface names
// are compared against the adapter's own, addresses are parsed, not pasted.
#include <arpa/inet.h>
#include <linux/capability.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

const char *const kStackSide = "talvo0";
const char *const kPeer = "talvo0p";
const char *const kMetric = "291";

const char *const kHelp =
    "Usage: talvo-bridge-helper check\n"
    "       talvo-bridge-helper ip ARGS...\n"
    "       talvo-bridge-helper capture talvo0p --fd N [--filter EXPRESSION]\n"
    "\n"
    "The capture and network-administration helper of talvo-hmi-tunnel's Ethernet channel.\n"
    "It holds CAP_NET_RAW and CAP_NET_ADMIN so that the tool itself needs none, and acts\n"
    "only on the bridge adapter talvo0/talvo0p made by setup-adapter.\n"
    "\n"
    "  check     exit 0 when the helper has both capabilities, 3 when not\n"
    "  ip        one of: link set dev talvo0 up|down; link set dev talvo0 address MAC;\n"
    "            link set dev talvo0p up; -4 addr flush dev talvo0;\n"
    "            addr add IP/24 broadcast IP dev talvo0;\n"
    "            route replace|del IP/LEN via IP dev talvo0 metric 291\n"
    "  capture   captures inbound frames on talvo0p and injects frames there, one frame per\n"
    "            message on the SOCK_SEQPACKET socket N (started by the tool)\n"
    "\n"
    "Exit codes: 0 done, 1 failed, 2 refused (bad arguments), 3 capabilities missing.\n";

constexpr int kRefused = 2;
constexpr int kNoCapabilities = 3;

// Frames travel with a one-byte tag so that a failure can be told apart from a frame.
constexpr char kFrame = 'F';
constexpr char kReady = 'R';
constexpr char kError = 'E';
constexpr int kSnapLength = 65536;
constexpr int kSocketBuffer = 4 * 1024 * 1024;

int refuse(const std::string &why)
{
    std::fprintf(stderr, "talvo-bridge-helper: refused: %s\n", why.c_str());
    return kRefused;
}

bool hasNetworkCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    const unsigned wanted = (1u << CAP_NET_ADMIN) | (1u << CAP_NET_RAW);
    return (data[0].effective & wanted) == wanted;
}

// File capabilities are not inherited across exec: ip gets them as ambient capabilities.
// Root needs none of this; without the capabilities ip fails and says why.
void passCapabilitiesOn()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    const unsigned wanted = (1u << CAP_NET_ADMIN) | (1u << CAP_NET_RAW);
    const unsigned permitted = data[0].permitted & wanted;
    data[0].inheritable |= permitted;
    if (syscall(SYS_capset, &header, data) != 0)
        return;
    for (int cap : {CAP_NET_ADMIN, CAP_NET_RAW})
        if (permitted & (1u << cap))
            prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0);
}

void dropCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    syscall(SYS_capset, &header, data);
}

bool isIpv4(const std::string &text)
{
    in_addr address{};
    return text.size() <= 15 && inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// ADDRESS/LEN with LEN 0 to 32; with exactLength only that length.
bool isPrefix(const std::string &text, int exactLength = -1)
{
    const auto slash = text.find('/');
    if (slash == std::string::npos || !isIpv4(text.substr(0, slash)))
        return false;
    const std::string length = text.substr(slash + 1);
    if (length.empty() || length.size() > 2 || length.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int n = std::atoi(length.c_str());
    return n <= 32 && (exactLength < 0 || n == exactLength);
}

bool isMac(const std::string &text)
{
    if (text.size() != 17)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool colon = i % 3 == 2;
        if (colon ? text[i] != ':' : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

using Words = std::vector<std::string>;

bool matches(const Words &args, const Words &pattern)
{
    if (args.size() != pattern.size())
        return false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &p = pattern[i];
        const bool ok = p == "<ip>"       ? isIpv4(args[i])
                        : p == "<ip/24>"  ? isPrefix(args[i], 24)
                        : p == "<prefix>" ? isPrefix(args[i])
                        : p == "<mac>"    ? isMac(args[i])
                        : p == "<up|down>" ? (args[i] == "up" || args[i] == "down")
                        : p == "<replace|del>" ? (args[i] == "replace" || args[i] == "del")
                                               : args[i] == p;
        if (!ok)
            return false;
    }
    return true;
}

// The forms LinuxVethAdapter issues, and nothing else.
bool allowedIpCommand(const Words &args)
{
    const std::string s = kStackSide;
    const std::vector<Words> forms = {
        {"link", "set", "dev", s, "<up|down>"},
        {"link", "set", "dev", s, "address", "<mac>"},
        {"link", "set", "dev", kPeer, "up"},
        {"-4", "addr", "flush", "dev", s},
        {"addr", "add", "<ip/24>", "broadcast", "<ip>", "dev", s},
        {"route", "<replace|del>", "<prefix>", "via", "<ip>", "dev", s, "metric", kMetric},
    };
    for (const Words &form : forms)
        if (matches(args, form))
            return true;
    return false;
}

int runIp(const Words &args)
{
    if (!allowedIpCommand(args)) {
        std::string joined;
        for (const std::string &a : args)
            joined += (joined.empty() ? "" : " ") + a;
        return refuse("not a command for the bridge adapter: ip " + joined);
    }
    const char *ip = nullptr;
    for (const char *candidate : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(candidate, X_OK) == 0) {
            ip = candidate;
            break;
        }
    if (!ip) {
        std::fprintf(stderr, "talvo-bridge-helper: the ip command is not installed (package iproute2)\n");
        return 1;
    }
    std::vector<char *> argv{const_cast<char *>(ip)};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    char *const environment[] = {const_cast<char *>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                                 const_cast<char *>("LC_ALL=C"), nullptr};
    passCapabilitiesOn();
    execve(ip, argv.data(), environment);
    std::fprintf(stderr, "talvo-bridge-helper: cannot run %s: %s\n", ip, std::strerror(errno));
    return 1;
}

void tell(int fd, char tag, const std::string &text)
{
    std::string message(1, tag);
    message += text;
    send(fd, message.data(), message.size(), MSG_NOSIGNAL);
}

pcap_t *openCapture(const std::string &filter, std::string *error)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t *handle = pcap_create(kPeer, errbuf);
    if (!handle) {
        *error = errbuf;
        return nullptr;
    }
    pcap_set_snaplen(handle, kSnapLength);
    pcap_set_promisc(handle, 1);
    pcap_set_timeout(handle, 10);
    // Each frame is handed over at once instead of when a buffer block fills.
    pcap_set_immediate_mode(handle, 1);
    pcap_set_buffer_size(handle, 8 * 1024 * 1024);
    const int status = pcap_activate(handle);
    auto fail = [&](const std::string &why) {
        *error = why;
        pcap_close(handle);
        return nullptr;
    };
    if (status < 0) {
        const char *detail = pcap_geterr(handle);
        return fail(detail && *detail ? detail : pcap_statustostr(status));
    }
    // What the bridge injects on this side would otherwise come straight back.
    if (pcap_setdirection(handle, PCAP_D_IN) != 0)
        return fail(pcap_geterr(handle));
    if (pcap_setnonblock(handle, 1, errbuf) != 0)
        return fail(errbuf);
    if (!filter.empty()) {
        bpf_program program;
        if (pcap_compile(handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0)
            return fail(std::string("capture filter: ") + pcap_geterr(handle));
        const int set = pcap_setfilter(handle, &program);
        pcap_freecode(&program);
        if (set != 0)
            return fail(std::string("capture filter: ") + pcap_geterr(handle));
    }
    return handle;
}

// Frames go to the tool in batches: one sendmmsg per capture wake-up instead of one
// system call per frame, which at tens of thousands of small frames a second is most of
// the cost. Each frame is still a message of its own.
constexpr unsigned kBatchFrames = 64;
constexpr std::size_t kBatchBytes = 256 * 1024;
// Messages from the tool taken per wake-up; the slots are larger than any frame the link
// carries (a longer message is cut and dropped, not injected).
constexpr unsigned kInjectSlots = 64;
constexpr std::size_t kInjectSlotBytes = 2048;
// Drops are summed up on stderr at most this often, not once per frame.
constexpr time_t kReportEverySeconds = 5;

struct Forward
{
    int fd;
    std::vector<char> bytes = std::vector<char>(kBatchBytes);
    std::size_t used = 0;
    iovec parts[kBatchFrames]{};
    mmsghdr messages[kBatchFrames]{};
    unsigned count = 0;
    unsigned long dropped = 0;
    unsigned long reported = 0;
    time_t lastReport = 0;
};

void sendBatch(Forward &forward)
{
    unsigned sent = 0;
    while (sent < forward.count) {
        // A tool that does not keep up loses frames, as a busy wire would; the capture never
        // blocks on it, so injection keeps flowing.
        const int n = sendmmsg(forward.fd, forward.messages + sent, forward.count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        sent += unsigned(n);
    }
    forward.dropped += forward.count - sent;
    forward.count = 0;
    forward.used = 0;
    const time_t now = time(nullptr);
    if (forward.dropped != forward.reported && now - forward.lastReport >= kReportEverySeconds) {
        std::fprintf(stderr, "talvo-bridge-helper: %lu captured frames dropped, the tool does not read fast enough\n",
                     forward.dropped - forward.reported);
        forward.reported = forward.dropped;
        forward.lastReport = now;
    }
}

void forwardFrame(u_char *user, const pcap_pkthdr *header, const u_char *bytes)
{
    auto &forward = *reinterpret_cast<Forward *>(user);
    // A frame cut short by the capture would make the tool read past what was captured.
    if (header->caplen < header->len)
        return;
    const std::size_t size = header->caplen + 1;
    if (size > forward.bytes.size())
        return;
    if (forward.count == kBatchFrames || forward.used + size > forward.bytes.size())
        sendBatch(forward);
    // The capture's buffer is handed back when this returns: the frame is copied.
    char *at = forward.bytes.data() + forward.used;
    at[0] = kFrame;
    std::memcpy(at + 1, bytes, header->caplen);
    forward.parts[forward.count] = {at, size};
    forward.messages[forward.count] = {};
    forward.messages[forward.count].msg_hdr.msg_iov = &forward.parts[forward.count];
    forward.messages[forward.count].msg_hdr.msg_iovlen = 1;
    ++forward.count;
    forward.used += size;
}

// Injects what the tool sent, draining up to a batch per wake-up. False when the tool
// closed the channel or went away.
bool injectFrames(int fd, pcap_t *handle, std::vector<char> &slots)
{
    iovec parts[kInjectSlots];
    mmsghdr messages[kInjectSlots]{};
    for (unsigned i = 0; i < kInjectSlots; ++i) {
        parts[i] = {slots.data() + i * kInjectSlotBytes, kInjectSlotBytes};
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = recvmmsg(fd, messages, kInjectSlots, MSG_DONTWAIT, nullptr);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    if (n == 0)
        return false;
    // pcap_inject is a send() on the capture's packet socket, bound to talvo0p: the batch
    // goes out in one sendmmsg instead, past each frame's tag.
    iovec frames[kInjectSlots];
    mmsghdr out[kInjectSlots]{};
    unsigned count = 0;
    bool ended = false;
    for (int i = 0; i < n; ++i) {
        // An empty message is the end of the stream (the tool closed its end).
        if (messages[i].msg_len == 0) {
            ended = true;
            break;
        }
        char *message = slots.data() + std::size_t(i) * kInjectSlotBytes;
        if (messages[i].msg_len > 1 && message[0] == kFrame && !(messages[i].msg_hdr.msg_flags & MSG_TRUNC)) {
            frames[count] = {message + 1, messages[i].msg_len - 1};
            out[count].msg_hdr.msg_iov = &frames[count];
            out[count].msg_hdr.msg_iovlen = 1;
            ++count;
        }
    }
    const int device = pcap_get_selectable_fd(handle);
    for (unsigned sent = 0; sent < count;) {
        const int done = sendmmsg(device, out + sent, count - sent, MSG_DONTWAIT);
        if (done < 0 && errno == EINTR)
            continue;
        // A frame the adapter refuses is lost, as on a congested wire; the rest still go.
        sent += done > 0 ? unsigned(done) : 1;
    }
    return !ended;
}

int runCapture(const Words &args)
{
    if (args.empty() || args[0] != kPeer)
        return refuse(std::string("capture works on ") + kPeer + " only, not on " + (args.empty() ? "nothing" : args[0]));
    int fd = -1;
    std::string filter;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--fd" && i + 1 < args.size()) {
            const std::string &n = args[++i];
            if (n.empty() || n.size() > 4 || n.find_first_not_of("0123456789") != std::string::npos)
                return refuse("--fd takes a descriptor number");
            fd = std::atoi(n.c_str());
        } else if (args[i] == "--filter" && i + 1 < args.size()) {
            filter = args[++i];
            if (filter.size() > 1024)
                return refuse("capture filter longer than 1024 characters");
        } else {
            return refuse("unknown capture argument " + args[i]);
        }
    }
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (fd < 3 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_SEQPACKET)
        return refuse("--fd must name a SOCK_SEQPACKET socket");

    // The tool reads in batches, but a burst must fit while it is busy elsewhere; the
    // system's default limit holds only a few hundred small frames. Raising it past that
    // limit needs CAP_NET_ADMIN, which goes below.
    const int socketBuffer = kSocketBuffer;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &socketBuffer, sizeof socketBuffer);

    std::string error;
    pcap_t *handle = openCapture(filter, &error);
    // Once the capture is open nothing needs a capability any more: injection goes through
    // the socket already opened.
    dropCapabilities();
    if (!handle) {
        tell(fd, kError, error);
        return 1;
    }
    tell(fd, kReady, std::string());

    Forward forward{fd};
    std::vector<char> slots(kInjectSlots * kInjectSlotBytes);
    pollfd watched[2] = {{fd, POLLIN, 0}, {pcap_get_selectable_fd(handle), POLLIN, 0}};
    for (;;) {
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (watched[1].revents & POLLIN) {
            const int n = pcap_dispatch(handle, -1, forwardFrame, reinterpret_cast<u_char *>(&forward));
            sendBatch(forward);
            if (n < 0) {
                tell(fd, kError, pcap_geterr(handle));
                break;
            }
        } else if (watched[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            tell(fd, kError, "the adapter went away");
            break;
        }
        if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) && !injectFrames(fd, handle, slots))
            break;
    }
    if (forward.dropped != forward.reported)
        std::fprintf(stderr, "talvo-bridge-helper: %lu captured frames dropped while the tool was busy\n",
                     forward.dropped - forward.reported);
    pcap_close(handle);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return std::fputs(kHelp, stderr), kRefused;
    const std::string command = argv[1];
    if (command == "--help" || command == "-h")
        return std::fputs(kHelp, stdout), 0;
    const Words args(argv + 2, argv + argc);
    if (command == "check") {
        if (hasNetworkCapabilities())
            return 0;
        std::fprintf(stderr, "talvo-bridge-helper: CAP_NET_RAW and CAP_NET_ADMIN are not granted; run setup-adapter\n");
        return kNoCapabilities;
    }
    if (command == "ip")
        return runIp(args);
    if (command == "capture")
        return runCapture(args);
    return refuse("unknown command " + command + " (try --help)");
}
