#include "relay/PcLink.h"

#include "relay/Relay.h"
#include "wire/EndToEnd.h"
#include "wire/Log.h"

namespace relay {

using namespace wire::msg;

PcLink::PcLink(Relay &relay, ConnectionPtr stream, std::string pending, int user)
    : m_relay(relay), m_home(stream->home()),
      m_starting(std::make_shared<wire::LineChannel>(m_home, stream, std::move(pending))),
      m_peer(stream->peer()), m_user(user)
{
}

std::string PcLink::userName() const
{
    return "user " + std::to_string(m_user);
}

std::string PcLink::who() const
{
    return userName() + "@" + m_peer;
}

void PcLink::start()
{
    const auto channel = std::move(m_starting);
    m_channel = channel;
    channel->send(Ok {}.encode());
    channel->start([self = shared_from_this()](const std::string &line) { self->onLine(line); },
                     [user = m_user](const std::error_code &ec) {
                         wire::logLine("PC user " + std::to_string(user) + " disconnected (" + ec.message() + ")");
                     },
                     m_relay.m_config.heartbeat, m_relay.m_config.silence);
}

void PcLink::onLine(const std::string &line)
{
    std::string error;
    const std::string verb = line.substr(0, line.find(' '));
    if (verb == "CHECK") {
        if (const auto check = Check::decode(line, &error))
            return onCheck(*check);
    } else if (verb == "STREAM") {
        if (const auto request = wire::msg::Stream::decode(line, &error))
            return onStream(*request);
    } else {
        error = "unknown request";
    }
    wire::logLine("PC user " + std::to_string(m_user) + ": bad line (" + error + "), closed");
    if (auto channel = m_channel.lock())
        channel->close();
}

void PcLink::onCheck(const Check &check)
{
    // Users are never removed while the relay runs, so the number stays valid.
    const Reason verdict = m_relay.checkReach(&m_relay.m_config.users[std::size_t(m_user - 1)], check.sn);
    if (verdict == Reason::Offline && m_relay.m_node->clustered()) {
        const auto id = check.id;
        auto weak = m_channel;
        return m_relay.m_node->whenHeldElsewhere(check.sn, m_home, [weak, id](bool held) {
            if (auto c = weak.lock())
                c->send(Checked {id, held ? Reason::Ok : Reason::Offline}.encode());
        });
    }
    if (verdict != Reason::Ok)
        wire::logLine("PC user " + std::to_string(m_user) + " may not use " + check.sn.substr(0, 64) + ": "
                      + reasonText(verdict));
    send(Checked {check.id, verdict}.encode());
}

void PcLink::onStream(const wire::msg::Stream &request)
{
    const std::string &sn = request.sn;
    const Reason verdict = m_relay.checkReach(&m_relay.m_config.users[std::size_t(m_user - 1)], sn);
    const bool targetOk = bool(wire::parseHostPort(request.target));
    const bool elsewhere = verdict == Reason::Offline && m_relay.m_node->clustered() && targetOk;
    if (verdict != Reason::Ok && !elsewhere) {
        wire::logLine("refused stream from " + who() + " to " + sn.substr(0, 64) + ": " + reasonText(verdict));
        return refuse(request.id, verdict, "refused");
    }
    if (!targetOk) {
        wire::logLine("refused stream from " + who() + ": bad target address");
        return refuse(request.id, Reason::Protocol, "bad target address");
    }
    // Requests are cheap lines, each of which makes a panel connect somewhere: bounded.
    if (m_waiting >= Relay::kMaxWaitingPerLink) {
        wire::logLine("refused stream from " + who() + ": " + std::to_string(m_waiting) + " waiting already");
        return refuse(request.id, Reason::Protocol, "too many streams waiting");
    }
    ++m_waiting;
    const std::string secret = wire::randomHex(kSecretDigits / 2);
    OpenStreams::Stream stream;
    stream.id = Relay::streamId(secret);
    stream.user = userName();
    stream.source = m_peer;
    stream.sn = sn;
    stream.target = request.target;
    std::weak_ptr<PcLink> weak = shared_from_this();
    auto answer = [weak, id = request.id, secret, stream](StreamOffer offer) {
        if (auto self = weak.lock())
            return self->answer(id, secret, stream, std::move(offer));
        if (offer.panel) // the PC went meanwhile: its panel side waits for nobody
            asio::post(*offer.panel->home, [panel = offer.panel] {
                std::error_code ignored;
                panel->socket.close(ignored);
            });
    };
    if (elsewhere)
        return m_relay.m_node->forward(sn, request.target, who(), secret, m_home, std::move(answer));
    m_relay.m_registry.requestStream(sn, request.target, who(), secret, m_home, std::move(answer));
}

void PcLink::answer(std::uint64_t id, const std::string &secret, const OpenStreams::Stream &stream, StreamOffer offer)
{
    --m_waiting;
    if (offer.reason != Reason::Ok)
        return refuse(id, offer.reason, offer.text);
    const auto channel = m_channel.lock();
    if (!channel || !channel->isOpen()) {
        if (offer.panel)
            asio::post(*offer.panel->home, [panel = offer.panel] {
                std::error_code ignored;
                panel->socket.close(ignored);
            });
        return;
    }
    const std::string key = offer.key;
    const std::string join = m_relay.awaitJoin(std::move(offer), false, m_home, stream);
    channel->send(Granted {id, join, secret, key}.encode());
}

void PcLink::refuse(std::uint64_t id, Reason reason, const std::string &text)
{
    send(Refused {id, reason, text}.encode());
}

void PcLink::send(const std::string &line)
{
    if (auto channel = m_channel.lock())
        channel->send(line);
}

} // namespace relay
