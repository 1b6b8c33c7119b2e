#include "wire/SocketSplice.h"

#include "wire/TcpStream.h"

#include <atomic>
#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wire {

namespace {

// Four times the default. Bulk on loopback cost the relay's thread 0.35-0.42 s of CPU per GiB
// with it, 0.38-0.47 s with the default 64 KiB (Splicer 0.52-0.59); 1 MiB measured as 256 KiB.
constexpr int kPipeSize = 256 * 1024;
// A pipe's size counts against its user's quota (fs.pipe-user-pages-soft, 64 MiB by default)
// for as long as it exists, spare or not; past the quota an unprivileged user's new pipes get
// two pages, and streams that stall on their far ends keep theirs. So only a few pipes of a
// process are enlarged (16 MiB in all); the others keep the default size.
constexpr int kMaxLargePipes = 64;
std::atomic<int> g_largePipes {0};
// The plain copy for descriptors splice(2) refuses: Splicer's largest buffer.
constexpr std::size_t kPlainBufferSize = 64 * 1024;

std::atomic<bool> g_forcePlainCopy {false};

// In Asio's category, as the errors of Asio's own socket calls: comparable with asio::error.
std::error_code systemError(int e)
{
    return {e, asio::error::get_system_category()};
}

struct Pipe
{
    int r = -1, w = -1;
    bool large = false;

    explicit operator bool() const { return r >= 0; }
    void close()
    {
        if (r >= 0) {
            ::close(r);
            ::close(w);
        }
        if (large)
            --g_largePipes;
        *this = {};
    }
};

// Making a pipe costs two descriptors and a resize; a thread keeps a few empty ones for the
// directions that have bytes to move next. Only empty pipes come back: bytes left in one
// belong to a stream that was cut off.
class PipePool
{
public:
    PipePool() = default;
    PipePool(const PipePool &) = delete;
    PipePool &operator=(const PipePool &) = delete;
    ~PipePool()
    {
        for (Pipe &p : m_spare)
            p.close();
    }

    // An empty pipe, or none with errno set.
    Pipe take()
    {
        if (!m_spare.empty()) {
            const Pipe p = m_spare.back();
            m_spare.pop_back();
            return p;
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return {};
        Pipe p {fds[0], fds[1]};
        // Refused (over the quota): the default size serves as well.
        p.large = g_largePipes.fetch_add(1) < kMaxLargePipes && ::fcntl(p.w, F_SETPIPE_SZ, kPipeSize) >= 0;
        if (!p.large)
            --g_largePipes;
        return p;
    }

    void give(Pipe &p)
    {
        if (m_spare.size() < SocketSplice::kMaxSparePipes)
            m_spare.push_back(p);
        else
            p.close();
        p = {};
    }

    std::size_t spare() const { return m_spare.size(); }

private:
    std::vector<Pipe> m_spare;
};

PipePool &pipePool()
{
    thread_local PipePool pool;
    return pool;
}

bool sigpipeIgnored()
{
    struct sigaction sa {};
    return ::sigaction(SIGPIPE, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN;
}

// splice(2) into a socket whose peer is gone raises SIGPIPE in the calling thread, and unlike
// send() it takes no MSG_NOSIGNAL. Where the process does not ignore the signal, it is blocked
// around the call and taken back if the call raised it: a peer's reset must not kill a
// program that merely links the library.
class QuietSigpipe
{
public:
    explicit QuietSigpipe(bool active) : m_active(active)
    {
        if (!m_active)
            return;
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &m_set, &m_old);
        sigset_t pending;
        m_wasPending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    QuietSigpipe(const QuietSigpipe &) = delete;
    QuietSigpipe &operator=(const QuietSigpipe &) = delete;
    ~QuietSigpipe()
    {
        if (!m_active)
            return;
        if (m_raised && !m_wasPending) {
            const timespec noWait {};
            while (::sigtimedwait(&m_set, nullptr, &noWait) < 0 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    void failedWith(int e) { m_raised = e == EPIPE; }

private:
    const bool m_active;
    bool m_wasPending = false, m_raised = false;
    sigset_t m_set {}, m_old {};
};

class LinuxSplice final : public SocketSplice
{
public:
    LinuxSplice(asio::ip::tcp::socket a, asio::ip::tcp::socket b, std::string toB, std::string toA, Done done,
                Progress progress)
        : m_a(std::move(a)), m_b(std::move(b)), m_executor(m_a.get_executor()), m_done(std::move(done)),
          m_progress(std::move(progress)), m_plain(g_forcePlainCopy)
    {
        m_ab.from = &m_a;
        m_ab.to = &m_b;
        m_ab.prefix = std::move(toB);
        m_ba.from = &m_b;
        m_ba.to = &m_a;
        m_ba.prefix = std::move(toA);
    }

    // Only a splice destroyed unfinished (its io_context gone) still holds pipes, maybe on
    // another thread than the pool's.
    ~LinuxSplice() override
    {
        m_ab.pipe.close();
        m_ba.pipe.close();
    }

    void begin()
    {
        std::error_code ec;
        // A socket in blocking mode would block inside splice(2): the flag for the call covers
        // the pipe only.
        for (asio::ip::tcp::socket *s : {&m_a, &m_b}) {
            if (!ec)
                s->non_blocking(true, ec);
            std::error_code ignored;
            s->set_option(asio::ip::tcp::no_delay(true), ignored);
        }
        if (ec)
            return abort(ec);
        m_quietSigpipe = !sigpipeIgnored();
        pump(m_ab);
        pump(m_ba);
    }

    void stop(const std::error_code &why) override
    {
        asio::post(m_executor, [self = self(), why] { self->abort(why ? why : asio::error::operation_aborted); });
    }

    asio::any_io_executor executor() const { return m_executor; }
    // The side whose sending went quiet first: its last bytes (a TLS close_notify, when it
    // ended the stream) came before the other's answer. The order of the two FINs says less,
    // since each end sends its FIN only after its close_notify left, and the answering side's
    // can overtake it.
    bool aEndedFirst() const override { return m_ab.lastDelivery <= m_ba.lastDelivery; }

private:
    struct Direction
    {
        asio::ip::tcp::socket *from = nullptr, *to = nullptr;
        Pipe pipe;                      // while the direction has bytes to move
        std::unique_ptr<char[]> buffer; // in its place for the plain copy
        std::size_t held = 0;           // read from `from`, not yet delivered to `to`
        std::size_t offset = 0;         // of the held bytes in buffer
        std::string prefix;             // the caller's, before all else
        std::size_t prefixSent = 0;
        std::uint64_t bytes = 0;        // delivered
        bool eof = false, finished = false;
        bool waitingToWrite = false;
        std::chrono::steady_clock::time_point writeWaitStart;
        std::chrono::steady_clock::time_point lastDelivery; // none yet: the epoch
    };

    std::shared_ptr<LinuxSplice> self() { return std::static_pointer_cast<LinuxSplice>(shared_from_this()); }

    // Delivers first and reads only into an empty pipe: splice(2) from a socket says EAGAIN both
    // when the socket is empty and when the pipe is full, and only the first may be waited for
    // (readability the edge-triggered reactor reported earlier, to nobody, does not come again).
    void pump(Direction &d)
    {
        d.waitingToWrite = false;
        if (m_closed || d.finished)
            return;
        if (!d.prefix.empty() && !sendPrefix(d))
            return;
        std::size_t budget = kTurnBytes;
        for (;;) {
            while (d.held > 0) {
                const ssize_t n = deliver(d);
                if (n == -EINTR)
                    continue;
                if (n == -EAGAIN)
                    return waitWritable(d);
                if (n < 0)
                    return abort(systemError(int(-n)));
                d.held -= std::size_t(n);
                d.offset += std::size_t(n);
                d.bytes += std::uint64_t(n);
                d.lastDelivery = std::chrono::steady_clock::now();
                if (m_progress)
                    m_progress(&d == &m_ab, std::size_t(n));
            }
            if (d.eof)
                return endOfStream(d);
            if (budget == 0) { // a bulk stream lets the thread's other streams run
                asio::post(m_executor, [self = self(), &d] { self->pump(d); });
                return;
            }
            const ssize_t n = take(d, budget);
            if (n > 0) {
                d.held = std::size_t(n);
                d.offset = 0;
                budget -= std::size_t(n);
            } else if (n == 0) {
                d.eof = true;
            } else if (n == -EAGAIN) {
                idle(d);
                return waitReadable(d);
            } else if (n != -EINTR) {
                return abort(systemError(int(-n)));
            }
        }
    }

    // False when it waits for the destination or has aborted.
    bool sendPrefix(Direction &d)
    {
        while (d.prefixSent < d.prefix.size()) {
            const ssize_t n = ::send(d.to->native_handle(), d.prefix.data() + d.prefixSent,
                                     d.prefix.size() - d.prefixSent, MSG_NOSIGNAL);
            if (n > 0) {
                d.prefixSent += std::size_t(n);
                continue;
            }
            const int e = n < 0 ? errno : EIO;
            if (e == EINTR)
                continue;
            if (e == EAGAIN)
                waitWritable(d);
            else
                abort(systemError(e));
            return false;
        }
        std::string().swap(d.prefix);
        return true;
    }

    // Bytes now in the pipe (or buffer), at most `max`; 0 at the end of stream; -errno.
    ssize_t take(Direction &d, std::size_t max)
    {
        const int fd = d.from->native_handle();
        if (!m_plain) {
            if (!d.pipe && !(d.pipe = pipePool().take()))
                return -errno;
            const ssize_t n = ::splice(fd, nullptr, d.pipe.w, nullptr, max, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            const int e = errno;
            const bool first = !m_probed;
            m_probed = true;
            if (n >= 0 || !first || (e != EINVAL && e != ENOSYS))
                return n >= 0 ? n : -e;
            // No splice(2) for these descriptors: the bytes go through user space instead.
            m_plain = true;
            for (Direction *x : {&m_ab, &m_ba})
                if (x->pipe)
                    pipePool().give(x->pipe);
        }
        if (!d.buffer)
            d.buffer.reset(new char[kPlainBufferSize]);
        const ssize_t n = ::recv(fd, d.buffer.get(), std::min(max, kPlainBufferSize), 0);
        return n >= 0 ? n : -errno;
    }

    // Bytes delivered, or -errno.
    ssize_t deliver(Direction &d)
    {
        const int fd = d.to->native_handle();
        ssize_t n;
        int e = 0;
        if (d.pipe) {
            QuietSigpipe quiet(m_quietSigpipe);
            n = ::splice(d.pipe.r, nullptr, fd, nullptr, d.held, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            e = errno;
            if (n < 0)
                quiet.failedWith(e);
        } else {
            n = ::send(fd, d.buffer.get() + d.offset, d.held, MSG_NOSIGNAL);
            e = errno;
        }
        if (n < 0)
            return -e;
        return n > 0 ? n : -EIO; // nothing taken from bytes that are there: no way on
    }

    // Back to waiting for input: an idle stream holds neither pipe nor buffer.
    void idle(Direction &d)
    {
        if (d.pipe)
            pipePool().give(d.pipe);
        d.buffer.reset();
    }

    void waitReadable(Direction &d)
    {
        d.from->async_wait(asio::socket_base::wait_read,
                           [self = self(), &d](const std::error_code &) { self->pump(d); });
    }

    void waitWritable(Direction &d)
    {
        d.waitingToWrite = true;
        d.writeWaitStart = std::chrono::steady_clock::now();
        if (!m_stallTimerArmed)
            armStallCheck(d.writeWaitStart + kStallCheck);
        d.to->async_wait(asio::socket_base::wait_write,
                         [self = self(), &d](const std::error_code &) { self->pump(d); });
    }

    // A direction blocked on a far end that stopped reading reads nothing from its source, so
    // would not notice that the source was reset (a PC or a panel gone mid-transfer): the
    // stream and its pipe would stay until the far end read again, maybe never.
    void armStallCheck(std::chrono::steady_clock::time_point at)
    {
        if (!m_stallTimer)
            m_stallTimer = std::make_unique<asio::steady_timer>(m_executor);
        m_stallTimerArmed = true;
        m_stallTimer->expires_at(at);
        m_stallTimer->async_wait([self = self()](const std::error_code &ec) {
            self->m_stallTimerArmed = false;
            if (!ec)
                self->checkStalled();
        });
    }

    // Each waiting direction is looked at once it has waited kStallCheck, and every
    // kStallCheck after that.
    void checkStalled()
    {
        if (m_closed)
            return;
        const auto now = std::chrono::steady_clock::now();
        auto next = std::chrono::steady_clock::time_point::max();
        for (Direction *d : {&m_ab, &m_ba}) {
            if (!d->waitingToWrite)
                continue;
            if (now - d->writeWaitStart < kStallCheck) {
                next = std::min(next, d->writeWaitStart + kStallCheck);
                continue;
            }
            if (const std::error_code ec = socketFailure(*d->from))
                return abort(systemError(ec.value()));
            next = std::min(next, now + kStallCheck);
        }
        if (next != std::chrono::steady_clock::time_point::max())
            armStallCheck(next);
    }

    void endOfStream(Direction &d)
    {
        idle(d);
        d.finished = true;
        std::error_code ec;
        d.to->shutdown(asio::socket_base::shutdown_send, ec);
        if (ec) { // the far end was gone before the end of stream reached it
            const std::error_code failure = socketFailure(*d.to);
            return abort(failure ? systemError(failure.value()) : ec);
        }
        if (!(m_ab.finished && m_ba.finished))
            return;
        m_closed = true;
        m_a.close(ec);
        m_b.close(ec);
        finish({});
    }

    void abort(const std::error_code &ec)
    {
        if (m_closed)
            return;
        m_closed = true;
        resetConnection(m_a);
        resetConnection(m_b);
        for (Direction *d : {&m_ab, &m_ba}) {
            if (d->held == 0)
                idle(*d);
            d->pipe.close(); // bytes nobody will take out: never reused
            d->buffer.reset();
        }
        finish(ec);
    }

    void finish(const std::error_code &ec)
    {
        if (m_stallTimer)
            m_stallTimer->cancel();
        const Done done = std::move(m_done);
        m_done = nullptr;
        m_progress = nullptr;
        if (done)
            done(m_ab.bytes, m_ba.bytes, ec);
    }

    asio::ip::tcp::socket m_a, m_b;
    const asio::any_io_executor m_executor;
    Done m_done;
    Progress m_progress;
    Direction m_ab, m_ba;
    bool m_plain;
    bool m_probed = false;       // whether splice(2) was tried: refused at once, it never will work
    bool m_quietSigpipe = false; // see QuietSigpipe
    bool m_closed = false;
    std::unique_ptr<asio::steady_timer> m_stallTimer; // made when first needed: idle streams hold none
    bool m_stallTimerArmed = false;
};

} // namespace

std::shared_ptr<SocketSplice> SocketSplice::start(asio::ip::tcp::socket a, asio::ip::tcp::socket b, std::string toB,
                                                  std::string toA, Done done, Progress progress)
{
    auto s = std::make_shared<LinuxSplice>(std::move(a), std::move(b), std::move(toB), std::move(toA),
                                           std::move(done), std::move(progress));
    asio::dispatch(s->executor(), [s] { s->begin(); });
    return s;
}

std::size_t SocketSplice::sparePipes()
{
    return pipePool().spare();
}

void SocketSplice::forcePlainCopy(bool on)
{
    g_forcePlainCopy = on;
}

} // namespace wire
