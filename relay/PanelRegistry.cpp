#include "relay/PanelRegistry.h"

#include "wire/EndToEnd.h"
#include "wire/Log.h"
#include "wire/Messages.h"

namespace relay {

using namespace wire::msg;

void replyAndClose(wire::StreamPtr stream, const Err &refusal)
{
    auto text = std::make_shared<std::string>(refusal.encode() + "\n");
    stream->writeAll(asio::buffer(*text), [stream, text](const std::error_code &, std::size_t) {
        stream->shutdownSend();
        stream->close();
    });
}

bool sendLine(DataConnection &data, const std::string &line)
{
    std::error_code ec;
    const std::string text = line + "\n";
    const std::size_t sent = data.socket.send(asio::buffer(text), 0, ec);
    return !ec && sent == text.size();
}

void replyAndClose(const DataPtr &data, const Err &refusal)
{
    std::error_code ec;
    sendLine(*data, refusal.encode());
    data->socket.shutdown(asio::socket_base::shutdown_send, ec);
    data->socket.close(ec);
}

std::string replacedLine(const std::string &sn)
{
    return Err {Reason::Replaced, "another registration of " + sn + " took over"}.encode();
}

PanelRegistry::PanelRegistry(Joins &joins, AuditTrail &audit, std::chrono::milliseconds heartbeat,
                             std::chrono::milliseconds silence)
    : m_joins(joins), m_audit(audit), m_heartbeat(heartbeat), m_silence(silence)
{
}

bool PanelRegistry::isOnline(const std::string &sn) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_panels.count(sn) != 0;
}

std::size_t PanelRegistry::onlineCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_panels.size();
}

void PanelRegistry::registerPanel(const std::string &sn, const std::string &key, const Sha256 &secret,
                                  ConnectionPtr stream, std::string pending)
{
    stream->waitBeforeReads();
    auto channel = std::make_shared<wire::LineChannel>(stream->home(), stream, std::move(pending));
    std::optional<Link> old;
    std::vector<Pending> orphans;
    std::uint64_t generation = 0;
    std::shared_ptr<wire::LogLimiter> conflicts;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_panels.find(sn);
        if (it != m_panels.end()) {
            old = std::move(it->second);
            orphans = takeOrphans(sn, old->generation);
        }
        Link link;
        link.channel = channel;
        link.key = key;
        link.secret = secret;
        link.peer = stream->peer();
        link.home = &stream->home();
        link.generation = generation = m_nextGeneration++;
        link.conflicts = conflicts = old ? old->conflicts
                                         : std::make_shared<wire::LogLimiter>(kConflictLogInterval);
        m_panels[sn] = std::move(link);
    }
    if (old) {
        // The panel came back before we noticed it had gone (agent restarted, NAT rebound):
        // the new link is the live one, the old one only holds resources. The old one is
        // told why, so that a second agent with the same SN backs off instead of at once
        // taking the SN back (the two would evict each other for ever).
        conflicts->line("panel " + sn + " registered again from " + stream->peer() + ", old link "
                        + old->channel->peer() + " dropped (two agents with this SN?)");
        asio::post(*old->home, [channel = std::move(old->channel), sn] { channel->sendAndClose(replacedLine(sn)); });
        for (auto &p : orphans)
            refuse(std::move(p), Reason::Offline, "panel " + sn + " went offline");
    } else {
        wire::logLine("panel " + sn + " registered from " + stream->peer());
        if (m_hooks.presence)
            m_hooks.presence(sn, true);
    }
    AuditEvent online;
    online.kind = AuditEvent::Kind::PanelOnline;
    online.result = AuditEvent::Result::Ok;
    online.sn = sn;
    online.source = stream->peer();
    m_audit.record(online);
    // Requests that found the new link in the map are posted to this thread: they run after
    // this handler, once the channel has started.
    channel->send(Ok {}.encode());
    channel->start([this, sn, generation](const std::string &line) { onPanelLine(sn, generation, line); },
                   [this, sn, generation](const std::error_code &ec) { onPanelClosed(sn, generation, ec); },
                   m_heartbeat, m_silence);
}

std::optional<PanelRegistry::Pending> PanelRegistry::take(std::uint64_t id)
{
    auto it = m_pending.find(id);
    if (it == m_pending.end())
        return std::nullopt;
    Pending p = std::move(it->second);
    m_pending.erase(it);
    return p;
}

std::vector<PanelRegistry::Pending> PanelRegistry::takeOrphans(const std::string &sn, std::uint64_t generation)
{
    std::vector<Pending> orphans;
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->second.sn == sn && it->second.generation == generation) {
            orphans.push_back(std::move(it->second));
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
    return orphans;
}

void PanelRegistry::onPanelLine(const std::string &sn, std::uint64_t generation, const std::string &line)
{
    if (const auto fail = Fail::decode(line)) {
        std::optional<Pending> p;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_pending.find(fail->id);
            if (it != m_pending.end() && it->second.sn == sn && it->second.generation == generation)
                p = take(fail->id);
        }
        if (p) {
            const Reason reason = fail->reason == Reason::Unreachable ? Reason::Unreachable : Reason::Target;
            const std::string text = "panel " + sn + " refused " + p->target;
            refuse(std::move(*p), reason, text);
        }
        return;
    }
    wire::logLine("panel " + sn + ": ignored line \"" + (printableLine(line) ? line.substr(0, 80) : "<binary>")
                  + "\"");
}

void PanelRegistry::onPanelClosed(const std::string &sn, std::uint64_t generation, const std::error_code &ec)
{
    bool gone = false;
    std::vector<Pending> orphans;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_panels.find(sn);
        if (it != m_panels.end() && it->second.generation == generation) {
            m_panels.erase(it);
            gone = true;
        }
        orphans = takeOrphans(sn, generation);
    }
    if (gone)
        wentOffline(sn, ec.message());
    for (auto &p : orphans)
        refuse(std::move(p), Reason::Offline, "panel " + sn + " went offline");
}

void PanelRegistry::wentOffline(const std::string &sn, const std::string &why)
{
    wire::logLine("panel " + sn + " gone (" + why + ")");
    if (m_hooks.presence)
        m_hooks.presence(sn, false);
    AuditEvent offline;
    offline.kind = AuditEvent::Kind::PanelOffline;
    offline.sn = sn;
    offline.reason = why;
    m_audit.record(offline);
}

std::size_t PanelRegistry::revokeIf(const std::function<bool(const std::string &, const Sha256 &)> &revoked)
{
    std::vector<std::pair<std::string, Link>> gone;
    std::vector<Pending> orphans;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_panels.begin(); it != m_panels.end();) {
            if (!revoked(it->first, it->second.secret)) {
                ++it;
                continue;
            }
            auto more = takeOrphans(it->first, it->second.generation);
            std::move(more.begin(), more.end(), std::back_inserter(orphans));
            gone.emplace_back(it->first, std::move(it->second));
            it = m_panels.erase(it);
        }
    }
    for (auto &[sn, link] : gone) {
        asio::post(*link.home, [channel = link.channel] { channel->close(); });
        wentOffline(sn, "revoked: no longer listed with that secret");
    }
    for (auto &p : orphans) {
        const std::string why = "panel " + p.sn + " was revoked";
        refuse(std::move(p), Reason::Offline, why);
    }
    return gone.size();
}

void PanelRegistry::requestStream(const std::string &sn, const std::string &target, const std::string &who,
                                  const std::string &secret, asio::io_context &home, StreamAnswer answer)
{
    std::shared_ptr<wire::LineChannel> channel;
    asio::io_context *panelHome = nullptr;
    std::uint64_t id = 0;
    const std::string join = wire::randomHex(wire::msg::kJoinDigits / 2);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_panels.find(sn);
        if (it != m_panels.end()) {
            id = m_nextId++;
            channel = it->second.channel;
            panelHome = it->second.home;
            Pending p;
            p.id = id;
            p.sn = sn;
            p.target = target;
            p.who = who;
            p.key = it->second.key;
            p.join = join;
            p.generation = it->second.generation;
            p.home = &home;
            p.answer = std::move(answer);
            m_pending.emplace(id, std::move(p));
        }
    }
    if (!channel) {
        wire::logLine("refused stream from " + who + " to " + sn + ": panel offline");
        StreamOffer refusal;
        refusal.reason = Reason::Offline;
        refusal.text = "panel " + sn + " is offline";
        return asio::post(home, [answer = std::move(answer), refusal] { answer(refusal); });
    }
    // Whoever takes the request from the map answers it; the join and its expiry are the
    // agent's part, so the wait is bounded even when the panel never reads the OPEN.
    m_joins.expect(join, false, home, kStreamWait,
                   [this, id](DataPtr agent) { onAgentJoined(id, std::move(agent)); },
                   [this, id] {
                       std::optional<Pending> p;
                       {
                           std::lock_guard<std::mutex> lock(m_mutex);
                           p = take(id);
                       }
                       if (p)
                           refuse(std::move(*p), Reason::Timeout, "panel did not open the stream in time");
                   });
    asio::post(*panelHome, [channel, line = Open {id, target, join, secret}.encode()] { channel->send(line); });
}

// On the agent's data connection's thread.
void PanelRegistry::onAgentJoined(std::uint64_t id, DataPtr agent)
{
    std::optional<Pending> p;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        p = take(id);
    }
    if (!p) { // refused meanwhile (FAIL, panel gone): the join was cancelled, but not before this one took it
        replyAndClose(agent, Err {Reason::Timeout, "the stream was given up"});
        return;
    }
    if (!sendLine(*agent, Ok {}.encode())) {
        std::error_code ignored;
        agent->socket.close(ignored);
        return refuse(std::move(*p), Reason::Unreachable, "panel's data connection broke");
    }
    StreamOffer offer;
    offer.key = p->key;
    offer.panel = std::move(agent);
    asio::post(*p->home, [answer = std::move(p->answer), offer = std::move(offer)] { answer(offer); });
}

void PanelRegistry::refuse(Pending p, Reason reason, const std::string &text)
{
    m_joins.cancel(p.join);
    wire::logLine("refused stream " + std::to_string(p.id) + " from " + p.who + " to " + p.sn + " " + p.target + ": "
                  + text);
    StreamOffer refusal;
    refusal.reason = reason;
    refusal.text = text;
    asio::post(*p.home, [answer = std::move(p.answer), refusal] { answer(refusal); });
}

} // namespace relay
