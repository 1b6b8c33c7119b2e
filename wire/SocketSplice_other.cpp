#include "wire/SocketSplice.h"

#include "wire/Splicer.h"
#include "wire/TcpStream.h"

namespace wire {

namespace {

// Splicer's look at a stalled source gives the system's category; its reads and writes give
// Asio's, as this class promises.
std::error_code asioCategory(const std::error_code &ec)
{
    return ec.category() == std::system_category() ? std::error_code(ec.value(), asio::error::get_system_category())
                                                   : ec;
}

// Without splice(2) the relay reads and writes the ciphertext plainly: Splicer over the two
// sockets.
class CopySplice final : public SocketSplice
{
public:
    CopySplice(asio::ip::tcp::socket a, asio::ip::tcp::socket b)
        : m_executor(a.get_executor()), m_a(std::make_shared<TcpStream>(std::move(a))),
          m_b(std::make_shared<TcpStream>(std::move(b)))
    {
    }

    void begin(std::string toB, std::string toA, Done done, Progress progress)
    {
        auto self = std::static_pointer_cast<CopySplice>(shared_from_this());
        Splicer::start(
            m_a, m_b, std::move(toB), std::move(toA),
            [self, done = std::move(done)](std::uint64_t ab, std::uint64_t ba, const std::error_code &ec) {
                self->m_finished = true;
                if (done)
                    done(ab, ba, self->m_stopped ? self->m_stopped : asioCategory(ec));
            },
            std::move(progress));
    }

    void stop(const std::error_code &why) override
    {
        auto self = std::static_pointer_cast<CopySplice>(shared_from_this());
        asio::post(m_executor, [self, why] {
            if (self->m_finished || self->m_stopped)
                return;
            // The splicer's pending reads and writes fail, and it reports: as `why`.
            self->m_stopped = why ? why : asio::error::operation_aborted;
            self->m_a->abort();
            self->m_b->abort();
        });
    }

    asio::any_io_executor executor() const { return m_executor; }
    // The splicer does not tell; only the relay, a Linux program, asks.
    bool aEndedFirst() const override { return false; }

private:
    const asio::any_io_executor m_executor;
    const std::shared_ptr<TcpStream> m_a, m_b;
    bool m_finished = false;
    std::error_code m_stopped;
};

} // namespace

std::shared_ptr<SocketSplice> SocketSplice::start(asio::ip::tcp::socket a, asio::ip::tcp::socket b, std::string toB,
                                                  std::string toA, Done done, Progress progress)
{
    auto s = std::make_shared<CopySplice>(std::move(a), std::move(b));
    asio::dispatch(s->executor(), [s, toB = std::move(toB), toA = std::move(toA), done = std::move(done),
                                   progress = std::move(progress)]() mutable {
        s->begin(std::move(toB), std::move(toA), std::move(done), std::move(progress));
    });
    return s;
}

std::size_t SocketSplice::sparePipes()
{
    return 0;
}

void SocketSplice::forcePlainCopy(bool)
{
}

} // namespace wire
