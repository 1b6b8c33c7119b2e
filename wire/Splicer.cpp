#include "wire/Splicer.h"

namespace wire {

namespace {
// Interactive streams (VNC, PLC protocols) stay at the small size; a direction whose reads
// keep filling the buffer is bulk and grows it, so that it costs fewer system calls and
// wake-ups per byte. Hundreds of idle streams therefore hold little memory.
constexpr std::size_t kFirstBufferSize = 16 * 1024;
constexpr std::size_t kMaxBufferSize = 64 * 1024; // larger measured no faster (cache)
} // namespace

void Splicer::start(StreamPtr a, StreamPtr b, std::string toB, std::string toA, Done done)
{
    auto s = std::make_shared<Splicer>(std::move(a), std::move(b), std::move(done));
    s->m_ab.prefix = std::move(toB);
    s->m_ba.prefix = std::move(toA);
    s->pump(s->m_ab);
    s->pump(s->m_ba);
}

Splicer::Splicer(StreamPtr a, StreamPtr b, Done done) : m_done(std::move(done))
{
    m_ab.from = a;
    m_ab.to = b;
    m_ba.from = b;
    m_ba.to = a;
}

void Splicer::pump(Direction &d)
{
    d.buffer.resize(kFirstBufferSize);
    if (d.prefix.empty())
        return read(d);
    auto self = shared_from_this();
    d.to->writeAll(asio::buffer(d.prefix), [self, &d](const std::error_code &ec, std::size_t) {
        d.prefix.clear();
        d.prefix.shrink_to_fit();
        if (ec)
            return self->finish(d, ec);
        self->read(d);
    });
}

void Splicer::read(Direction &d)
{
    if (m_closed)
        return;
    auto self = shared_from_this();
    d.from->readSome(asio::buffer(d.buffer), [self, &d](const std::error_code &ec, std::size_t n) {
        if (self->m_closed)
            return;
        if (ec)
            return self->finish(d, ec);
        d.to->writeAll(asio::buffer(d.buffer.data(), n), [self, &d](const std::error_code &ec, std::size_t n) {
            if (ec)
                return self->finish(d, ec);
            d.bytes += n;
            if (n == d.buffer.size() && d.buffer.size() < kMaxBufferSize)
                d.buffer.resize(d.buffer.size() * 2);
            self->read(d);
        });
    });
}

void Splicer::finish(Direction &d, const std::error_code &ec)
{
    if (d.finished || m_closed)
        return;
    d.finished = true;
    d.buffer.clear();
    d.buffer.shrink_to_fit();
    const bool clean = isEndOfStream(ec);
    if (clean && !(m_ab.finished && m_ba.finished)) {
        d.to->shutdownSend();
        return;
    }
    if (!clean && !m_error)
        m_error = ec;
    m_closed = true;
    m_ab.from->close();
    m_ab.to->close();
    if (m_done)
        m_done(m_ab.bytes, m_ba.bytes, m_error);
    m_done = nullptr;
}

} // namespace wire
