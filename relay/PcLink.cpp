#include "relay/PcLink.h"

#include "relay/Relay.h"
#include "wire/EndToEnd.h"
#include "wire/Log.h"

namespace relay {

using namespace wire::msg;

std::vector<std::shared_ptr<PcLink>> PcLinks::all()
{
    std::vector<std::shared_ptr<PcLink>> links;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &[key, weak] : open)
        if (auto link = weak.lock())
            links.push_back(std::move(link));
    return links;
}

PcLink::PcLink(Relay &relay, std::shared_ptr<PcLinks> links, ConnectionPtr stream, std::string pending,
               std::string user)
    : m_relay(relay), m_links(std::move(links)), m_home(stream->home()),
      m_starting(std::make_shared<wire::LineChannel>(m_home, stream, std::move(pending))),
      m_peer(stream->peer()), m_user(std::move(user))
{
}

PcLink::~PcLink()
{
    std::lock_guard<std::mutex> lock(m_links->mutex);
    m_links->open.erase(this);
}

void PcLink::revoke()
{
    asio::post(m_home, [weak = m_channel, user = m_user] {
        if (auto channel = weak.lock()) {
            wire::logLine("PC user " + user + " revoked, link closed");
            channel->close();
        }
    });
}

std::string PcLink::who() const
{
    return m_user + "@" + m_peer;
}

void PcLink::start()
{
    const auto channel = std::move(m_starting);
    m_channel = channel;
    {
        std::lock_guard<std::mutex> lock(m_links->mutex);
        m_links->open[this] = shared_from_this();
    }
    channel->send(Ok {}.encode());
    channel->start([self = shared_from_this()](const std::string &line) { self->onLine(line); },
                     [user = m_user](const std::error_code &ec) {
                         wire::logLine("PC user " + user + " disconnected (" + ec.message() + ")");
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
    wire::logLine("PC user " + m_user + ": bad line (" + error + "), closed");
    if (auto channel = m_channel.lock())
        channel->close();
}

void PcLink::onCheck(const Check &check)
{
    // Looked up anew each time: a reload may have changed the user's patterns, or removed it.
    const auto settings = m_relay.settings();
    const Reason verdict = m_relay.checkReach(*settings, settings->userByName(m_user), check.sn);
    if (verdict == Reason::Offline && m_relay.m_node->clustered()) {
        const auto id = check.id;
        auto weak = m_channel;
        return m_relay.m_node->whenHeldElsewhere(check.sn, m_home, [weak, id](bool held) {
            if (auto c = weak.lock())
                c->send(Checked {id, held ? Reason::Ok : Reason::Offline}.encode());
        });
    }
    if (verdict != Reason::Ok)
        wire::logLine("PC user " + m_user + " may not use " + check.sn.substr(0, 64) + ": "
                      + reasonText(verdict));
    send(Checked {check.id, verdict}.encode());
}

void PcLink::onStream(const wire::msg::Stream &request)
{
    const std::string &sn = request.sn;
    const auto settings = m_relay.settings();
    const Reason verdict = m_relay.checkReach(*settings, settings->userByName(m_user), sn);
    const bool targetOk = bool(wire::parseHostPort(request.target));
    const bool elsewhere = verdict == Reason::Offline && m_relay.m_node->clustered() && targetOk;
    if (verdict != Reason::Ok && !elsewhere) {
        wire::logLine("refused stream from " + who() + " to " + sn.substr(0, 64) + ": " + reasonText(verdict));
        return refuseStream(request, verdict, "refused");
    }
    if (!targetOk) {
        wire::logLine("refused stream from " + who() + ": bad target address");
        return refuseStream(request, Reason::Protocol, "bad target address");
    }
    // Requests are cheap lines, each of which makes a panel connect somewhere: bounded.
    if (m_waiting >= Relay::kMaxWaitingPerLink) {
        wire::logLine("refused stream from " + who() + ": " + std::to_string(m_waiting) + " waiting already");
        return refuseStream(request, Reason::Protocol, "too many streams waiting");
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
    if (offer.reason != Reason::Ok) {
        wire::msg::Stream request;
        request.id = id;
        request.sn = stream.sn;
        request.target = stream.target;
        return refuseStream(request, offer.reason, offer.text);
    }
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

void PcLink::refuseStream(const wire::msg::Stream &request, Reason reason, const std::string &text)
{
    AuditEvent refused;
    refused.kind = AuditEvent::Kind::StreamOpen;
    refused.result = AuditEvent::Result::Refused;
    refused.reason = std::string(reasonText(reason)) + (text.empty() ? "" : ": " + text);
    refused.user = m_user;
    refused.source = m_peer;
    refused.sn = validSn(request.sn) ? request.sn : std::string();
    refused.target = request.target;
    m_relay.m_audit.record(refused);
    refuse(request.id, reason, text);
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
