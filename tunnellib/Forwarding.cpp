#include "tunnellib/Forwarding.h"

#include "wire/CloseOnExec.h"

#include "tunnel/pgDllTunnel.h"
#include "tunnellib/DebugLog.h"
#include "wire/Protocol.h"
#include "wire/ReadLine.h"
#include "wire/Splicer.h"
#include "wire/TcpStream.h"
#include "wire/TlsStream.h"

namespace tunnellib {

using namespace wire::proto;
using Clock = std::chrono::steady_clock;

Forwarding::Forwarding(asio::ip::tcp::acceptor acceptor, RelayLink &link, std::string sn, std::string remote)
    : m_acceptor(std::move(acceptor)), m_link(link), m_sn(std::move(sn)), m_remote(std::move(remote))
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
struct StreamOpener : std::enable_shared_from_this<StreamOpener>
{
    asio::io_context &io;
    RelayLink &link;
    std::shared_ptr<wire::TcpStream> local;
    std::string sn, remote;
    Clock::time_point deadline;
    asio::steady_timer retry;

    StreamOpener(asio::io_context &io, RelayLink &link, std::shared_ptr<wire::TcpStream> local, std::string sn,
                 std::string remote)
        : io(io), link(link), local(std::move(local)), sn(std::move(sn)), remote(std::move(remote)),
          deadline(Clock::now() + Forwarding::kWaitForRelay), retry(io)
    {
    }

    std::chrono::milliseconds left() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    }

    void giveUp(const std::string &why)
    {
        debugLog("stream to " + sn + " " + remote + " dropped: " + why);
        local->close();
    }

    void tryAgain(const std::string &why)
    {
        const auto pause = std::chrono::milliseconds(250);
        if (left() <= pause)
            return giveUp(why);
        retry.expires_after(pause);
        retry.async_wait([self = shared_from_this()](const std::error_code &ec) {
            if (!ec)
                self->attempt();
        });
    }

    void attempt()
    {
        if (left().count() <= 0)
            return giveUp("relay not available in time");
        // The stream has its own connection, but a relay that is down for the control link
        // is down for the stream too: waiting for the link lets a short outage pass.
        link.whenUp(left(), [self = shared_from_this()](int code) {
            if (code != TUNNEL_OK)
                return self->giveUp("relay not available");
            self->dial();
        });
    }

    void dial()
    {
        const TunnelConfig cfg = link.config();
        auto self = shared_from_this();
        wire::TlsStream::connect(io, link.tls(), cfg.relay, std::chrono::seconds(5),
                                 [self, token = cfg.token](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                     if (ec)
                                         return self->tryAgain(ec.message());
                                     self->request(tls, token);
                                 });
    }

    void request(wire::TlsStream::Ptr tls, const std::string &token)
    {
        auto self = shared_from_this();
        auto line = std::make_shared<std::string>(std::string(kStream) + " " + token + " " + sn + " " + remote + "\n");
        auto timer = std::make_shared<asio::steady_timer>(io, Forwarding::kStreamAnswer);
        timer->async_wait([tls](const std::error_code &ec) {
            if (!ec)
                tls->close();
        });
        tls->writeAll(asio::buffer(*line), [self, tls, line, timer](const std::error_code &ec, std::size_t) {
            if (ec) {
                timer->cancel();
                return self->tryAgain(ec.message());
            }
            auto pending = std::make_shared<std::string>();
            wire::readLine(tls, pending, kMaxLine, [self, tls, pending, timer](const std::error_code &ec, std::string answer) {
                timer->cancel();
                if (!ec && answer == kOk)
                    return wire::Splicer::start(
                        self->local, tls, {}, std::move(*pending),
                        [sn = self->sn, remote = self->remote](std::uint64_t, std::uint64_t, const std::error_code &ec) {
                            // The local application's socket is reset: a cut transfer must fail there.
                            if (ec)
                                debugLog("stream to " + sn + " " + remote + " aborted: " + ec.message());
                        });
                tls->close();
                const auto words = splitWords(answer);
                // Right after a relay restart the panel may not have registered again yet.
                if (ec || (words.size() >= 2 && words[1] == kReasonOffline))
                    return self->tryAgain(ec ? ec.message() : answer.substr(0, 60));
                self->giveUp("refused: " + answer.substr(0, 60));
            });
        });
    }
};

} // namespace

void Forwarding::openStream(asio::ip::tcp::socket socket)
{
    auto local = std::make_shared<wire::TcpStream>(std::move(socket));
    auto &io = static_cast<asio::io_context &>(m_acceptor.get_executor().context());
    std::make_shared<StreamOpener>(io, m_link, local, m_sn, m_remote)->attempt();
}

} // namespace tunnellib
