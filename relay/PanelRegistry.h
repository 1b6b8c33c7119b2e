#pragma once

#include "relay/RegistryHooks.h"
#include "relay/Connection.h"
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

// The panels registered now (one control link per SN, the newest wins) and the streams
// waiting for a panel's data connection. Called from every I/O thread: the maps take a
// lock, while each link, each waiting PC connection and its timer are only ever touched on
// their own connection's thread (work for another one is posted there).
class PanelRegistry
{
public:
    PanelRegistry(std::chrono::milliseconds heartbeat, std::chrono::milliseconds silence);

    // Set before the first registration; the hooks outlive the registry's io work.
    void setHooks(RegistryHooks hooks) { m_hooks = std::move(hooks); }
    void registerPanel(const std::string &sn, ConnectionPtr link, std::string pending);
    bool isOnline(const std::string &sn) const;
    std::size_t onlineCount() const;

    // Asks the panel to open a data connection for this PC stream; the PC gets "OK" and the
    // splice when it arrives, "ERR ..." when the panel refuses or does not answer in time.
    void requestStream(const std::string &sn, const std::string &target, const std::string &who,
                       ConnectionPtr pc, std::string pcPending);
    // A panel's data connection, already authenticated by SN and secret.
    void attachData(const std::string &sn, std::uint64_t id, ConnectionPtr data, std::string pending);

    static constexpr std::chrono::seconds kStreamWait{10};
    static constexpr std::chrono::seconds kConflictLogInterval{30};

private:
    struct Link
    {
        std::shared_ptr<wire::LineChannel> channel;
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
        std::uint64_t generation = 0;
        ConnectionPtr pc;
        std::string pcPending;
        std::shared_ptr<asio::steady_timer> timer; // on the PC connection's thread
    };

    void onPanelLine(const std::string &sn, std::uint64_t generation, const std::string &line);
    void onPanelClosed(const std::string &sn, std::uint64_t generation, const std::error_code &ec);
    // With the lock held.
    std::optional<Pending> take(std::uint64_t id);
    std::vector<Pending> takeOrphans(const std::string &sn, std::uint64_t generation);
    // Answers the PC on its own thread.
    void refuse(Pending p, wire::msg::Reason reason, const std::string &text);

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
// What a registration that another one of the same SN replaced reads last.
std::string replacedLine(const std::string &sn);

} // namespace relay
