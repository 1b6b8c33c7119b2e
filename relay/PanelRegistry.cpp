#include "relay/PanelRegistry.h"

#include "wire/Log.h"
#include "wire/Messages.h"
#include "wire/Splicer.h"

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

std::string replacedLine(const std::string &sn)
{
    return Err {Reason::Replaced, "another registration of " + sn + " took over"}.encode();
}

PanelRegistry::PanelRegistry(asio::io_context &io, std::chrono::milliseconds heartbeat,
                             std::chrono::milliseconds silence)
    : m_io(io), m_heartbeat(heartbeat), m_silence(silence)
{
}

void PanelRegistry::registerPanel(const std::string &sn, wire::StreamPtr stream, std::string pending)
{
    auto it = m_panels.find(sn);
    std::shared_ptr<wire::LogLimiter> conflicts;
    if (it != m_panels.end()) {
        // The panel came back before we noticed it had gone (agent restarted, NAT rebound):
        // the new link is the live one, the old one only holds resources. The old one is
        // told why, so that a second agent with the same SN backs off instead of at once
        // taking the SN back (the two would evict each other for ever).
        conflicts = it->second.conflicts;
        conflicts->line("panel " + sn + " registered again from " + stream->peer() + ", old link "
                        + it->second.channel->peer() + " dropped (two agents with this SN?)");
        it->second.channel->sendAndClose(replacedLine(sn));
        const std::uint64_t oldGeneration = it->second.generation;
        m_panels.erase(it);
        onPanelClosed(sn, oldGeneration, asio::error::connection_aborted);
    } else {
        wire::logLine("panel " + sn + " registered from " + stream->peer());
        if (m_hooks.presence)
            m_hooks.presence(sn, true);
    }
    Link link;
    link.conflicts = conflicts ? conflicts : std::make_shared<wire::LogLimiter>(kConflictLogInterval);
    link.generation = m_nextGeneration++;
    link.channel = std::make_shared<wire::LineChannel>(m_io, stream, std::move(pending));
    const std::uint64_t generation = link.generation;
    m_panels[sn] = link;
    link.channel->send(Ok {}.encode());
    link.channel->start([this, sn, generation](const std::string &line) { onPanelLine(sn, generation, line); },
                        [this, sn, generation](const std::error_code &ec) { onPanelClosed(sn, generation, ec); },
                        m_heartbeat, m_silence);
}

void PanelRegistry::onPanelLine(const std::string &sn, std::uint64_t generation, const std::string &line)
{
    if (const auto fail = Fail::decode(line)) {
        auto it = m_pending.find(fail->id);
        if (it != m_pending.end() && it->second.sn == sn && it->second.generation == generation) {
            const Reason reason = fail->reason == Reason::Unreachable ? Reason::Unreachable : Reason::Target;
            refuse(fail->id, reason, "panel " + sn + " refused " + it->second.target);
        }
        return;
    }
    wire::logLine("panel " + sn + ": ignored line \"" + (printableLine(line) ? line.substr(0, 80) : "<binary>")
                  + "\"");
}

void PanelRegistry::onPanelClosed(const std::string &sn, std::uint64_t generation, const std::error_code &ec)
{
    auto it = m_panels.find(sn);
    if (it != m_panels.end() && it->second.generation == generation) {
        wire::logLine("panel " + sn + " gone (" + ec.message() + ")");
        m_panels.erase(it);
        if (m_hooks.presence)
            m_hooks.presence(sn, false);
    }
    std::vector<std::uint64_t> orphans;
    for (const auto &[id, p] : m_pending)
        if (p.sn == sn && p.generation == generation)
            orphans.push_back(id);
    for (auto id : orphans)
        refuse(id, Reason::Offline, "panel " + sn + " went offline");
}

void PanelRegistry::requestStream(const std::string &sn, const std::string &target, const std::string &who,
                                  wire::StreamPtr pc, std::string pcPending)
{
    auto it = m_panels.find(sn);
    if (it == m_panels.end()) {
        wire::logLine("refused stream from " + who + " to " + sn + ": panel offline");
        return replyAndClose(pc, Err {Reason::Offline, "panel " + sn + " is offline"});
    }
    const std::uint64_t id = m_nextId++;
    Pending p;
    p.sn = sn;
    p.target = target;
    p.who = who;
    p.generation = it->second.generation;
    p.pc = std::move(pc);
    p.pcPending = std::move(pcPending);
    p.timer = std::make_shared<asio::steady_timer>(m_io, kStreamWait);
    p.timer->async_wait([this, id](const std::error_code &ec) {
        if (!ec)
            refuse(id, Reason::Timeout, "panel did not open the stream in time");
    });
    m_pending.emplace(id, std::move(p));
    it->second.channel->send(Open {id, target}.encode());
}

void PanelRegistry::attachData(const std::string &sn, std::uint64_t id, wire::StreamPtr data, std::string pending)
{
    auto it = m_pending.find(id);
    if (it == m_pending.end() || it->second.sn != sn) {
        wire::logLine("data connection from " + data->peer() + " for unknown stream " + std::to_string(id));
        data->close();
        return;
    }
    Pending p = std::move(it->second);
    m_pending.erase(it);
    p.timer->cancel();
    const std::string label = "stream " + std::to_string(id) + " " + p.who + " -> " + sn + " " + p.target;
    wire::logLine(label + " open");
    if (m_hooks.streamOpened)
        m_hooks.streamOpened();
    wire::Splicer::start(p.pc, data, std::move(p.pcPending), Ok {}.encode() + "\n" + pending,
                         [label, closed = m_hooks.streamClosed](std::uint64_t up, std::uint64_t down,
                                                                const std::error_code &ec) {
                             if (closed)
                                 closed(up, down);
                             wire::logLine(label + (ec ? " aborted, " : " closed, ") + std::to_string(up) + " bytes up, "
                                           + std::to_string(down) + " down"
                                           + (ec ? " (" + ec.message() + ")" : std::string()));
                         });
}

void PanelRegistry::refuse(std::uint64_t id, Reason reason, const std::string &text)
{
    auto it = m_pending.find(id);
    if (it == m_pending.end())
        return;
    Pending p = std::move(it->second);
    m_pending.erase(it);
    p.timer->cancel();
    wire::logLine("refused stream " + std::to_string(id) + " from " + p.who + " to " + p.sn + " " + p.target
                  + ": " + text);
    replyAndClose(p.pc, Err {reason, text});
}

} // namespace relay
