#include "wire/Splicer.h"

namespace wire {

namespace {
void release(std::unique_ptr<char[]> &buffer, std::size_t &capacity)
{
    buffer.reset();
    capacity = 0;
}

void reserve(std::unique_ptr<char[]> &buffer, std::size_t &capacity, std::size_t size)
{
    if (capacity == size)
        return;
    buffer.reset(new char[size]);
    capacity = size;
}
} // namespace

void Splicer::start(StreamPtr a, StreamPtr b, std::string toB, std::string toA, Done done, Progress progress)
{
    auto s = std::make_shared<Splicer>(std::move(a), std::move(b), std::move(done));
    s->m_progress = std::move(progress);
    s->m_ab.prefix = std::move(toB);
    s->m_ba.prefix = std::move(toA);
    s->back([s] {
        s->pump(s->m_ab);
        s->pump(s->m_ba);
    });
}

Splicer::Splicer(StreamPtr a, StreamPtr b, Done done) : m_done(std::move(done))
{
    // Streams on one executor (one thread, or one strand) need no strand of their own.
    if (auto ex = a->executor())
        m_executor = ex == b->executor() ? ex : asio::make_strand(ex);
    m_ab.from = a;
    m_ab.to = b;
    m_ba.from = b;
    m_ba.to = a;
}

// A stream is used only on its own executor (its strand when the io_context runs on several
// threads), the splice's state only on the splice's executor: the two streams of a splice may
// belong to different strands. On one thread both run inline.
template <class F>
void Splicer::onStream(const StreamPtr &stream, F &&f)
{
    if (auto ex = stream->executor())
        asio::dispatch(ex, std::forward<F>(f));
    else
        f();
}

template <class F>
void Splicer::back(F &&f)
{
    if (m_executor)
        asio::dispatch(m_executor, std::forward<F>(f));
    else
        f();
}

void Splicer::write(Direction &d, asio::const_buffer bytes, std::function<void(const std::error_code &)> done)
{
    d.writing = true;
    d.writeStart = std::chrono::steady_clock::now();
    if (!m_stallTimerArmed)
        armStallCheck();
    auto self = shared_from_this();
    onStream(d.to, [self, &d, bytes, done = std::move(done)]() mutable {
        d.to->writeAll(bytes, [self, &d, done = std::move(done)](const std::error_code &ec, std::size_t) mutable {
            self->back([self, &d, done = std::move(done), ec] {
                d.writing = false;
                done(ec);
            });
        });
    });
}

// A direction blocked on a far end that stopped reading reads nothing from its source, so
// would not notice that the source was reset (a PC or a panel gone mid-transfer): the
// stream, its buffers and sockets would stay until the far end read again, maybe never.
void Splicer::armStallCheck()
{
    if (m_closed)
        return;
    if (!m_stallTimer) {
        if (!m_executor)
            return;
        m_stallTimer = std::make_unique<asio::steady_timer>(m_executor);
    }
    m_stallTimerArmed = true;
    m_stallTimer->expires_after(kStallCheck);
    m_stallTimer->async_wait([self = shared_from_this()](const std::error_code &ec) {
        self->m_stallTimerArmed = false;
        if (!ec)
            self->checkStalled();
    });
}

void Splicer::checkStalled()
{
    if (m_closed)
        return;
    const auto now = std::chrono::steady_clock::now();
    auto self = shared_from_this();
    for (Direction *d : {&m_ab, &m_ba}) {
        if (!d->writing || now - d->writeStart < kStallCheck)
            continue;
        onStream(d->from, [self, d] {
            if (const std::error_code ec = d->from->failure())
                self->back([self, d, ec] { self->finish(*d, ec); });
        });
    }
    if (m_ab.writing || m_ba.writing)
        armStallCheck();
}

void Splicer::pump(Direction &d)
{
    if (d.prefix.empty())
        return read(d);
    auto self = shared_from_this();
    write(d, asio::buffer(d.prefix), [self, &d](const std::error_code &ec) {
        std::string().swap(d.prefix);
        if (ec)
            return self->finish(d, ec);
        self->read(d);
    });
}

// Waits for input without a buffer; interactive and idle streams (most of them) thus hold
// none between messages.
void Splicer::read(Direction &d)
{
    if (m_closed)
        return;
    auto self = shared_from_this();
    onStream(d.from, [self, &d] {
        d.from->waitReadable([self, &d](const std::error_code &ec) {
            self->back([self, &d, ec] {
                if (self->m_closed)
                    return;
                if (ec)
                    return self->finish(d, ec);
                reserve(d.buffer, d.capacity, d.size);
                self->readInto(d);
            });
        });
    });
}

void Splicer::readInto(Direction &d)
{
    auto self = shared_from_this();
    const asio::mutable_buffer into(d.buffer.get(), d.capacity);
    onStream(d.from, [self, &d, into] {
        d.from->readSome(into, [self, &d](const std::error_code &ec, std::size_t n) {
            self->back([self, &d, ec, n] { self->forward(d, ec, n); });
        });
    });
}

void Splicer::forward(Direction &d, const std::error_code &readError, std::size_t n)
{
    if (m_closed)
        return;
    if (readError)
        return finish(d, readError);
    auto self = shared_from_this();
    write(d, asio::buffer(d.buffer.get(), n), [self, &d, n](const std::error_code &ec) {
        if (self->m_closed)
            return;
        if (ec)
            return self->finish(d, ec);
        d.bytes += n;
        if (self->m_progress)
            self->m_progress(&d == &self->m_ab, n);
        const std::size_t size = d.capacity;
        if (n == size) {
            // Bulk: more is probably there already; read on at once with a larger buffer.
            if (size < kMaxBufferSize) {
                d.size = size * 2;
                reserve(d.buffer, d.capacity, d.size);
            }
            return self->readInto(d);
        }
        if (n < size / 4 && size > kFirstBufferSize)
            d.size = size / 2;
        release(d.buffer, d.capacity);
        self->read(d);
    });
}

void Splicer::finish(Direction &d, const std::error_code &ec)
{
    if (d.finished || m_closed)
        return;
    d.finished = true;
    const auto both = [this](void (Stream::*call)()) {
        for (const StreamPtr &s : {m_ab.from, m_ab.to})
            onStream(s, [s, call] { ((*s).*call)(); });
    };
    if (isEndOfStream(ec)) {
        release(d.buffer, d.capacity); // not on an error: a write from it may still be under way
        onStream(d.to, [to = d.to] { to->shutdownSend(); });
        if (!(m_ab.finished && m_ba.finished))
            return;
        m_closed = true;
        both(&Stream::close);
    } else {
        m_error = ec;
        m_closed = true;
        both(&Stream::abort);
    }
    if (m_stallTimer)
        m_stallTimer->cancel();
    if (m_done)
        m_done(m_ab.bytes, m_ba.bytes, m_error);
    m_done = nullptr;
}

} // namespace wire
