#include "tunnellib/Forwarding.h"

#include "tunnel/pgDllTunnel.h"
#include "tunnellib/DebugLog.h"
#include "wire/CloseOnExec.h"
#include "wire/EndToEnd.h"
#include "wire/Messages.h"
#include "wire/Splicer.h"
#include "wire/TcpStream.h"
#include "wire/Tls.h"
#include "wire/TlsStream.h"

#include <array>

namespace tunnellib {

using namespace wire::msg;
using wire::msg::Granted;
using Clock = std::chrono::steady_clock;

Forwarding::Forwarding(asio::ip::tcp::acceptor acceptor, RelayLink &link, StreamThreads &threads,
                       KnownPanels &panels, std::string sn, std::string remote)
    : m_acceptor(std::move(acceptor)), m_link(link), m_threads(threads), m_panels(panels), m_sn(std::move(sn)),
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

// The stream's own connection to the relay until it has joined, bounded as a whole: the
// timer closes the socket, which ends whatever step is under way.
struct DataConnection
{
    explicit DataConnection(asio::io_context &io) : resolver(io), socket(io), timer(io) {}
    asio::ip::tcp::resolver resolver;
    asio::ip::tcp::socket socket;
    asio::steady_timer timer;
    bool expired = false;
    std::string request;
    std::array<char, 3> answer {};
    std::string rest; // of a refusal's line
};

// One accepted local connection on its way to the panel. While the relay is down, or back
// but the panel not yet re-registered, it keeps trying until kWaitForRelay has passed
// since the accept, then gives up and closes the local connection.
class StreamOpener : public std::enable_shared_from_this<StreamOpener>
{
public:
    StreamOpener(asio::io_context &io, RelayLink &link, StreamThreads &threads, KnownPanels &panels,
                 std::shared_ptr<wire::TcpStream> local, std::string sn, std::string remote)
        : m_io(io), m_link(link), m_threads(threads), m_panels(panels), m_local(std::move(local)),
          m_sn(std::move(sn)), m_remote(std::move(remote)), m_deadline(Clock::now() + Forwarding::kWaitForRelay),
          m_retry(io)
    {
    }

    void attempt()
    {
        if (left().count() <= 0)
            return giveUp("relay not available in time");
        // Waiting for the link lets a short outage of the relay pass.
        m_link.whenUp(left(), [self = shared_from_this()](int code) {
            if (code != TUNNEL_OK)
                return self->giveUp("relay not available");
            self->request();
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
        debugLog("stream to " + m_sn + " " + m_remote + ": " + why + ", trying again");
        m_retry.expires_after(pause);
        m_retry.async_wait([self = shared_from_this()](const std::error_code &ec) {
            if (!ec)
                self->attempt();
        });
    }

    void request()
    {
        m_link.openStream(m_sn, m_remote, Forwarding::kStreamAnswer,
                          [self = shared_from_this()](int code, const Granted *grant) {
                              if (code == TUNNEL_OK && grant)
                                  return self->join(*grant);
                              // Right after a relay restart the panel may not have registered
                              // again yet; a link lost meanwhile may come back.
                              if (code == TUNNEL_E_PANEL_OFFLINE || code == TUNNEL_E_RELAY_UNREACHABLE)
                                  return self->tryAgain(code == TUNNEL_E_PANEL_OFFLINE ? "panel offline"
                                                                                       : "relay link lost");
                              self->giveUp("the relay refused the stream (result " + std::to_string(code) + ")");
                          });
    }

    // To the relay the link is logged in at, which holds the panel's side of the grant.
    void join(const Granted &grant)
    {
        m_panels.vouch(m_sn, grant.key);
        auto self = shared_from_this();
        auto c = std::make_shared<DataConnection>(m_io);
        c->timer.expires_after(Forwarding::kConnectTimeout);
        c->timer.async_wait([weak = std::weak_ptr<DataConnection>(c)](const std::error_code &ec) {
            auto c = weak.lock();
            if (ec || !c)
                return;
            c->expired = true;
            c->resolver.cancel();
            std::error_code ignored;
            c->socket.close(ignored);
        });
        const wire::HostPort relay = m_link.currentRelay();
        c->resolver.async_resolve(
            relay.host, std::to_string(relay.port),
            [self, c, grant](const std::error_code &ec, asio::ip::tcp::resolver::results_type results) {
                if (ec)
                    return self->joinFailed(*c, ec);
                asio::async_connect(c->socket, results, [self, c, grant](const std::error_code &ec,
                                                                         const asio::ip::tcp::endpoint &) {
                    if (ec)
                        return self->joinFailed(*c, ec);
                    wire::closeOnExec(c->socket);
                    std::error_code ignored;
                    c->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
                    c->request = Hello {}.encode() + "\n" + Join {grant.join, {}}.encode() + "\n";
                    asio::async_write(c->socket, asio::buffer(c->request),
                                      [self, c, grant](const std::error_code &ec, std::size_t) {
                                          if (ec)
                                              return self->joinFailed(*c, ec);
                                          self->readAnswer(c, grant);
                                      });
                });
            });
    }

    void joinFailed(DataConnection &c, const std::error_code &ec)
    {
        c.timer.cancel();
        std::error_code ignored;
        c.socket.close(ignored);
        tryAgain("joining at the relay: " + (c.expired ? std::string("no answer in time") : ec.message()));
    }

    // Exactly "OK\n" and not a byte more: what follows is the panel's TLS, read by OpenSSL.
    void readAnswer(std::shared_ptr<DataConnection> c, const Granted &grant)
    {
        auto self = shared_from_this();
        asio::async_read(c->socket, asio::buffer(c->answer), [self, c, grant](const std::error_code &ec, std::size_t) {
            if (ec)
                return self->joinFailed(*c, ec);
            if (std::string(c->answer.data(), c->answer.size()) == Ok {}.encode() + "\n") {
                c->timer.cancel();
                if (c->expired)
                    return self->joinFailed(*c, asio::error::timed_out);
                return self->secure(std::move(c->socket), grant);
            }
            // A refusal: the relay closes after its line, so reading past it harms nothing.
            c->rest.assign(c->answer.data(), c->answer.size());
            if (c->rest.find('\n') != std::string::npos)
                return self->joinRefused(*c);
            asio::async_read_until(c->socket, asio::dynamic_buffer(c->rest, kMaxLine), '\n',
                                   [self, c](const std::error_code &, std::size_t) { self->joinRefused(*c); });
        });
    }

    void joinRefused(DataConnection &c)
    {
        c.timer.cancel();
        std::error_code ignored;
        c.socket.close(ignored);
        std::string line = c.rest.substr(0, c.rest.find('\n'));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto refusal = Err::decode(line);
        const std::string shown = printableLine(line) ? line.substr(0, 80) : std::string("(not printable)");
        if (refusal && refusal->reason == Reason::Offline)
            return tryAgain("the relay answered the join with " + shown);
        giveUp("the relay refused the join: " + shown);
    }

    void secure(asio::ip::tcp::socket socket, const Granted &grant)
    {
        auto self = shared_from_this();
        wire::TlsStream::handshakeOn(
            std::move(socket), wire::makeClientContext(grant.key), false, Forwarding::kHandshakeTimeout,
            [self, grant](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                if (ec && wire::isCertificateMismatch(ec)) {
                    warnLog("stream to panel " + self->m_sn + " refused: its certificate is not the one the relay "
                            "vouched for (key " + grant.key.substr(0, 8) + "...)");
                    return self->giveUp("panel certificate mismatch");
                }
                if (ec)
                    return self->tryAgain("TLS with the panel: " + ec.message());
                // The first bytes the agent reads: it lets nothing through to the target before.
                std::string proof = wire::streamProof(*tls, grant.secret);
                if (proof.size() != wire::kProofSize) {
                    tls->abort();
                    return self->giveUp("no keying material for the proof");
                }
                self->splice(tls, std::move(proof));
            });
    }

    void splice(wire::TlsStream::Ptr tls, std::string proof)
    {
        auto place = m_threads.pick();
        if (&place.io != &m_io) {
            m_local->moveTo(place.io);
            tls->moveTo(place.io);
        }
        asio::post(place.io, [local = m_local, tls, proof = std::move(proof), sn = m_sn, remote = m_remote,
                              token = std::move(place.token)]() mutable {
            wire::Splicer::start(local, tls, std::move(proof), {},
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
    KnownPanels &m_panels;
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
    std::make_shared<StreamOpener>(io, m_link, m_threads, m_panels, local, m_sn, m_remote)->attempt();
}

} // namespace tunnellib
