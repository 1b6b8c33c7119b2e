#pragma once

#include "wire/Stream.h"
#include "wire/WriteQueue.h"

#include <chrono>

namespace wire {

// A control connection: lines both ways, plus the heartbeat. Each side sends PING every
// `interval`; a side that hears nothing for `silence` closes the link (timed_out), so a
// dead link is noticed even when TCP would wait for minutes. PING lines are not passed on.
class LineChannel : public std::enable_shared_from_this<LineChannel>
{
public:
    using LineHandler = std::function<void(const std::string &)>;
    using CloseHandler = std::function<void(const std::error_code &)>;

    LineChannel(asio::io_context &io, StreamPtr stream, std::string pending);

    void start(LineHandler onLine, CloseHandler onClosed,
               std::chrono::milliseconds interval = std::chrono::seconds(10),
               std::chrono::milliseconds silence = std::chrono::seconds(30));
    void send(const std::string &line);
    // Closes without calling the close handler.
    void close();
    // Sends a last line (why the link ends), then closes, without calling the close handler;
    // the silence limit still bounds the wait for a peer that does not read.
    void sendAndClose(const std::string &line);
    bool isOpen() const { return m_open; }
    std::string peer() const { return m_stream->peer(); }

private:
    void readNext();
    void writeFront();
    void fail(const std::error_code &ec);
    void armPing();
    // Arms the silence timer for `after`; it fires only when the link really fell silent.
    void armSilence(std::chrono::steady_clock::duration after);

    StreamPtr m_stream;
    std::shared_ptr<std::string> m_pending;
    asio::steady_timer m_pingTimer;
    asio::steady_timer m_silenceTimer;
    std::chrono::steady_clock::time_point m_lastHeard;
    std::chrono::milliseconds m_interval{10000};
    std::chrono::milliseconds m_silence{30000};
    WriteQueue m_writes;
    LineHandler m_onLine;
    CloseHandler m_onClosed;
    bool m_open = true;
    bool m_closing = false;
};

} // namespace wire
