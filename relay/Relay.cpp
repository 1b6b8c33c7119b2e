#include "relay/Relay.h"

#include "relay/RelayIdentity.h"
#include "wire/LineChannel.h"
#include "wire/Log.h"
#include "wire/Messages.h"
#include "wire/ReadLine.h"
#include "wire/Tls.h"
#include "wire/TlsStream.h"

namespace relay {

using namespace wire::msg;

Relay::Relay(asio::io_context &io, RelayConfig config)
    : m_io(io), m_config(std::move(config)), m_acceptor(io),
      m_registry(io, m_config.heartbeat, m_config.silence)
{
}

bool Relay::start(std::string *error)
{
    if (!ensureKeyAndCertificate(m_config.keyPath, m_config.certificatePath, &m_created, error)
        || !wire::fileFingerprint(m_config.certificatePath, &m_fingerprint, error))
        return false;
    m_tls = wire::makeServerContext(m_config.keyPath, m_config.certificatePath, error);
    if (!m_tls)
        return false;
    std::error_code ec;
    const auto address = asio::ip::make_address(m_config.listen.host, ec);
    if (ec) {
        *error = "listen address " + m_config.listen.host + " is not an IP address";
        return false;
    }
    const asio::ip::tcp::endpoint ep(address, m_config.listen.port);
    m_acceptor.open(ep.protocol(), ec);
    if (!ec)
        m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        m_acceptor.bind(ep, ec);
    if (!ec)
        m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen on " + m_config.listen.text() + ": " + ec.message();
        return false;
    }
    m_port = m_acceptor.local_endpoint().port();
    acceptNext();
    return true;
}

void Relay::acceptNext()
{
    m_acceptor.async_accept([this](const std::error_code &ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (!ec) {
            const std::string peer = wire::endpointText(socket.remote_endpoint());
            wire::TlsStream::accept(std::move(socket), m_tls, m_config.handshakeTimeout,
                                    [this, peer](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                        if (ec) {
                                            wire::logLine("TLS handshake with " + peer + " failed: " + ec.message());
                                            return;
                                        }
                                        onHandshake(tls);
                                    });
        } else {
            // Out of descriptors and the like: go on accepting rather than stop serving.
            wire::logLine("accept failed: " + ec.message());
        }
        acceptNext();
    });
}

void Relay::onHandshake(wire::StreamPtr stream)
{
    // A peer that completes TLS and then says nothing is closed after the handshake timeout.
    auto timer = std::make_shared<asio::steady_timer>(m_io, m_config.handshakeTimeout);
    auto done = std::make_shared<bool>(false);
    timer->async_wait([stream, done](const std::error_code &ec) {
        if (ec || *done)
            return;
        *done = true;
        wire::logLine("no request from " + stream->peer() + " in time, closed");
        stream->close();
    });
    auto pending = std::make_shared<std::string>();
    wire::readLine(stream, pending, kMaxLine,
                   [this, stream, pending, timer, done](const std::error_code &ec, std::string line) {
                       if (*done)
                           return;
                       *done = true;
                       timer->cancel();
                       if (ec == std::errc::message_size) {
                           wire::logLine("oversized request from " + stream->peer() + ", closed");
                           return replyAndClose(stream, Err {Reason::Protocol, "request too long"});
                       }
                       if (ec) {
                           wire::logLine("connection from " + stream->peer() + " ended before a request ("
                                         + ec.message() + ")");
                           return stream->close();
                       }
                       onRequest(stream, pending, line);
                   });
}

void Relay::onRequest(wire::StreamPtr stream, std::shared_ptr<std::string> pending, const std::string &line)
{
    if (!printableLine(line)) {
        wire::logLine("garbage request from " + stream->peer() + ", closed");
        return replyAndClose(stream, Err {Reason::Protocol, "bad request"});
    }
    if (const auto panel = Panel::decode(line)) {
        if (!panelSecretOk(panel->sn, panel->secret)) {
            wire::logLine("refused panel registration for " + panel->sn.substr(0, 64) + " from " + stream->peer()
                          + ": wrong serial number or secret");
            return replyAndClose(stream, Err {Reason::Secret, "wrong serial number or secret"});
        }
        return m_registry.registerPanel(panel->sn, stream, std::move(*pending));
    }
    if (const auto data = Data::decode(line)) {
        if (!panelSecretOk(data->sn, data->secret)) {
            wire::logLine("refused data connection from " + stream->peer() + ": wrong serial number or secret");
            return stream->close();
        }
        return m_registry.attachData(data->sn, data->id, stream, std::move(*pending));
    }
    if (const auto user = User::decode(line))
        return onUser(stream, std::move(*pending), *user);
    if (const auto request = Stream::decode(line))
        return onStream(stream, std::move(*pending), *request);
    wire::logLine("bad request from " + stream->peer() + ": \"" + line.substr(0, 40) + "\"");
    replyAndClose(stream, Err {Reason::Protocol, "bad request"});
}

bool Relay::panelSecretOk(const std::string &sn, const std::string &secret) const
{
    const auto it = m_config.panelSecrets.find(sn);
    // Compare against something even for unknown SNs so timing does not reveal which exist.
    const bool match = secretEquals(it == m_config.panelSecrets.end() ? std::string("\n") : it->second, secret);
    return it != m_config.panelSecrets.end() && match;
}

Reason Relay::checkReach(const RelayUser *user, const std::string &sn) const
{
    if (!user)
        return Reason::Token;
    if (!validSn(sn) || !m_config.mayReach(*user, sn))
        return Reason::NotAllowed;
    if (!m_registry.isOnline(sn))
        return Reason::Offline;
    return Reason::Ok;
}

void Relay::onUser(wire::StreamPtr stream, std::string pending, const User &login)
{
    const RelayUser *user = m_config.findUser(login.token);
    if (!user) {
        wire::logLine("refused PC from " + stream->peer() + ": unknown token");
        return replyAndClose(stream, Err {Reason::Token, "token refused"});
    }
    const int number = user->number;
    wire::logLine("PC user " + std::to_string(number) + " connected from " + stream->peer());
    auto channel = std::make_shared<wire::LineChannel>(m_io, stream, std::move(pending));
    std::weak_ptr<wire::LineChannel> weak = channel;
    channel->send(Ok {}.encode());
    channel->start(
        [this, weak, number](const std::string &line) {
            auto ch = weak.lock();
            if (!ch)
                return;
            std::string error;
            if (const auto check = Check::decode(line, &error)) {
                // Users are never removed while the relay runs, so the number stays valid.
                const Reason verdict = checkReach(&m_config.users[std::size_t(number - 1)], check->sn);
                if (verdict != Reason::Ok)
                    wire::logLine("PC user " + std::to_string(number) + " may not use " + check->sn.substr(0, 64)
                                  + ": " + reasonText(verdict));
                ch->send(Checked {check->id, verdict}.encode());
                return;
            }
            wire::logLine("PC user " + std::to_string(number) + ": bad line (" + error + "), closed");
            ch->close();
        },
        [number](const std::error_code &ec) {
            wire::logLine("PC user " + std::to_string(number) + " disconnected (" + ec.message() + ")");
        },
        m_config.heartbeat, m_config.silence);
}

void Relay::onStream(wire::StreamPtr stream, std::string pending, const wire::msg::Stream &request)
{
    const RelayUser *user = m_config.findUser(request.token);
    const std::string &sn = request.sn;
    const std::string who = user ? "user " + std::to_string(user->number) + "@" + stream->peer() : stream->peer();
    const Reason verdict = checkReach(user, sn);
    if (verdict != Reason::Ok) {
        wire::logLine("refused stream from " + who + " to " + sn.substr(0, 64) + ": " + reasonText(verdict));
        return replyAndClose(stream, Err {verdict, "refused"});
    }
    if (!wire::parseHostPort(request.target)) {
        wire::logLine("refused stream from " + who + ": bad target address");
        return replyAndClose(stream, Err {Reason::Protocol, "bad target address"});
    }
    m_registry.requestStream(sn, request.target, who, stream, std::move(pending));
}

} // namespace relay
