#pragma once

#include "relay/RegistryHooks.h"
#include "wire/LineChannel.h"
#include "wire/Log.h"
#include "wire/Messages.h"
#include "wire/Stream.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace relay {

// The panels registered now (one control link per SN, the newest wins) and the streams
// waiting for a panel's data connection. Lives on the relay's io thread.
class PanelRegistry
{
public:
    PanelRegistry(asio::io_context &io, std::chrono::milliseconds heartbeat, std::chrono::milliseconds silence);

    // Set before the first registration; the hooks outlive the registry's io work.
    void setHooks(RegistryHooks hooks) { m_hooks = std::move(hooks); }
    void registerPanel(const std::string &sn, wire::StreamPtr stream, std::string pending);
    bool isOnline(const std::string &sn) const { return m_panels.count(sn) != 0; }
    std::size_t onlineCount() const { return m_panels.size(); }

    // Asks the panel to open a data connection for this PC stream; the PC gets "OK" and the
    // splice when it arrives, "ERR ..." when the panel refuses or does not answer in time.
    void requestStream(const std::string &sn, const std::string &target, const std::string &who,
                       wire::StreamPtr pc, std::string pcPending);
    // A panel's data connection, already authenticated by SN and secret.
    void attachData(const std::string &sn, std::uint64_t id, wire::StreamPtr data, std::string pending);

    static constexpr std::chrono::seconds kStreamWait{10};
    static constexpr std::chrono::seconds kConflictLogInterval{30};

private:
    struct Link
    {
        std::shared_ptr<wire::LineChannel> channel;
        std::uint64_t generation = 0;
        // Passed on from link to link of one SN: two agents with one SN take turns.
        std::shared_ptr<wire::LogLimiter> conflicts;
    };
    struct Pending
    {
        std::string sn;
        std::string target;
        std::string who;
        std::uint64_t generation = 0;
        wire::StreamPtr pc;
        std::string pcPending;
        std::shared_ptr<asio::steady_timer> timer;
    };

    void onPanelLine(const std::string &sn, std::uint64_t generation, const std::string &line);
    void onPanelClosed(const std::string &sn, std::uint64_t generation, const std::error_code &ec);
    void refuse(std::uint64_t id, wire::msg::Reason reason, const std::string &text);

    asio::io_context &m_io;
    std::chrono::milliseconds m_heartbeat, m_silence;
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
