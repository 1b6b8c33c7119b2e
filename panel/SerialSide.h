#pragma once

#include "panel/PassThroughConfig.h"
#include "panel/PortSide.h"
#include "wire/WriteQueue.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace panel {

// The device is read with parity marking on, so that a byte the UART received damaged is
// told apart from good data instead of passing as if nothing happened: 0xFF 0xFF stands for
// a data byte 0xFF, 0xFF 0x00 X for a byte X received with a parity or framing error (X = 0
// also for a break). Marks may be cut by the end of a read.
class MarkedInput
{
public:
    // Appends the data bytes of the read to `out`; returns how many of them came with a
    // line error. A damaged byte is passed on as received (the PLC protocol's checksum then
    // refuses the message) and counted, so the fault is reported rather than hidden.
    std::size_t decode(const char *data, std::size_t size, std::string &out);
    void reset() { m_state = Plain; }

private:
    enum State { Plain, AfterMark, AfterErrorMark };
    State m_state = Plain;
};

// A serial device behind one of the panel's ports, for one pass-through session: bytes from
// the PC are written to it unchanged, bytes it reads go to the PC unchanged. A device that
// goes away while open (a USB adapter pulled) is reported and opened again when it returns.
class SerialSide : public PortSide, public std::enable_shared_from_this<SerialSide>
{
public:
    // Bytes from the PC waiting for a device slower than the network. The PC has no flow
    // control towards the panel, so beyond this (over six minutes at 115,200 baud, far more
    // than any request-and-answer protocol has in flight) bytes are dropped and reported.
    static constexpr std::size_t kMaxQueuedBytes = 4 << 20;
    // Reopening a device that went away: first after 50 ms, then doubling, at most every
    // second, for as long as the session lasts.
    static constexpr std::chrono::milliseconds kFirstRetry{50};
    static constexpr std::chrono::milliseconds kMaxRetry{1000};
    static constexpr std::chrono::seconds kSettled{5};
    // Bytes for the PC not yet written to it. Beyond this the device is not read until the
    // PC catches up, so the session's own bound is never hit by a device that sends faster
    // than the PC reads; the driver's buffer holds what comes meanwhile.
    static constexpr std::size_t kMaxPcBacklog = 256 * 1024;
    static constexpr std::chrono::milliseconds kBacklogCheck{10};
    // Repeated faults (drops, line errors) are summed up at most once a second.
    static constexpr std::chrono::seconds kReportEvery{1};

    // Null with the reason when the device cannot be opened or set up now.
    static std::shared_ptr<SerialSide> open(asio::io_context &io, const std::string &port,
                                            const std::string &device, const SerialLine &line,
                                            PortSideEvents events, std::string *error);
    ~SerialSide() override;

    void send(const std::string &bytes) override;
    void close() override;

    SerialSide(const SerialSide &) = delete;
    SerialSide &operator=(const SerialSide &) = delete;

private:
    // One session at a time per port, the newest: two readers of one device would each get
    // part of its bytes. An older session whose PC went silently is the usual other one.
    bool claimPort();
    void takenOver();

    SerialSide(asio::io_context &io, const std::string &port, const std::string &device,
               const SerialLine &line, PortSideEvents events);

    bool openDevice(std::string *error);
    void read();
    void readWhenPcCatchesUp(unsigned generation);
    void reportLostInDriver();
    void writeFront();
    void gone(const std::string &why);
    void scheduleRetry();
    void drop(std::size_t bytes, const char *why);
    void reportDrops(bool now);
    void reportLineErrors(bool now);
    void report(const std::string &line);

    asio::posix::stream_descriptor m_device;
    asio::steady_timer m_retryTimer;
    asio::steady_timer m_backlogTimer;
    const std::string m_port;
    const std::string m_path;
    const SerialLine m_line;
    PortSideEvents m_events;
    wire::WriteQueue m_writes;

    const std::uint64_t m_order; // sides made later have higher numbers
    // Each open of the device is a generation; handlers of an earlier one are stale.
    unsigned m_generation = 0;
    bool m_closed = false;
    std::chrono::milliseconds m_retryDelay = kFirstRetry;
    std::chrono::steady_clock::time_point m_goneSince;
    std::chrono::steady_clock::time_point m_openedAt;

    std::array<char, 16384> m_readBuffer;
    MarkedInput m_marks;

    std::size_t m_droppedBytes = 0;     // not yet reported
    std::string m_dropReason;
    std::chrono::steady_clock::time_point m_lastDropReport;
    bool m_pauseReported = false;
    int m_driverOverruns = -1;          // the UART driver's count at the last look; -1: none
    std::size_t m_lineErrors = 0;       // not yet reported
    std::chrono::steady_clock::time_point m_lastLineErrorReport;
};

// What the agent plugs in as PassThroughConfig::openSerial: opens the device configured for
// the port with its line settings.
PassThroughConfig::OpenSide serialOpener(const PassThroughConfig &config);

} // namespace panel
