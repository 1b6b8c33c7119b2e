#pragma once

#include "panel/InProcessService.h"
#include "panel/PanelConfig.h"
#include "panel/StreamJoin.h"
#include "wire/Backoff.h"
#include "wire/EndToEnd.h"
#include "wire/DescriptorRecords.h"
#include "wire/IoPool.h"
#include "wire/LineChannel.h"
#include "wire/Log.h"
#include "wire/Messages.h"

#include <asio/ssl.hpp>

namespace panel {

// Keeps the panel registered at the relay (dial-out, reconnecting with backoff for ever)
// and opens each requested stream to its target as seen from the panel. The control link
// and the pass-through service live on the pool's main thread; each stream to a target is
// given to one I/O thread in turn, both its connections with it. A stream's bytes are TLS
// between the PC and this agent, which has a key pair of its own for it; the relay passes
// them on unread.
class PanelAgent
{
public:
    PanelAgent(wire::IoPool &pool, PanelConfig config);

    // Makes the key pair at the first start, loads it, and dials the relay. False, with a
    // line naming the file, when the key pair cannot be made or read.
    bool start(std::string *error);
    bool createdKey() const { return m_createdKey; }
    // SHA-256 of the agent's certificate, as registered: what PCs expect of the stream's TLS.
    const std::string &keyFingerprint() const { return m_keyFingerprint; }
    void setPassThroughService(std::shared_ptr<InProcessService> service) { m_passThrough = std::move(service); }
    bool isRegistered() const { return m_registered; }

    static const char *const kPassThroughAddress; // "127.0.0.1:7540"
    static constexpr std::chrono::seconds kConnectTimeout{5};

private:
    void connect();
    // The relay of the list in use: the control link's, and so every data connection's.
    const wire::HostPort &currentRelay() const { return m_config.relays[m_relayIndex % m_config.relays.size()]; }
    void onConnected(wire::StreamPtr stream);
    void onRegistered(wire::StreamPtr stream, std::string pending);
    void linkLost(const std::string &why);
    void onLine(const std::string &line);
    void onOpen(const wire::msg::Open &open);
    void connectTarget(asio::io_context &io, const std::string &target, const wire::HostPort &actual,
                       bool asRequested, std::shared_ptr<void> token, StreamJoin::Request join);
    static bool reachableAsRequested(const asio::ip::tcp::resolver::results_type &results);
    // From any thread.
    void refuse(std::uint64_t id, wire::msg::Reason reason, const std::string &why);
    // A stream's data connection or its PC failed (StreamJoin); from any thread.
    void joinFailed(std::uint64_t id, StreamJoin::Outcome outcome, const std::string &why);

    wire::IoPool &m_pool;
    asio::io_context &m_io; // the main thread's
    wire::ThreadLoad m_load; // streams to targets per thread
    // Asio's socket records made ahead in runs, per thread (see DescriptorRecords): made one
    // by one during a burst of streams they pinned the burst's heap pages after it.
    std::vector<std::unique_ptr<wire::DescriptorRecords>> m_records;
    PanelConfig m_config;
    std::shared_ptr<asio::ssl::context> m_tls; // to the relay
    std::shared_ptr<asio::ssl::context> m_streamTls; // the agent's own key, for streams
    std::string m_keyFingerprint;
    bool m_createdKey = false;
    // Main thread only. A secret is good for kSecretLife after its OPEN; kept twice that.
    SeenSecrets m_seenSecrets{2 * wire::kSecretLife, 10000};
    std::shared_ptr<wire::LineChannel> m_channel;
    std::shared_ptr<InProcessService> m_passThrough;
    asio::steady_timer m_retry;
    wire::Backoff m_backoff;
    bool m_registered = false;
    std::size_t m_relayIndex = 0;
    bool m_replaced = false; // the relay said another agent registered this SN
    wire::LogLimiter m_replacedLog{wire::Backoff::kCap};
};

} // namespace panel
