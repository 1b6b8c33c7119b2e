#include "tunnellib/Forwarding.h"

#include "wire/CloseOnExec.h"

#include "tunnel/pgDllTunnel.h"
#include "tunnellib/DebugLog.h"
#include "wire/Messages.h"
#include "wire/ReadLine.h"
#include "wire/Splicer.h"
#include "wire/TcpStream.h"
#include "wire/TlsStream.h"

namespace tunnellib {

using namespace wire::msg;
using Clock = std::chrono::steady_clock;

Forwarding::Forwarding(asio::ip::tcp::acceptor acceptor, RelayLink &link, StreamThreads &threads, std::string sn,
                       std::string remote)
    : m_acceptor(std::move(acceptor)), m_link(link), m_threads(threads), m_sn(std::move(sn)),
      m_remote(std::move(remote))
{
}

void Forwarding::start()
{
    acceptNext();
}

void Forwarding::close()
{
    std::error_code ec;
    m_acceptor.close(ec);
}

void Forwarding::retarget(const std::string &sn, const std::string &remote)
{
    m_sn = sn;
    m_remote = remote;
}

void Forwarding::acceptNext()
{
    auto self = shared_from_this();
    m_acceptor.async_accept([self](const std::error_code &ec, asio::ip::tcp::socket socket) {
        if (!self->m_acceptor.is_open())
            return;
        if (!ec) {
            wire::closeOnExec(socket);
            self->openStream(std::move(socket));
        }
        else
            debugLog("accept failed: " + ec.message());
        self->acceptNext();
    });
}

namespace {

// One accepted local connection on its way to the panel. While the relay is down, or back
// but the panel not yet re-registered, it keeps trying until kWaitForRelay has passed
// since the accept, then gives up and closes the local connection.
class StreamOpener : public std::enable_shared_from_this<StreamOpener>
{
public:
    StreamOpener(asio::io_context &io, RelayLink &link, StreamThreads &threads, std::shared_ptr<wire::TcpStream> local,
                 std::string sn, std::string remote)
        : m_io(io), m_link(link), m_threads(threads), m_local(std::move(local)), m_sn(std::move(sn)),
          m_remote(std::move(remote)),
          m_deadline(Clock::now() + Forwarding::kWaitForRelay), m_retry(io)
    {
    }

    void attempt()
    {
        if (left().count() <= 0)
            return giveUp("relay not available in time");
        // The stream has its own connection, but a relay that is down for the control link
        // is down for the stream too: waiting for the link lets a short outage pass.
        m_link.whenUp(left(), [self = shared_from_this()](int code) {
            if (code != TUNNEL_OK)
                return self->giveUp("relay not available");
            self->dial();
        });
    }

private:
    std::chrono::milliseconds left() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
    }

    void giveUp(const std::string &why)
    {
        debugLog("stream to " + m_sn + " " + m_remote + " dropped: " + why);
        m_local->close();
    }

    void tryAgain(const std::string &why)
    {
        const auto pause = std::chrono::milliseconds(250);
        if (left() <= pause)
            return giveUp(why);
        m_retry.expires_after(pause);
        m_retry.async_wait([self = shared_from_this()](const std::error_code &ec) {
            if (!ec)
                self->attempt();
        });
    }

    void dial()
    {
        const TunnelConfig cfg = m_link.config();
        auto self = shared_from_this();
        wire::TlsStream::connect(m_io, m_link.tls(), m_link.currentRelay(), std::chrono::seconds(5),
                                 [self, token = cfg.token](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                     if (ec)
                                         return self->tryAgain(ec.message());
                                     self->request(tls, token);
                                 });
    }

    void request(wire::TlsStream::Ptr tls, const std::string &token)
    {
        auto self = shared_from_this();
        auto line = std::make_shared<std::string>(wire::msg::Stream {token, m_sn, m_remote}.encode() + "\n");
        auto timer = std::make_shared<asio::steady_timer>(m_io, Forwarding::kStreamAnswer);
        auto answered = std::make_shared<bool>(false);
        // A timer that fell due just as the answer came must not close a stream that has
        // moved on to another thread meanwhile.
        timer->async_wait([tls, answered](const std::error_code &ec) {
            if (!ec && !*answered)
                tls->close();
        });
        tls->writeAll(asio::buffer(*line), [self, tls, line, timer, answered](const std::error_code &ec, std::size_t) {
            if (ec) {
                timer->cancel();
                return self->tryAgain(ec.message());
            }
            auto pending = std::make_shared<std::string>();
            wire::readLine(tls, pending, kMaxLine, [self, tls, pending, timer, answered](const std::error_code &ec,
                                                                                         std::string answer) {
                *answered = true;
                timer->cancel();
                if (!ec && Ok::decode(answer))
                    return self->splice(tls, std::move(*pending));
                tls->close();
                const auto refusal = Err::decode(answer);
                // Right after a relay restart the panel may not have registered again yet.
                if (ec || (refusal && refusal->reason == Reason::Offline))
                    return self->tryAgain(ec ? ec.message() : answer.substr(0, 60));
                self->giveUp("refused: " + answer.substr(0, 60));
            });
        });
    }

    void splice(wire::TlsStream::Ptr tls, std::string pending)
    {
        auto place = m_threads.pick();
        if (&place.io != &m_io) {
            m_local->moveTo(place.io);
            tls->moveTo(place.io);
        }
        asio::post(place.io, [local = m_local, tls, pending = std::move(pending), sn = m_sn, remote = m_remote,
                              token = std::move(place.token)]() mutable {
            wire::Splicer::start(local, tls, {}, std::move(pending),
                                 [sn, remote, token](std::uint64_t, std::uint64_t, const std::error_code &ec) {
                                     // The local application's socket is reset: a cut transfer must fail there.
                                     if (ec)
                                         debugLog("stream to " + sn + " " + remote + " aborted: " + ec.message());
                                 });
        });
    }

    asio::io_context &m_io;
    RelayLink &m_link;
    StreamThreads &m_threads;
    std::shared_ptr<wire::TcpStream> m_local;
    std::string m_sn, m_remote;
    Clock::time_point m_deadline;
    asio::steady_timer m_retry;
};

} // namespace

void Forwarding::openStream(asio::ip::tcp::socket socket)
{
    auto local = std::make_shared<wire::TcpStream>(std::move(socket));
    auto &io = static_cast<asio::io_context &>(m_acceptor.get_executor().context());
    std::make_shared<StreamOpener>(io, m_link, m_threads, local, m_sn, m_remote)->attempt();
}

} // namespace tunnellib
