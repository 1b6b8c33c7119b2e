#include "relay/ClusterNode.h"

#include "relay/PanelRegistry.h"
#include "wire/Log.h"
#include "wire/Messages.h"
#include "wire/Splicer.h"
#include "wire/Tls.h"
#include "wire/TlsStream.h"

#include <openssl/crypto.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <fstream>
#include <sstream>

namespace relay {

using namespace wire::msg;

namespace {

const char *const kForward = "FORWARD";

std::string mac(const std::string &key, const std::string &sn, const std::string &target)
{
    const std::string message = std::string(kForward) + " " + sn + " " + target;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char *>(message.data()),
         message.size(), out, &len);
    return wire::hexText(out, len);
}

} // namespace

bool clusterLinkKey(const std::string &keyPath, std::string *key, std::string *error)
{
    std::ifstream in(keyPath, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    if (!in || content.str().empty()) {
        *error = "cannot read " + keyPath + " for the cluster's relay-to-relay key";
        return false;
    }
    const std::string material = "talvo relay-to-relay\n" + content.str();
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(material.data()), material.size(), digest);
    *key = std::string(reinterpret_cast<const char *>(digest), sizeof digest);
    return true;
}

std::string ClusterNode::forwardLine(const std::string &key, const std::string &sn, const std::string &target)
{
    return std::string(kForward) + " " + sn + " " + target + " " + mac(key, sn, target);
}

ClusterNode::ClusterNode(asio::io_context &io, const RelayConfig &config) : m_io(io), m_config(config)
{
}

ClusterNode::~ClusterNode()
{
    stop();
}

void ClusterNode::stop()
{
    if (m_server)
        m_server->stop();
    if (m_registry)
        m_registry->stop();
}

bool ClusterNode::start(const std::string &fingerprint, std::string *error)
{
    if (m_config.metrics) {
        m_server = std::make_shared<MetricsServer>(m_io, m_metrics);
        if (!m_server->start(*m_config.metrics, error))
            return false;
        wire::logLine("metrics on http://" + m_config.metrics->host + ":" + std::to_string(m_server->port())
                      + "/metrics");
    }
    if (!m_config.cluster.enabled)
        return true;
    if (!clusterLinkKey(m_config.keyPath, &m_linkKey, error))
        return false;
    // A member is whoever shows the certificate this relay has: the cluster shares one.
    m_peerTls = wire::makeClientContext(fingerprint);
    m_registry = std::make_unique<RedisRegistry>(m_config.cluster, m_metrics);
    m_registry->start();
    const auto &c = m_config.cluster;
    wire::logLine("cluster member " + c.id + ", reached at " + c.peer.text() + ", registry "
                  + (c.redis ? "redis " + c.redis->text() : "sentinel master " + c.master));
    return true;
}

RegistryHooks ClusterNode::hooks()
{
    RegistryHooks h;
    std::weak_ptr<ClusterNode> weak = shared_from_this();
    auto metrics = m_metrics;
    h.presence = [weak, metrics](const std::string &sn, bool online) {
        metrics->panelsOnline += online ? 1 : -1;
        auto self = weak.lock();
        if (!self || !self->m_registry)
            return;
        if (online)
            self->m_registry->hold(sn);
        else
            self->m_registry->release(sn);
    };
    h.streamOpened = [metrics] { ++metrics->streamsOpen; };
    h.streamClosed = [metrics] { --metrics->streamsOpen; };
    h.streamBytes = [metrics](bool up, std::size_t n) { (up ? metrics->bytesUp : metrics->bytesDown) += n; };
    return h;
}

void ClusterNode::whenHeldElsewhere(const std::string &sn, asio::io_context &home, std::function<void(bool)> done)
{
    if (!m_registry)
        return done(false);
    m_registry->lookup(sn, [&home, done = std::move(done)](std::optional<RedisRegistry::Holder> holder) {
        asio::post(home, [done, held = bool(holder)] { done(held); });
    });
}

void ClusterNode::forward(const std::string &sn, const std::string &target, const std::string &who,
                          ConnectionPtr pc, std::string pcPending)
{
    if (!m_registry)
        return forwardTo(std::nullopt, sn, target, who, std::move(pc), std::move(pcPending));
    auto self = shared_from_this();
    m_registry->lookup(sn, [self, sn, target, who, pc, pcPending](std::optional<RedisRegistry::Holder> holder) {
        asio::post(pc->home(), [self, holder, sn, target, who, pc, pcPending] {
            self->forwardTo(holder, sn, target, who, pc, pcPending);
        });
    });
}

void ClusterNode::forwardTo(const std::optional<RedisRegistry::Holder> &holder, const std::string &sn,
                            const std::string &target, const std::string &who, ConnectionPtr pc,
                            std::string pcPending)
{
    if (!holder) {
        wire::logLine("refused stream from " + who + " to " + sn + ": panel offline");
        return replyAndClose(pc, Err {Reason::Offline, "panel " + sn + " is offline"});
    }
    auto self = shared_from_this();
    const std::string where = holder->id + " at " + holder->peer.text();
    auto first = std::make_shared<std::string>(forwardLine(m_linkKey, sn, target) + "\n" + pcPending);
    wire::TlsStream::connect(
        pc->home(), m_peerTls, holder->peer, kPeerConnectTimeout,
        [self, where, sn, target, who, pc, first](const std::error_code &ec, wire::TlsStream::Ptr tls) {
            if (ec) {
                if (wire::isCertificateMismatch(ec)) {
                    ++self->m_metrics->authFailures;
                    wire::logLine("relay-to-relay link to " + where + " refused: its certificate is not the cluster's");
                } else {
                    wire::logLine("cannot reach relay " + where + ": " + ec.message());
                }
                return replyAndClose(pc, Err {Reason::Offline, "panel " + sn + " is not reachable now"});
            }
            const std::string label = "stream " + who + " -> " + sn + " " + target + " via " + where;
            wire::logLine(label + " forwarded");
            ++self->m_metrics->forwardedStreams;
            // Counted as the relay's own streams are.
            const RegistryHooks hooks = self->hooks();
            hooks.streamOpened();
            // The holder's answer (OK, or ERR and why) reaches the PC through the splice.
            wire::Splicer::start(pc, tls, std::move(*first), {},
                                 [label, closed = hooks.streamClosed](std::uint64_t up, std::uint64_t down,
                                                                      const std::error_code &ec) {
                                     closed();
                                     wire::logLine(label + (ec ? " aborted, " : " closed, ") + std::to_string(up)
                                                   + " bytes up, " + std::to_string(down) + " down");
                                 },
                                 hooks.streamBytes);
        });
}

bool ClusterNode::takeForwarded(const std::string &line, ConnectionPtr stream, std::string &pending,
                                PanelRegistry &panels)
{
    if (line.compare(0, std::strlen(kForward) + 1, std::string(kForward) + " ") != 0)
        return false;
    std::vector<std::string> f;
    std::istringstream words(line);
    for (std::string w; words >> w;)
        f.push_back(w);
    const bool wellFormed = f.size() == 4 && validSn(f[1]) && wire::parseHostPort(f[2]) && f[3].size() == 64;
    const std::string expected = wellFormed && m_registry ? mac(m_linkKey, f[1], f[2]) : std::string(64, 'x');
    if (!wellFormed || !m_registry || CRYPTO_memcmp(expected.data(), f[3].data(), 64) != 0) {
        ++m_metrics->authFailures;
        wire::logLine("refused relay-to-relay request from " + stream->peer()
                      + (m_registry ? ": not signed with the cluster's key" : ": this relay is in no cluster"));
        replyAndClose(stream, Err {Reason::Secret, "not a member of this cluster"});
        return true;
    }
    // Rights were checked at the relay the PC reached; only local panels, never on again.
    panels.requestStream(f[1], f[2], "relay " + stream->peer(), stream, std::move(pending));
    return true;
}

} // namespace relay
