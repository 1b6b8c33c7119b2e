#pragma once

#include "relay/Connection.h"
#include "relay/Metrics.h"
#include "relay/PanelRegistry.h"
#include "relay/RedisRegistry.h"
#include "relay/RegistryHooks.h"
#include "relay/RelayConfig.h"
#include "wire/Stream.h"

#include <asio/ssl.hpp>

#include <functional>
#include <memory>
#include <string>

namespace relay {

// The relay's part beyond serving its own panels: its figures (and their HTTP endpoint),
// and with [cluster] the shared registry in Redis and the relay-to-relay links. A relay
// without [cluster] has only the figures and never touches Redis.
//
// Relay-to-relay: the relay a PC reached checks the user's rights, finds the holder in
// the registry and dials it over TLS pinned to the cluster's one certificate (its own); it
// sends FORWARD with the per-stream secret and an HMAC with a key derived from the cluster's
// private key, so the holder knows the request comes from a member too. The holder answers
// HELD once its agent has joined; the stream's bytes then go over a plain connection that
// joins with a signed JOIN, and both relays pass only the stream's own TLS.
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
    // Asks the member holding the SN to open the stream (rights already checked here), or
    // refuses it as offline; `answer` on `home` gets where to join it.
    void forward(const std::string &sn, const std::string &target, const std::string &who, const std::string &secret,
                 asio::io_context &home, StreamAnswer answer);
    // Joins a stream the holder answered HELD for, over a plain connection from the
    // requester's thread; `done` there with the connection, told OK, or the failure.
    void joinHolder(const wire::HostPort &holder, const std::string &join, const DataConnection &requester,
                    std::function<void(const std::error_code &, DataPtr)> done);
    // The running settings' file hash, for --status (a member with another file stands out).
    void setConfigHash(const std::string &hash);
    // Whether another member sent this, by its MAC.
    bool signedByMember(const wire::msg::Forward &request) const;
    bool signedByMember(const wire::msg::Join &join) const;

    static constexpr std::chrono::seconds kPeerConnectTimeout{3};

    // The MAC of a relay-to-relay line's words (exposed so a test can sign with a wrong key).
    static std::string sign(const std::string &key, const std::string &text);

private:
    void forwardTo(const RedisRegistry::Holder &holder, const std::string &sn, const std::string &target,
                   const std::string &who, const std::string &secret, asio::io_context &home, StreamAnswer answer);

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
