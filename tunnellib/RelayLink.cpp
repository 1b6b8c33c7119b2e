#include "tunnellib/RelayLink.h"

#include "tunnel/pgDllTunnel.h"
#include "tunnellib/DebugLog.h"
#include "wire/Messages.h"
#include "wire/ReadLine.h"
#include "wire/Tls.h"
#include "wire/TlsStream.h"

namespace tunnellib {

using namespace wire::msg;

namespace {
constexpr std::chrono::seconds kLoginTimeout{5};

int codeForReason(Reason reason)
{
    switch (reason) {
    case Reason::Ok:
        return TUNNEL_OK;
    case Reason::Token:
        return TUNNEL_E_TOKEN_REFUSED;
    case Reason::NotAllowed:
        return TUNNEL_E_SN_NOT_ALLOWED;
    case Reason::Offline:
        return TUNNEL_E_PANEL_OFFLINE;
    case Reason::Timeout:
        return TUNNEL_E_TIMEOUT;
    case Reason::Target:
    case Reason::Protocol:
        return TUNNEL_E_BAD_ADDRESS;
    default:
        return TUNNEL_E_INTERNAL;
    }
}
} // namespace

RelayLink::RelayLink(asio::io_context &io, std::function<void(int)> notify)
    : m_io(io), m_notify(std::move(notify)), m_retry(io), m_state(TUNNEL_E_NOT_STARTED)
{
}

void RelayLink::configure(const TunnelConfig &config)
{
    if (m_tls && config == m_config)
        return;
    m_config = config;
    m_relayIndex = 0;
    m_triedInRound = 0;
    m_versionWarned.clear();
    m_tls = wire::makeClientContext(config.fingerprint);
    if (m_phase == Phase::Idle)
        return;
    debugLog("relay link: configuration changed, logging in again");
    if (m_channel)
        m_channel->close();
    m_channel.reset();
    answerAll(TUNNEL_E_RELAY_UNREACHABLE);
    connect();
}

void RelayLink::start()
{
    if (m_phase == Phase::Idle || m_phase == Phase::Waiting) {
        m_retry.cancel();
        m_backoff.reset();
        connect();
    }
}

void RelayLink::stop()
{
    ++m_attempt; // a login or a retry still under way reports to nobody now
    m_phase = Phase::Idle;
    m_retry.cancel();
    if (m_connecting)
        m_connecting->close();
    m_connecting.reset();
    if (m_channel)
        m_channel->close();
    m_channel.reset();
    answerAll(TUNNEL_E_NOT_STARTED);
    setState(TUNNEL_E_NOT_STARTED);
    // Stopped is for good: a stream waiting for the link would wait on a thread that is about
    // to end, its local connection open and never served.
    settle(TUNNEL_E_NOT_STARTED, true);
}

void RelayLink::connect()
{
    m_phase = Phase::Connecting;
    const std::uint64_t attempt = ++m_attempt;
    if (m_connecting)
        m_connecting->close();
    m_connecting.reset();
    wire::TlsStream::connect(
        m_io, m_tls, currentRelay(), kLoginTimeout,
        [this, attempt](const std::error_code &ec, wire::TlsStream::Ptr tls) {
            if (attempt != m_attempt) {
                if (tls)
                    tls->close();
                return;
            }
            if (ec) {
                debugLog("relay link: " + ec.message());
                return failed(attempt, wire::isCertificateMismatch(ec) ? TUNNEL_E_RELAY_CERTIFICATE
                                                                       : TUNNEL_E_RELAY_UNREACHABLE);
            }
            m_connecting = tls;
            auto hello = std::make_shared<std::string>(Hello {}.encode() + "\n" + User {m_config.token}.encode() + "\n");
            auto timer = std::make_shared<asio::steady_timer>(m_io, kLoginTimeout);
            timer->async_wait([tls](const std::error_code &ec) {
                if (!ec)
                    tls->close();
            });
            tls->writeAll(asio::buffer(*hello), [this, attempt, tls, hello, timer](const std::error_code &ec,
                                                                                      std::size_t) {
                if (attempt != m_attempt)
                    return;
                if (ec)
                    return failed(attempt, TUNNEL_E_RELAY_UNREACHABLE);
                auto pending = std::make_shared<std::string>();
                wire::readLine(tls, pending, kMaxLine,
                               [this, attempt, tls, pending, timer](const std::error_code &ec, std::string line) {
                                   timer->cancel();
                                   if (attempt != m_attempt)
                                       return;
                                   if (ec)
                                       return failed(attempt, TUNNEL_E_RELAY_UNREACHABLE);
                                   if (Ok::decode(line))
                                       return loggedIn(attempt, tls, std::move(*pending));
                                   tls->close();
                                   refusedLogin(line);
                                   const auto refusal = Err::decode(line);
                                   failed(attempt, refusal && refusal->reason == Reason::Token
                                                       ? TUNNEL_E_TOKEN_REFUSED
                                                       : TUNNEL_E_RELAY_UNREACHABLE);
                               });
            });
        });
}

void RelayLink::loggedIn(std::uint64_t attempt, wire::StreamPtr stream, std::string pending)
{
    m_connecting.reset();
    m_phase = Phase::Up;
    m_backoff.reset();
    m_triedInRound = 0;
    m_versionWarned.clear();
    debugLog("relay link: up");
    m_channel = std::make_shared<wire::LineChannel>(m_io, stream, std::move(pending));
    m_channel->start([this](const std::string &line) { onLine(line); },
                     [this, attempt](const std::error_code &ec) {
                         debugLog("relay link lost: " + ec.message());
                         m_channel.reset();
                         // Before the reconnection, whose failure a stream would otherwise wait for.
                         answerAll(TUNNEL_E_RELAY_UNREACHABLE);
                         failed(attempt, TUNNEL_E_RELAY_UNREACHABLE);
                     });
    setState(TUNNEL_OK);
    settle(TUNNEL_OK);
}

void RelayLink::failed(std::uint64_t attempt, int code)
{
    if (attempt != m_attempt)
        return;
    if (m_connecting)
        m_connecting->close();
    m_connecting.reset();
    m_phase = Phase::Waiting;
    // Another relay of the cluster may well serve us: the next one is tried at once, and
    // only a whole round of failures counts as a failure (and waits its back-off).
    if (m_config.relays.size() > 1) {
        m_relayIndex = (m_relayIndex + 1) % m_config.relays.size();
        if (++m_triedInRound < m_config.relays.size()) {
            debugLog("relay link: trying " + currentRelay().text());
            return connect();
        }
        m_triedInRound = 0;
    }
    setState(code);
    settle(code);
    const auto delay = m_backoff.next();
    m_retry.expires_after(delay);
    m_retry.async_wait([this, attempt](const std::error_code &ec) {
        if (!ec && attempt == m_attempt && m_phase == Phase::Waiting)
            connect();
    });
}

void RelayLink::onLine(const std::string &line)
{
    // Never logged whole: a grant carries the stream's secret.
    if (const auto checked = Checked::decode(line))
        return answer(checked->id, codeForReason(checked->verdict), nullptr);
    if (const auto granted = Granted::decode(line))
        return answer(granted->id, TUNNEL_OK, &*granted);
    if (const auto refused = Refused::decode(line)) {
        debugLog("stream request " + std::to_string(refused->id) + " refused: " + reasonText(refused->reason)
                 + (refused->text.empty() ? std::string() : " " + refused->text));
        return answer(refused->id, codeForReason(refused->reason), nullptr);
    }
}

void RelayLink::refusedLogin(const std::string &answer)
{
    const auto refusal = Err::decode(answer);
    const std::string relay = currentRelay().text();
    if (!refusal) {
        debugLog("relay link: " + relay + " answered the login with something else than OK or ERR");
        return;
    }
    debugLog("relay link: " + relay + " refused the login: " + reasonText(refusal->reason));
    // Of another protocol version the relay is useless to us until one side is updated: the
    // operator must hear of it, but once, not at every retry.
    const bool version = refusal->reason == Reason::Version;
    // A relay of version 1 reads our hello as a malformed request.
    const bool older = refusal->reason == Reason::Protocol;
    if ((!version && !older) || !m_versionWarned.insert(relay).second)
        return;
    const std::string ours = std::to_string(kProtocolVersion);
    const std::string text = refusal->text.substr(0, 120);
    if (version)
        warnLog("relay " + relay + " cannot be used: it refused our protocol version " + ours + " (\"" + text
                + "\")");
    else
        warnLog("relay " + relay + " cannot be used: it took our hello (protocol version " + ours
                + ") for a bad request (\"" + text + "\"), so it likely speaks protocol version 1");
}

void RelayLink::setState(int code)
{
    if (m_state.exchange(code) != code && m_notify)
        m_notify(code);
}

void RelayLink::settle(int code, bool everyone)
{
    std::vector<Result> ready;
    for (auto it = m_waiters.begin(); it != m_waiters.end();) {
        if (code == TUNNEL_OK || everyone || !it->second.untilUp) {
            it->second.timer->cancel();
            ready.push_back(std::move(it->second.done));
            it = m_waiters.erase(it);
        } else {
            ++it;
        }
    }
    for (auto &r : ready)
        r(code);
}

void RelayLink::addWaiter(bool untilUp, std::chrono::milliseconds timeout, Result done)
{
    const std::uint64_t id = m_nextId++;
    Waiter w;
    w.untilUp = untilUp;
    w.done = std::move(done);
    w.timer = std::make_shared<asio::steady_timer>(m_io, timeout);
    w.timer->async_wait([this, id](const std::error_code &ec) {
        auto it = m_waiters.find(id);
        if (ec || it == m_waiters.end())
            return;
        Result r = std::move(it->second.done);
        const bool untilUp = it->second.untilUp;
        m_waiters.erase(it);
        const int last = m_state.load();
        r(untilUp && last != TUNNEL_OK && last != TUNNEL_E_NOT_STARTED ? last : TUNNEL_E_TIMEOUT);
    });
    m_waiters.emplace(id, std::move(w));
}

void RelayLink::whenSettled(std::chrono::milliseconds timeout, Result done)
{
    if (m_phase == Phase::Up)
        return done(TUNNEL_OK);
    if (m_phase == Phase::Idle)
        return done(TUNNEL_E_NOT_STARTED);
    if (m_phase == Phase::Waiting)
        return done(m_state.load());
    addWaiter(false, timeout, std::move(done));
}

void RelayLink::whenUp(std::chrono::milliseconds timeout, Result done)
{
    if (m_phase == Phase::Up)
        return done(TUNNEL_OK);
    if (m_phase == Phase::Idle)
        return done(TUNNEL_E_NOT_STARTED);
    addWaiter(true, timeout, std::move(done));
}

void RelayLink::check(const std::string &sn, std::chrono::milliseconds timeout, Result done)
{
    ask([sn](std::uint64_t id) { return wire::msg::Check {id, sn}.encode(); }, timeout,
        [done = std::move(done)](int code, const Granted *) { done(code); });
}

void RelayLink::openStream(const std::string &sn, const std::string &target, std::chrono::milliseconds timeout,
                           StreamResult done)
{
    ask([sn, target](std::uint64_t id) { return wire::msg::Stream {id, sn, target}.encode(); }, timeout,
        std::move(done));
}

void RelayLink::ask(std::function<std::string(std::uint64_t id)> line, std::chrono::milliseconds timeout,
                    StreamResult done)
{
    if (m_phase != Phase::Up) {
        // Just started or reconnecting: give the attempt in flight its chance first.
        if (m_phase == Phase::Connecting) {
            return addWaiter(false, timeout, [this, line, timeout, done](int code) {
                if (code != TUNNEL_OK)
                    return done(code, nullptr);
                ask(line, timeout, done);
            });
        }
        return done(m_phase == Phase::Idle ? TUNNEL_E_NOT_STARTED : m_state.load(), nullptr);
    }
    const std::uint64_t id = m_nextId++;
    Request r;
    r.done = std::move(done);
    r.timer = std::make_shared<asio::steady_timer>(m_io, timeout);
    r.timer->async_wait([this, id](const std::error_code &ec) {
        if (!ec)
            answer(id, TUNNEL_E_TIMEOUT, nullptr);
    });
    m_requests.emplace(id, std::move(r));
    m_channel->send(line(id));
}

void RelayLink::answer(std::uint64_t id, int code, const Granted *grant)
{
    auto it = m_requests.find(id);
    if (it == m_requests.end())
        return; // timed out before: the relay lets an unused grant expire
    Request r = std::move(it->second);
    m_requests.erase(it);
    r.timer->cancel();
    r.done(code, grant);
}

void RelayLink::answerAll(int code)
{
    // Taken out first: an answer may well ask again.
    auto requests = std::move(m_requests);
    m_requests.clear();
    for (auto &r : requests) {
        r.second.timer->cancel();
        r.second.done(code, nullptr);
    }
}

} // namespace tunnellib
