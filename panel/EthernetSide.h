#pragma once

#include "panel/PassThroughConfig.h"
#include "panel/PortSide.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>


// The capture library's types, declared only: its header stays in the source file.
struct pcap;
struct pcap_pkthdr;

namespace panel {

// The panel's Ethernet port for one pass-through session: frames from the PC are injected
// into the interface as they come; frames the PLC side sends to the announced MAC, and its
// broadcasts and multicasts, go back to the PC. The host needs no address on the
// interface. Everything runs on the agent's io thread: the capture handle is non-blocking
// and its descriptor is watched by the io loop, so no thread of its own is needed.
class EthernetSide : public PortSide, public std::enable_shared_from_this<EthernetSide>
{
public:
    // Frames waiting to be written to the PC. Ethernet may lose frames and the PC resends
    // what matters, so beyond this (about 170 full-size frames, 20 ms of a saturated
    // 100 Mbit/s link) frames are dropped and the drops reported, instead of letting memory
    // grow or the session give up.
    static constexpr std::size_t kMaxPcBacklog = 256 * 1024;
    // At most this many frames are read per turn of the io loop, so that a flood does not
    // keep the PC's stream from being written.
    static constexpr int kFramesPerTurn = 64;
    // Frames from the PC handed to the interface in one system call.
    static constexpr unsigned kFramesPerSend = 64;
    // Kernel capture buffer: a burst of 1 MB of full-size frames fits several times over.
    static constexpr int kCaptureBufferBytes = 4 * 1024 * 1024;
    // An interface that went away is looked for again this often, for as long as the
    // session lasts.
    static constexpr std::chrono::milliseconds kReopenInterval{1000};
    // Repeated faults of one kind are summed up at most this often.
    static constexpr std::chrono::seconds kReportEvery{5};

    // Null with the reason when the interface cannot be captured on now (missing, no
    // permission, not Ethernet). `announcedMac` is six groups of hexadecimal digits; the
    // announced IP is only used to warn when the host itself holds it on the interface.
    static std::shared_ptr<EthernetSide> open(asio::io_context &io, const std::string &interface,
                                              const std::string &announcedMac, const std::string &announcedIp,
                                              PortSideEvents events, std::string *error);
    // The capture filter for a MAC given as six numbers: only ever built from numbers.
    static std::string filterFor(const std::array<std::uint8_t, 6> &mac);
    static std::optional<std::array<std::uint8_t, 6>> parseMac(const std::string &text);

    EthernetSide(asio::io_context &io, std::string interface, std::array<std::uint8_t, 6> mac, PortSideEvents events);
    ~EthernetSide() override;

    void send(const std::string &frame) override;
    void sendFrames(const std::vector<const std::string *> &frames) override;
    void close() override;

    bool isCapturing() const { return m_handle != nullptr; }

private:
    struct Counter
    {
        std::uint64_t count = 0;
        std::uint64_t reported = 0;
        std::chrono::steady_clock::time_point lastReport{};
    };

    bool openHandle(std::string *error);
    void closeHandle();
    void waitForFrames();
    void readFrames();
    void captureFailed(const std::string &why);
    void scheduleReopen();
    void frame(const ::pcap_pkthdr *header, const unsigned char *bytes);
    void count(Counter &counter, const std::string &what, bool force = false);
    void warnAboutSetup(const std::string &announcedIp);

    std::string m_interface;
    std::array<std::uint8_t, 6> m_mac;
    PortSideEvents m_events;
    asio::posix::stream_descriptor m_descriptor;
    asio::steady_timer m_reopenTimer;
    ::pcap *m_handle = nullptr;
    std::size_t m_maxFrame = 0;
    bool m_closed = false;
    bool m_inDispatch = false;
    std::string m_lastOpenError;

    Counter m_droppedBacklog;   // towards a PC that reads too slowly
    Counter m_droppedBroken;    // too short, or captured shorter than sent
    Counter m_droppedOversize;  // longer than an MTU: merged by the kernel
    Counter m_droppedFromPc;    // too short, or the interface unavailable
    Counter m_sendFailed;
};

// PassThroughConfig::openEthernet for the addresses the agent announces.
PassThroughConfig::OpenSide ethernetOpener(std::string announcedMac, std::string announcedIp);

} // namespace panel
