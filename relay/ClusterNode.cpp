#include "relay/ClusterNode.h"

#include "wire/CloseOnExec.h"
#include "wire/EndToEnd.h"
#include "wire/Log.h"
#include "wire/Messages.h"
#include "wire/ReadLine.h"
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
bool sameMac(const std::string &a, const std::string &b)
{
    return a.size() == 64 && b.size() == 64 && CRYPTO_memcmp(a.data(), b.data(), 64) == 0;
}

std::string joinText(const std::string &join)
{
    return Join {join, {}}.encode();
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

std::string ClusterNode::sign(const std::string &key, const std::string &text)
{
    return wire::hmacHex(key, text);
}

void ClusterNode::setConfigHash(const std::string &hash)
{
    if (m_registry)
        m_registry->setConfigHash(hash);
}

bool ClusterNode::signedByMember(const Forward &request) const
{
    // Compared even without a cluster, so that the answer takes the same time.
    const std::string expected = sign(m_registry ? m_linkKey : std::string("\n"), request.signedText());
    return sameMac(expected, request.mac) && m_registry;
}

bool ClusterNode::signedByMember(const Join &join) const
{
    const std::string expected = sign(m_registry ? m_linkKey : std::string("\n"), joinText(join.join));
    return sameMac(expected, join.mac) && m_registry;
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
    m_registry->setConfigHash(m_config.sharedSha256());
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
                          const std::string &secret, asio::io_context &home, StreamAnswer answer)
{
    auto offline = [sn, who, &home](StreamAnswer answer, const std::string &text) {
        wire::logLine("refused stream from " + who + " to " + sn + ": panel offline");
        StreamOffer refusal;
        refusal.reason = Reason::Offline;
        refusal.text = text;
        asio::post(home, [answer = std::move(answer), refusal] { answer(refusal); });
    };
    if (!m_registry)
        return offline(std::move(answer), "panel " + sn + " is offline");
    auto self = shared_from_this();
    m_registry->lookup(sn, [self, sn, target, who, secret, &home, answer = std::move(answer),
                            offline](std::optional<RedisRegistry::Holder> holder) mutable {
        if (!holder)
            return offline(std::move(answer), "panel " + sn + " is offline");
        asio::post(home, [self, holder = *holder, sn, target, who, secret, &home, answer = std::move(answer)]() mutable {
            self->forwardTo(holder, sn, target, who, secret, home, std::move(answer));
        });
    });
}

void ClusterNode::forwardTo(const RedisRegistry::Holder &holder, const std::string &sn, const std::string &target,
                            const std::string &who, const std::string &secret, asio::io_context &home,
                            StreamAnswer answer)
{
    auto self = shared_from_this();
    const std::string where = holder.id + " at " + holder.peer.text();
    Forward request {sn, target, secret, {}};
    request.mac = sign(m_linkKey, request.signedText());
    auto first = std::make_shared<std::string>(Hello {}.encode() + "\n" + request.encode() + "\n");
    auto finish = [sn, &home, answer = std::move(answer)](StreamOffer offer) {
        asio::post(home, [answer, offer = std::move(offer)] { answer(offer); });
    };
    wire::TlsStream::connect(
        home, m_peerTls, holder.peer, kPeerConnectTimeout,
        [self, where, peer = holder.peer, sn, target, who, first, finish](const std::error_code &ec,
                                                                        wire::TlsStream::Ptr tls) {
            StreamOffer refusal;
            refusal.reason = Reason::Offline;
            refusal.text = "panel " + sn + " is not reachable now";
            if (ec) {
                if (wire::isCertificateMismatch(ec)) {
                    ++self->m_metrics->authFailures;
                    wire::logLine("relay-to-relay link to " + where + " refused: its certificate is not the cluster's");
                } else {
                    wire::logLine("cannot reach relay " + where + ": " + ec.message());
                }
                return finish(refusal);
            }
            // The holder answers once its agent has joined, or refuses: bounded by its own wait.
            auto timer = std::make_shared<asio::steady_timer>(tls->executor(), PanelRegistry::kStreamWait
                                                                                    + kPeerConnectTimeout);
            timer->async_wait([tls](const std::error_code &ec) {
                if (!ec)
                    tls->close();
            });
            tls->writeAll(asio::buffer(*first), [self, tls, first, timer, where, peer, sn, target, who, finish,
                                                 refusal](const std::error_code &ec, std::size_t) {
                if (ec) {
                    timer->cancel();
                    wire::logLine("relay " + where + " closed the link: " + ec.message());
                    return finish(refusal);
                }
                auto pending = std::make_shared<std::string>();
                wire::readLine(tls, pending, kMaxLine, [self, tls, timer, where, peer, sn, target, who, finish,
                                                        refusal](const std::error_code &ec, std::string line) {
                    timer->cancel();
                    tls->close();
                    if (const auto held = Held::decode(line); held && !ec) {
                        wire::logLine("stream " + who + " -> " + sn + " " + target + " forwarded via " + where);
                        ++self->m_metrics->forwardedStreams;
                        StreamOffer offer;
                        offer.key = held->key;
                        offer.holder = peer;
                        offer.holderJoin = held->join;
                        return finish(offer);
                    }
                    if (const auto err = Err::decode(line); err && !ec) {
                        StreamOffer refused;
                        refused.reason = err->reason;
                        refused.text = err->text;
                        return finish(refused);
                    }
                    wire::logLine("relay " + where + " gave no answer for " + sn + (ec ? ": " + ec.message() : ""));
                    finish(refusal);
                });
            });
        });
}

void ClusterNode::joinHolder(const wire::HostPort &holder, const std::string &join, const DataConnection &requester,
                             std::function<void(const std::error_code &, DataPtr)> done)
{
    asio::io_context &home = *requester.home;
    const std::size_t thread = requester.thread;
    auto socket = std::make_shared<asio::ip::tcp::socket>(home);
    auto resolver = std::make_shared<asio::ip::tcp::resolver>(home);
    auto timer = std::make_shared<asio::steady_timer>(home, kPeerConnectTimeout);
    auto finished = std::make_shared<bool>(false);
    auto finish = [socket, timer, finished, done = std::move(done)](const std::error_code &ec, DataPtr data) {
        if (*finished)
            return;
        *finished = true;
        timer->cancel();
        if (ec) {
            std::error_code ignored;
            socket->close(ignored);
        }
        done(ec, std::move(data));
    };
    timer->async_wait([finish, resolver, socket](const std::error_code &ec) {
        if (ec)
            return;
        resolver->cancel();
        finish(asio::error::timed_out, nullptr);
    });
    Join request {join, sign(m_linkKey, joinText(join))};
    auto first = std::make_shared<std::string>(Hello {}.encode() + "\n" + request.encode() + "\n");
    auto answer = std::make_shared<std::array<char, 3>>();
    resolver->async_resolve(holder.host, std::to_string(holder.port), [=, &home](const std::error_code &ec,
                                                                                 asio::ip::tcp::resolver::results_type r) {
        if (ec)
            return finish(ec, nullptr);
        asio::async_connect(*socket, r, [=, &home](const std::error_code &ec, const asio::ip::tcp::endpoint &) {
            if (ec)
                return finish(ec, nullptr);
            wire::closeOnExec(*socket);
            std::error_code ignored;
            socket->set_option(asio::ip::tcp::no_delay(true), ignored);
            asio::async_write(*socket, asio::buffer(*first), [=, &home](const std::error_code &ec, std::size_t) {
                if (ec)
                    return finish(ec, nullptr);
                // Exactly the answer: what follows it is the stream's, for the splice.
                asio::async_read(*socket, asio::buffer(*answer), [=, &home](const std::error_code &ec, std::size_t) {
                    if (ec)
                        return finish(ec, nullptr);
                    if (std::string(answer->data(), 3) != "OK\n")
                        return finish(asio::error::connection_refused, nullptr);
                    std::error_code ignored;
                    const auto peerEp = socket->remote_endpoint(ignored);
                    socket->non_blocking(true, ignored);
                    finish({}, std::make_shared<DataConnection>(std::move(*socket), home, thread, nullptr,
                                                                wire::endpointText(peerEp)));
                });
            });
        });
    });
}

} // namespace relay
