#include "panel/PanelAgent.h"

#include "wire/Identity.h"
#include "wire/Log.h"
#include "wire/Messages.h"
#include "wire/ReadLine.h"
#include "wire/Splicer.h"
#include "wire/TcpStream.h"
#include "wire/Tls.h"
#include "wire/TlsStream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace panel {

using namespace wire::msg;

namespace {

std::string forLog(const std::string &text)
{
    return printableLine(text) ? text.substr(0, 100) : std::string("?");
}

} // namespace

const char *const PanelAgent::kPassThroughAddress = "127.0.0.1:7540";

PanelAgent::PanelAgent(wire::IoPool &pool, PanelConfig config)
    : m_pool(pool), m_io(pool.main()), m_load(pool.size()), m_config(std::move(config)), m_tls(wire::makeClientContext(m_config.fingerprint)), m_retry(m_io)
{
    for (std::size_t i = 0; i < pool.size(); ++i)
        m_records.push_back(std::make_unique<wire::DescriptorRecords>(pool.context(i)));
}

bool PanelAgent::start(std::string *error)
{
    const std::string key = m_config.keyPath(), certificate = m_config.certificatePath();
    if (!wire::ensureKeyAndCertificate(key, certificate, "talvo-panel", &m_createdKey, error)
        || !wire::fileFingerprint(certificate, &m_keyFingerprint, error))
        return false;
    // Before the context, whose message would name both files: the key is the one of the
    // two that only its owner may read.
    FILE *readable = std::fopen(key.c_str(), "rb");
    if (!readable) {
        *error = "cannot read " + key + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(readable);
    m_streamTls = wire::makeServerContext(key, certificate, error);
    if (!m_streamTls)
        return false;
    connect();
    return true;
}

void PanelAgent::connect()
{
    wire::TlsStream::connect(m_io, m_tls, currentRelay(), kConnectTimeout,
                             [this](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                 if (ec) {
                                     return linkLost(wire::isCertificateMismatch(ec)
                                                         ? "relay certificate does not match the fingerprint"
                                                         : "cannot reach relay " + currentRelay().text() + ": "
                                                               + ec.message());
                                 }
                                 onConnected(tls);
                             });
}

void PanelAgent::onConnected(wire::StreamPtr stream)
{
    auto hello = std::make_shared<std::string>(Hello {}.encode() + "\n"
                                               + Panel {m_config.sn, m_config.secret, m_keyFingerprint}.encode() + "\n");
    stream->writeAll(asio::buffer(*hello), [this, stream, hello](const std::error_code &ec, std::size_t) {
        if (ec)
            return linkLost("relay closed the link: " + ec.message());
        auto pending = std::make_shared<std::string>();
        auto timer = std::make_shared<asio::steady_timer>(m_io, kConnectTimeout);
        timer->async_wait([stream](const std::error_code &ec) {
            if (!ec)
                stream->close();
        });
        wire::readLine(stream, pending, kMaxLine,
                       [this, stream, pending, timer](const std::error_code &ec, std::string line) {
                           timer->cancel();
                           if (ec)
                               return linkLost("no answer to registration: " + ec.message());
                           if (Ok::decode(line))
                               return onRegistered(stream, std::move(*pending));
                           stream->close();
                           if (const auto err = Err::decode(line); err && err->reason == Reason::Version)
                               return linkLost("relay refused registration: this agent speaks protocol version "
                                               + std::to_string(kProtocolVersion) + ", the relay answered: "
                                               + forLog(err->text));
                           linkLost("relay refused registration: " + forLog(line));
                       });
    });
}

void PanelAgent::onRegistered(wire::StreamPtr stream, std::string pending)
{
    m_registered = true;
    // Not after a replacement: the other agent with this SN would be evicted at once and
    // come back just as fast, and the two would take turns for ever.
    if (!m_replaced)
        m_backoff.reset();
    m_replaced = false;
    wire::logLine("registered at " + currentRelay().text() + " as " + m_config.sn);
    m_channel = std::make_shared<wire::LineChannel>(m_io, stream, std::move(pending));
    m_channel->start([this](const std::string &line) { onLine(line); },
                     [this](const std::error_code &ec) { linkLost("link to relay lost: " + ec.message()); });
}

void PanelAgent::linkLost(const std::string &why)
{
    m_registered = false;
    m_channel.reset();
    const auto delay = m_replaced ? m_backoff.capped() : m_backoff.next();
    const std::string lost = currentRelay().text();
    // In a cluster any relay will do: the next one of the list gets the next attempt, and
    // the registry then points there. Not after a replacement: the other agent is real.
    if (!m_replaced)
        m_relayIndex = (m_relayIndex + 1) % m_config.relays.size();
    const std::string next = m_config.relays.size() > 1 ? " at " + currentRelay().text() : std::string();
    if (m_replaced)
        m_replacedLog.line("another instance holds SN " + m_config.sn + " at " + lost
                           + "; retrying in " + std::to_string(delay.count()) + " ms");
    else
        wire::logLine(why + "; retrying" + next + " in " + std::to_string(delay.count()) + " ms");
    m_retry.expires_after(delay);
    m_retry.async_wait([this](const std::error_code &ec) {
        if (!ec)
            connect();
    });
}

void PanelAgent::onLine(const std::string &line)
{
    std::string error;
    if (const auto open = Open::decode(line, &error))
        return onOpen(*open);
    if (const auto err = Err::decode(line); err && err->reason == Reason::Replaced) {
        m_replaced = true;
        return;
    }
    wire::logLine("ignored line from relay: " + error);
}

void PanelAgent::onOpen(const Open &open)
{
    const auto now = std::chrono::steady_clock::now();
    switch (m_seenSecrets.take(open.secret, now)) {
    case SeenSecrets::Verdict::New:
        break;
    case SeenSecrets::Verdict::Replayed:
        return refuse(open.id, Reason::Target, "replayed per-stream secret");
    case SeenSecrets::Verdict::Full:
        return refuse(open.id, Reason::Unreachable, "too many streams lately to tell whether its secret is replayed");
    }
    // Every data connection goes to the control link's relay, which sent the OPEN.
    StreamJoin::Request join {open.id, currentRelay(), open.join, open.secret, now + wire::kSecretLife, kConnectTimeout};
    const auto requested = wire::parseHostPort(open.target);
    if (!requested)
        return refuse(open.id, Reason::Target, "bad target address");
    std::string refusal;
    bool asRequested = false;
    if (const auto actual = m_config.targets.resolve(*requested, &refusal, &asRequested)) {
        auto place = m_load.pick();
        // Two sockets a stream: the target and the data connection to the relay.
        m_records[place.thread]->ensure(2 * place.open + 1);
        asio::io_context &io = m_pool.context(place.thread);
        return asio::post(io, [this, &io, target = open.target, actual = *actual, asRequested, token = place.token,
                               join = std::move(join)]() mutable {
            connectTarget(io, target, actual, asRequested, token, std::move(join));
        });
    }
    if (open.target == kPassThroughAddress && m_passThrough) {
        const std::uint64_t id = open.id;
        wire::logLine("stream " + std::to_string(id) + " to the pass-through service");
        // The service's serial and Ethernet sides are the main thread's.
        return StreamJoin::start(m_io, m_streamTls, std::move(join),
                                 [this, id, service = m_passThrough](StreamJoin::Outcome outcome, wire::StreamPtr pc,
                                                                     const std::string &why) {
                                     if (outcome != StreamJoin::Outcome::Proven)
                                         return joinFailed(id, outcome, why);
                                     service->serve(pc);
                                 });
    }
    refuse(open.id, Reason::Target, refusal.empty() ? open.target + " is not on the target list" : refusal);
}

void PanelAgent::connectTarget(asio::io_context &io, const std::string &target, const wire::HostPort &actual,
                               bool asRequested, std::shared_ptr<void> token, StreamJoin::Request join)
{
    const std::uint64_t id = join.id;
    auto resolver = std::make_shared<asio::ip::tcp::resolver>(io);
    auto socket = std::make_shared<asio::ip::tcp::socket>(io);
    auto timer = std::make_shared<asio::steady_timer>(io, kConnectTimeout);
    timer->async_wait([resolver, socket](const std::error_code &ec) {
        if (ec)
            return;
        resolver->cancel();
        std::error_code ignored;
        socket->close(ignored);
    });
    const std::string where = target + " (" + actual.text() + ")";
    resolver->async_resolve(
        actual.host, std::to_string(actual.port),
        [this, &io, id, where, resolver, socket, timer, asRequested, token,
         join = std::move(join)](const std::error_code &ec, asio::ip::tcp::resolver::results_type results) mutable {
            if (ec) {
                timer->cancel();
                return refuse(id, Reason::Unreachable, "cannot resolve " + where);
            }
            // A name a PC sent, let through by a '*' rule: it must not lead to the panel
            // itself ("localhost") any more than a literal address may.
            if (asRequested && !reachableAsRequested(results)) {
                timer->cancel();
                return refuse(id, Reason::Target, where + " resolves to the panel's own or a link-local address");
            }
            asio::async_connect(*socket, results,
                                [this, &io, id, where, socket, timer, token,
                                 join = std::move(join)](const std::error_code &ec, const asio::ip::tcp::endpoint &) mutable {
                                    timer->cancel();
                                    if (ec)
                                        return refuse(id, Reason::Unreachable, "cannot connect to " + where + ": "
                                                                                  + ec.message());
                                    // Open before the PC is proven, so that a refusal reaches it as
                                    // before, but not one byte goes to it until then.
                                    auto target = std::make_shared<wire::TcpStream>(std::move(*socket));
                                    StreamJoin::start(io, m_streamTls, std::move(join),
                                                      [this, id, where, target, token](StreamJoin::Outcome outcome,
                                                                                       wire::StreamPtr pc,
                                                                                       const std::string &why) {
                                        if (outcome != StreamJoin::Outcome::Proven) {
                                            if (outcome == StreamJoin::Outcome::Forged)
                                                target->abort();
                                            else
                                                target->close();
                                            return joinFailed(id, outcome, why);
                                        }
                                        const std::string label = "stream " + std::to_string(id) + " to " + where;
                                        wire::logLine(label + " open");
                                        wire::Splicer::start(target, pc, {}, {},
                                                             [label, token](std::uint64_t up, std::uint64_t down,
                                                                     const std::error_code &ec) {
                                                                 wire::logLine(label + (ec ? " aborted (" + ec.message() + "), " : " closed, ")
                                                                               + std::to_string(up) + " bytes to the relay, "
                                                                               + std::to_string(down) + " to the target");
                                                             });
                                    });
                                });
        });
}

bool PanelAgent::reachableAsRequested(const asio::ip::tcp::resolver::results_type &results)
{
    for (const auto &entry : results)
        if (!TargetMap::mayReachAsRequested(entry.endpoint().address()))
            return false;
    return true;
}

void PanelAgent::refuse(std::uint64_t id, Reason reason, const std::string &why)
{
    wire::logLine("refused stream " + std::to_string(id) + ": " + why);
    asio::post(m_io, [this, id, reason] {
        if (m_channel)
            m_channel->send(Fail {id, reason}.encode());
    });
}

void PanelAgent::joinFailed(std::uint64_t id, StreamJoin::Outcome outcome, const std::string &why)
{
    // The relay holds the PC's request until it hears of this: it must not wait for nothing.
    if (outcome == StreamJoin::Outcome::Unreachable)
        return refuse(id, Reason::Unreachable, why);
    // The relay has joined the stream already; only the log needs to know.
    wire::logLine("refused stream " + std::to_string(id) + ": " + why);
}

} // namespace panel
