#include "panel/PanelAgent.h"

#include "wire/Log.h"
#include "wire/Messages.h"
#include "wire/ReadLine.h"
#include "wire/Splicer.h"
#include "wire/TcpStream.h"
#include "wire/Tls.h"
#include "wire/TlsStream.h"

namespace panel {

using namespace wire::msg;

const char *const PanelAgent::kPassThroughAddress = "127.0.0.1:7540";

PanelAgent::PanelAgent(wire::IoPool &pool, PanelConfig config)
    : m_pool(pool), m_io(pool.main()), m_load(pool.size()), m_config(std::move(config)), m_tls(wire::makeClientContext(m_config.fingerprint)), m_retry(m_io)
{
}

void PanelAgent::start()
{
    connect();
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
    auto hello = std::make_shared<std::string>(Panel {m_config.sn, m_config.secret}.encode() + "\n");
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
                           if (!Ok::decode(line)) {
                               stream->close();
                               return linkLost("relay refused registration: "
                                               + (printableLine(line) ? line.substr(0, 100) : std::string("?")));
                           }
                           onRegistered(stream, std::move(*pending));
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
        return onOpen(open->id, open->target);
    if (const auto err = Err::decode(line); err && err->reason == Reason::Replaced) {
        m_replaced = true;
        return;
    }
    wire::logLine("ignored line from relay: " + error);
}

void PanelAgent::onOpen(std::uint64_t id, const std::string &target)
{
    const auto requested = wire::parseHostPort(target);
    if (!requested)
        return refuse(id, Reason::Target, "bad target address");
    std::string refusal;
    bool asRequested = false;
    if (const auto actual = m_config.targets.resolve(*requested, &refusal, &asRequested)) {
        auto place = m_load.pick();
        asio::io_context &io = m_pool.context(place.thread);
        return asio::post(io, [this, &io, id, target, actual = *actual, asRequested, token = place.token] {
            connectTarget(io, id, target, actual, asRequested, token);
        });
    }
    if (target == kPassThroughAddress && m_passThrough) {
        wire::logLine("stream " + std::to_string(id) + " to the pass-through service");
        auto service = m_passThrough;
        // The service's serial and Ethernet sides are the main thread's.
        return openData(m_io, id, [service](wire::StreamPtr stream) { service->serve(stream); });
    }
    refuse(id, Reason::Target, refusal.empty() ? target + " is not on the target list" : refusal);
}

void PanelAgent::connectTarget(asio::io_context &io, std::uint64_t id, const std::string &target,
                               const wire::HostPort &actual, bool asRequested, std::shared_ptr<void> token)
{
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
        [this, &io, id, where, resolver, socket, timer, asRequested, token](const std::error_code &ec,
                                                                       asio::ip::tcp::resolver::results_type results) {
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
                                [this, &io, id, where, socket, timer, token](const std::error_code &ec,
                                                                        const asio::ip::tcp::endpoint &) {
                                    timer->cancel();
                                    if (ec)
                                        return refuse(id, Reason::Unreachable, "cannot connect to " + where + ": "
                                                                                  + ec.message());
                                    auto target = std::make_shared<wire::TcpStream>(std::move(*socket));
                                    openData(io, id, [id, where, target, token](wire::StreamPtr relay) {
                                        const std::string label = "stream " + std::to_string(id) + " to " + where;
                                        wire::logLine(label + " open");
                                        wire::Splicer::start(target, relay, {}, {},
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

void PanelAgent::openData(asio::io_context &io, std::uint64_t id, std::function<void(wire::StreamPtr)> use)
{
    wire::TlsStream::connect(
        io, m_tls, currentRelay(), kConnectTimeout,
        [this, id, use = std::move(use)](const std::error_code &ec, wire::TlsStream::Ptr tls) {
            if (ec) {
                wire::logLine("stream " + std::to_string(id) + ": cannot reach relay: " + ec.message());
                return;
            }
            auto line = std::make_shared<std::string>(Data {m_config.sn, m_config.secret, id}.encode() + "\n");
            tls->writeAll(asio::buffer(*line), [tls, line, use](const std::error_code &ec, std::size_t) {
                if (ec)
                    return tls->close();
                use(tls);
            });
        });
}

void PanelAgent::refuse(std::uint64_t id, Reason reason, const std::string &why)
{
    wire::logLine("refused stream " + std::to_string(id) + ": " + why);
    asio::post(m_io, [this, id, reason] {
        if (m_channel)
            m_channel->send(Fail {id, reason}.encode());
    });
}

} // namespace panel
