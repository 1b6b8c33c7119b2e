#pragma once

#include "relay/ClusterNode.h"
#include "relay/PanelRegistry.h"
#include "relay/RelayConfig.h"
#include "wire/DescriptorRecords.h"
#include "wire/IoPool.h"
#include "wire/Log.h"
#include "wire/Messages.h"

#include <asio/ssl.hpp>

namespace relay {

// The rendezvous server: accepts TLS connections from panel agents and PC tunnel
// libraries, reads the one request line each starts with, and hands it on. Accepts on the
// pool's main thread and hands each connection to the least loaded I/O thread for good.
class Relay
{
public:
    Relay(wire::IoPool &pool, RelayConfig config);
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

    // A silent connection (no TLS hello) is closed sooner than the handshake timeout: bare
    // connects are the cheapest way to hold the relay's descriptors.
    static constexpr std::chrono::milliseconds kFirstByte{3000};
    // After a failed accept (out of descriptors): the pause before accepting again.
    static constexpr std::chrono::milliseconds kAcceptPause{100};

private:
    void acceptNext();
    void onAccepted(asio::ip::tcp::socket socket, std::size_t thread);
    void awaitHello(asio::ip::tcp::socket socket, std::shared_ptr<Slot> slot, std::string peer, std::size_t thread);
    std::size_t leastLoaded() const;
    void onAcceptFailed(const std::error_code &ec);
    void shedOnePending();
    void onHandshake(ConnectionPtr stream);
    void onRequest(ConnectionPtr stream, std::shared_ptr<std::string> pending, const std::string &line);
    void onUser(ConnectionPtr stream, std::string pending, const wire::msg::User &login);
    void onStream(ConnectionPtr stream, std::string pending, const wire::msg::Stream &request);
    bool panelSecretOk(const std::string &sn, const std::string &secret) const;
    wire::msg::Reason checkReach(const RelayUser *user, const std::string &sn) const;

    wire::IoPool &m_pool;
    asio::io_context &m_io; // the main thread's: listener, accept pauses
    RelayConfig m_config;
    asio::ip::tcp::acceptor m_acceptor;
    std::shared_ptr<asio::ssl::context> m_tls;
    PanelRegistry m_registry;
    std::string m_fingerprint;
    std::uint16_t m_port = 0;
    bool m_created = false;
    asio::steady_timer m_acceptPause;
    int m_reserve = -1; // /dev/null, given up to accept-and-close when descriptors run out
    std::shared_ptr<Admissions> m_admissions;
    std::shared_ptr<ClusterNode> m_node; // figures, and the cluster when configured
    wire::LogLimiter m_acceptLog{std::chrono::seconds(5)};
    wire::LogLimiter m_limitLog{std::chrono::seconds(5)};
    wire::LogLimiter m_silentLog{std::chrono::seconds(1)};
    wire::LogLimiter m_tlsLog{std::chrono::seconds(1)};
    wire::LogLimiter m_noRequestLog{std::chrono::seconds(1)};
};

} // namespace relay
