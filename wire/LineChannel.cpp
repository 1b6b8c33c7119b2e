#include "wire/LineChannel.h"

#include "wire/Messages.h"
#include "wire/ReadLine.h"

namespace wire {

namespace {
// Bursts are normal (hundreds of stream requests at once are ~40 bytes each); a peer that
// lets a mebibyte of control lines pile up is not reading and is dropped.
constexpr std::size_t kMaxQueuedBytes = 1 << 20;

// Heartbeat times fall on a grid of a 40th of the interval (250 ms at 10 s): the timers of
// thousands of links then fall due together, one wake-up for a batch instead of one each,
// which was most of an idle relay's work.
std::chrono::steady_clock::duration gridStep(std::chrono::milliseconds interval)
{
    return std::max<std::chrono::steady_clock::duration>(interval / 40, std::chrono::milliseconds(1));
}

std::chrono::steady_clock::time_point onGrid(std::chrono::steady_clock::time_point t,
                                              std::chrono::milliseconds interval, bool up)
{
    const auto step = gridStep(interval);
    const auto since = t.time_since_epoch() + (up ? step - std::chrono::nanoseconds(1) : step * 0);
    return std::chrono::steady_clock::time_point(since / step * step);
}
} // namespace

LineChannel::LineChannel(asio::io_context &io, StreamPtr stream, std::string pending)
    : m_stream(std::move(stream)), m_pending(std::make_shared<std::string>(std::move(pending))),
      m_pingTimer(io), m_silenceTimer(io), m_writes(kMaxQueuedBytes)
{
}

void LineChannel::start(LineHandler onLine, CloseHandler onClosed, std::chrono::milliseconds interval,
                        std::chrono::milliseconds silence)
{
    m_onLine = std::move(onLine);
    m_onClosed = std::move(onClosed);
    m_interval = interval;
    m_silence = silence;
    armPing();
    m_lastHeard = std::chrono::steady_clock::now();
    armSilence(m_silence);
    readNext();
}

void LineChannel::readNext()
{
    auto self = shared_from_this();
    readLine(m_stream, m_pending, msg::kMaxLine, [self](const std::error_code &ec, std::string line) {
        if (!self->m_open)
            return;
        if (ec)
            return self->fail(ec);
        // Only noted: moving a timer per line was most of a relay's work for idle panels.
        self->m_lastHeard = std::chrono::steady_clock::now();
        if (!msg::Ping::decode(line) && self->m_onLine) {
            // The handler may close us; keep ourselves alive through the call.
            auto handler = self->m_onLine;
            handler(line);
        }
        if (self->m_open)
            self->readNext();
    });
}

void LineChannel::send(const std::string &line)
{
    if (!m_open || m_closing)
        return;
    const auto pushed = m_writes.push(line + "\n");
    if (pushed == WriteQueue::Push::Overflow)
        return fail(std::make_error_code(std::errc::no_buffer_space));
    if (pushed == WriteQueue::Push::Start)
        writeFront();
}

void LineChannel::writeFront()
{
    auto self = shared_from_this();
    m_stream->writeAll(asio::buffer(m_writes.front()), [self](const std::error_code &ec, std::size_t) {
        if (!self->m_open)
            return;
        if (ec)
            return self->fail(ec);
        if (self->m_writes.pop()) {
            self->writeFront();
        } else if (self->m_closing) {
            // The last line is out: the peer reads it before it sees the end.
            self->m_stream->shutdownSend();
            self->close();
        }
    });
}

void LineChannel::armPing()
{
    // Later, never sooner: the peer's silence limit is counted in our intervals.
    m_pingTimer.expires_at(onGrid(std::chrono::steady_clock::now() + m_interval, m_interval, true));
    std::weak_ptr<LineChannel> weak = shared_from_this();
    m_pingTimer.async_wait([weak](const std::error_code &ec) {
        auto self = weak.lock();
        if (ec || !self || !self->m_open)
            return;
        self->send(msg::Ping {}.encode());
        self->armPing();
    });
}

void LineChannel::armSilence(std::chrono::steady_clock::duration after)
{
    // Sooner, never later (by less than a step): a silent link is noticed within the limit.
    m_silenceTimer.expires_at(onGrid(std::chrono::steady_clock::now() + after, m_interval, false));
    std::weak_ptr<LineChannel> weak = shared_from_this();
    m_silenceTimer.async_wait([weak](const std::error_code &ec) {
        auto self = weak.lock();
        if (ec || !self || !self->m_open)
            return;
        const auto quiet = std::chrono::steady_clock::now() - self->m_lastHeard;
        if (quiet < self->m_silence - gridStep(self->m_interval))
            return self->armSilence(self->m_silence - quiet);
        self->fail(asio::error::timed_out);
    });
}

void LineChannel::fail(const std::error_code &ec)
{
    if (!m_open)
        return;
    close();
    if (m_onClosed) {
        auto handler = std::move(m_onClosed);
        handler(ec);
    }
}

void LineChannel::sendAndClose(const std::string &line)
{
    if (!m_open || m_closing)
        return;
    m_onLine = nullptr;
    m_onClosed = nullptr;
    m_pingTimer.cancel();
    const auto pushed = m_writes.push(line + "\n");
    m_closing = true;
    if (pushed == WriteQueue::Push::Start)
        writeFront();
    else if (pushed == WriteQueue::Push::Overflow)
        close(); // a peer that reads nothing hears nothing more
}

void LineChannel::close()
{
    if (!m_open)
        return;
    m_open = false;
    m_pingTimer.cancel();
    m_silenceTimer.cancel();
    m_stream->close();
    m_onLine = nullptr;
}

} // namespace wire
