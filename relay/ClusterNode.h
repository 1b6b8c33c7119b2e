#pragma once

#include "relay/Connection.h"
#include "relay/Metrics.h"
#include "relay/RedisRegistry.h"
#include "relay/RegistryHooks.h"
#include "relay/RelayConfig.h"
#include "wire/Stream.h"

#include <asio/ssl.hpp>

#include <functional>
#include <memory>
#include <string>

namespace relay {

class PanelRegistry;

// The relay's part beyond serving its own panels: its figures (and their HTTP endpoint),
// and with [cluster] the shared registry in Redis and the relay-to-relay links. A relay
// without [cluster] has only the figures and never touches Redis.
//
// Relay-to-relay: the relay a PC reached checks the user's rights, finds the holder in
// the registry and dials it over TLS pinned to the cluster's one certificate (its own); it
// sends "FORWARD SN TARGET MAC", MAC an HMAC over SN and target with a key derived from
// the cluster's private key, so the holder knows the request comes from a member too.
class ClusterNode : public std::enable_shared_from_this<ClusterNode>
{
public:
    ClusterNode(asio::io_context &io, const RelayConfig &config);
    ~ClusterNode();

    // `fingerprint`: the relay's own certificate, which every member shares.
    bool start(const std::string &fingerprint, std::string *error);
    bool clustered() const { return bool(m_registry); }
    // Ends the registry's thread (and removes this relay's entries) while the io_context
    // its answers are posted to still exists.
    void stop();
    std::uint16_t metricsPort() const { return m_server ? m_server->port() : 0; }
    Metrics &metrics() { return *m_metrics; }
    RegistryHooks hooks();

    // For an SN not registered here: whether another member holds it (`done` on `home`,
    // the asking connection's thread).
    void whenHeldElsewhere(const std::string &sn, asio::io_context &home, std::function<void(bool)> done);
    // Passes the PC's stream (rights already checked) to the member holding the SN, or
    // refuses it as offline. The link to the holder lives on the PC connection's thread, so
    // that the splice's two halves share it.
    void forward(const std::string &sn, const std::string &target, const std::string &who, ConnectionPtr pc,
                 std::string pcPending);
    // A stream another member passes on: false when `line` is not one; refused (and
    // closed) when its MAC is wrong; else handed to the local panels.
    bool takeForwarded(const std::string &line, ConnectionPtr stream, std::string &pending,
                       PanelRegistry &panels);

    static constexpr std::chrono::seconds kPeerConnectTimeout{3};

    // The request line, for the holder to check (exposed so a test can forge one).
    static std::string forwardLine(const std::string &key, const std::string &sn, const std::string &target);

private:
    void forwardTo(const std::optional<RedisRegistry::Holder> &holder, const std::string &sn,
                   const std::string &target, const std::string &who, ConnectionPtr pc, std::string pcPending);

    asio::io_context &m_io;
    RelayConfig m_config;
    std::shared_ptr<Metrics> m_metrics = std::make_shared<Metrics>();
    std::shared_ptr<MetricsServer> m_server;
    std::unique_ptr<RedisRegistry> m_registry;
    std::shared_ptr<asio::ssl::context> m_peerTls;
    std::string m_linkKey; // HMAC key of relay-to-relay requests
};

// SHA-256 over a label and the key file: the same on every member, unknown elsewhere.
bool clusterLinkKey(const std::string &keyPath, std::string *key, std::string *error);

} // namespace relay
