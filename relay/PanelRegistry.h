#pragma once

#include "relay/Audit.h"
#include "relay/Connection.h"
#include "relay/RelayConfig.h"
#include "relay/Joins.h"
#include "relay/RegistryHooks.h"
#include "wire/LineChannel.h"
#include "wire/Log.h"
#include "wire/Messages.h"
#include "wire/Stream.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace relay {

// What a stream request came to: the panel's side joined and waits (its key and data
// connection, or, when another relay holds the panel, where to join it), or a refusal.
struct StreamOffer
{
    wire::msg::Reason reason = wire::msg::Reason::Ok;
    std::string text; // why, for a refusal
    std::string key;  // the panel's certificate fingerprint
    DataPtr panel;    // the agent's data connection, joined and told OK
    // Forwarded: the holding relay and the join value it handed out.
    std::optional<wire::HostPort> holder;
    std::string holderJoin;
};
// Runs on the requester's thread.
using StreamAnswer = std::function<void(StreamOffer)>;

// The panels registered now (one control link per SN, the newest wins, with the key its
// agent registered) and the stream requests waiting for an agent's data connection. Called
// from every I/O thread: the maps take a lock, while each link and each requester are only
// ever touched on their own connection's thread (work for another one is posted there).
class PanelRegistry
{
public:
    PanelRegistry(Joins &joins, AuditTrail &audit, std::chrono::milliseconds heartbeat,
                  std::chrono::milliseconds silence);

    // Set before the first registration; the hooks outlive the registry's io work.
    void setHooks(RegistryHooks hooks) { m_hooks = std::move(hooks); }
    // `secret`: the SHA-256 of the secret the panel registered with, for a reload to see
    // whether it still holds.
    void registerPanel(const std::string &sn, const std::string &key, const Sha256 &secret, ConnectionPtr link,
                       std::string pending);
    // Closes the links of the panels for which `revoked(sn, secret)` is true (a reload
    // removed them or changed their secrets); returns how many.
    std::size_t revokeIf(const std::function<bool(const std::string &sn, const Sha256 &secret)> &revoked);
    bool isOnline(const std::string &sn) const;
    std::size_t onlineCount() const;

    // Asks the panel to connect `target` and join with a data connection; `answer` (on
    // `home`) gets the joined connection, or the refusal when the panel refuses, goes or does
    // not answer in time. `secret` goes to the agent, which lets only a PC that proves it in.
    void requestStream(const std::string &sn, const std::string &target, const std::string &who,
                       const std::string &secret, asio::io_context &home, StreamAnswer answer);

    static constexpr std::chrono::seconds kStreamWait{10};
    static constexpr std::chrono::seconds kConflictLogInterval{30};

private:
    struct Link
    {
        std::shared_ptr<wire::LineChannel> channel;
        std::string key;
        Sha256 secret{};
        std::string peer;
        asio::io_context *home = nullptr;
        std::uint64_t generation = 0;
        // Passed on from link to link of one SN: two agents with one SN take turns.
        std::shared_ptr<wire::LogLimiter> conflicts;
    };
    struct Pending
    {
        std::uint64_t id = 0;
        std::string sn;
        std::string target;
        std::string who;
        std::string key;
        std::string join; // the agent's
        std::uint64_t generation = 0;
        asio::io_context *home = nullptr;
        StreamAnswer answer;
    };

    void onPanelLine(const std::string &sn, std::uint64_t generation, const std::string &line);
    void onPanelClosed(const std::string &sn, std::uint64_t generation, const std::error_code &ec);
    // With the lock held.
    std::optional<Pending> take(std::uint64_t id);
    std::vector<Pending> takeOrphans(const std::string &sn, std::uint64_t generation);
    // Answers the requester on its own thread.
    void refuse(Pending p, wire::msg::Reason reason, const std::string &text);
    void onAgentJoined(std::uint64_t id, DataPtr agent);
    void wentOffline(const std::string &sn, const std::string &why);

    Joins &m_joins;
    AuditTrail &m_audit;
    std::chrono::milliseconds m_heartbeat, m_silence;
    mutable std::mutex m_mutex;
    std::map<std::string, Link> m_panels;
    std::map<std::uint64_t, Pending> m_pending;
    std::uint64_t m_nextId = 1;
    std::uint64_t m_nextGeneration = 1;
    RegistryHooks m_hooks;
};

// Writes the refusal, then closes, so that the peer reads why before the close.
void replyAndClose(wire::StreamPtr stream, const wire::msg::Err &refusal);
// The same on a data connection, from its own thread.
void replyAndClose(const DataPtr &data, const wire::msg::Err &refusal);
// A line to a fresh data connection, all at once: its send buffer is empty, so a short line
// goes whole or the connection is broken. Never blocks.
bool sendLine(DataConnection &data, const std::string &line);
// What a registration that another one of the same SN replaced reads last.
std::string replacedLine(const std::string &sn);

} // namespace relay
