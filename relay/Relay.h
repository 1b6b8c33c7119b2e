#pragma once

#include "relay/Audit.h"
#include "relay/ClusterNode.h"
#include "relay/Incoming.h"
#include "relay/Joins.h"
#include "relay/OpenStreams.h"
#include "relay/PanelRegistry.h"
#include "relay/PcLink.h"
#include "relay/RelayConfig.h"
#include "wire/DescriptorRecords.h"
#include "wire/IoPool.h"
#include "wire/Log.h"
#include "wire/Messages.h"

#include <asio/ssl.hpp>

namespace relay {

// The rendezvous server: accepts connections from panel agents, PC tunnel libraries and the
// other relays of a cluster, authorises each stream, and then only passes its bytes: the
// stream's TLS runs between the library and the agent, and the relay cannot read it. Accepts
// on the pool's main thread and hands each connection to the least loaded I/O thread for good.
class Relay
{
public:
    // `audit` may be a trail never opened (no audit= in relay.ini); it outlives the relay.
    Relay(wire::IoPool &pool, RelayConfig config, AuditTrail &audit);
    ~Relay();

    // Creates key and certificate if missing, loads them, binds and starts accepting.
    bool start(std::string *error);
    std::uint16_t port() const { return m_port; }
    const std::string &fingerprint() const { return m_fingerprint; }
    bool createdCertificate() const { return m_created; }
    const PanelRegistry &panels() const { return m_registry; }
    std::uint16_t metricsPort() const { return m_node ? m_node->metricsPort() : 0; }

    // Connections admitted now (accepted and not yet closed), for tests and logs.
    std::size_t connectionCount() const;

    // SIGHUP, on the main thread: reads the file again and takes its users, panels and their
    // secrets without dropping what they still allow; ends at once what they no longer allow.
    // A file with an error changes nothing. Also reopens the audit trail (log rotation).
    void reload(const std::string &path);
    // The relay is stopping: every open stream's end is recorded as the relay's doing.
    void stopping();

    // After a failed accept (out of descriptors): the pause before accepting again.
    static constexpr std::chrono::milliseconds kAcceptPause{100};
    // A stream's id, the same on both relays of a forwarded stream: from its per-stream
    // secret, which both have, one way (the id is logged; the secret must not be).
    static std::string streamId(const std::string &secret);
    // Stream requests one PC link may have waiting for their panels at once.
    static constexpr std::size_t kMaxWaitingPerLink = 4096;

private:
    friend class PcLink;

    void acceptNext();
    void onAccepted(asio::ip::tcp::socket socket, std::size_t thread);
    std::size_t leastLoaded() const;
    void onAcceptFailed(const std::error_code &ec);
    void shedOnePending();
    void onControl(ConnectionPtr stream, std::string pending, const std::string &line);
    void onData(DataPtr data, const std::string &line);
    void onUser(ConnectionPtr stream, std::string pending, const wire::msg::User &login);
    void onForward(ConnectionPtr stream, const wire::msg::Forward &request);
    // The settings a reload may change (users, panels), as of now: hold the pointer while
    // using what it points to.
    std::shared_ptr<const RelayConfig> settings() const { return std::atomic_load(&m_settings); }
    wire::msg::Reason checkReach(const RelayConfig &settings, const RelayUser *user, const std::string &sn) const;
    static AuditEvent streamEvent(AuditEvent::Kind kind, const OpenStreams::Stream &stream);
    void recordStreamEnd(const OpenStreams::Stream &stream, std::uint64_t up, std::uint64_t down,
                         AuditEvent::Cause cause);
    // The requester's side of a stream whose panel side is ready: a join value for it, and
    // the splice once it joins within the handshake timeout (else the end of the waiting
    // panel side).
    std::string awaitJoin(StreamOffer offer, bool fromRelay, asio::io_context &home, OpenStreams::Stream stream);
    void splice(DataPtr requester, DataPtr panel, OpenStreams::Stream stream);
    static std::string streamLabel(const OpenStreams::Stream &stream);

    wire::IoPool &m_pool;
    asio::io_context &m_io; // the main thread's: listener, accept pauses
    RelayConfig m_config; // as started: what only a restart changes
    std::shared_ptr<const RelayConfig> m_settings;
    AuditTrail &m_audit;
    asio::ip::tcp::acceptor m_acceptor;
    Joins m_joins;
    PanelRegistry m_registry;
    Incoming::Settings m_incoming;
    std::string m_fingerprint;
    std::uint16_t m_port = 0;
    bool m_created = false;
    asio::steady_timer m_acceptPause;
    int m_reserve = -1; // /dev/null, given up to accept-and-close when descriptors run out
    std::shared_ptr<Admissions> m_admissions;
    std::shared_ptr<ClusterNode> m_node; // figures, and the cluster when configured
    RegistryHooks m_hooks;
    OpenStreams m_streams;
    std::shared_ptr<PcLinks> m_links = std::make_shared<PcLinks>(); // for revocation
    wire::LogLimiter m_acceptLog{std::chrono::seconds(5)};
    wire::LogLimiter m_limitLog{std::chrono::seconds(5)};
};

} // namespace relay
