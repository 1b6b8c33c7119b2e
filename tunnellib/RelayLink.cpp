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
    m_tls = wire::makeClientContext(config.fingerprint);
    if (m_phase == Phase::Idle)
        return;
    debugLog("relay link: configuration changed, logging in again");
    if (m_channel)
        m_channel->close();
    m_channel.reset();
    for (auto &c : m_checks) {
        c.second.timer->cancel();
        c.second.done(TUNNEL_E_RELAY_UNREACHABLE);
    }
    m_checks.clear();
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
    for (auto &c : m_checks) {
        c.second.timer->cancel();
        c.second.done(TUNNEL_E_NOT_STARTED);
    }
    m_checks.clear();
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
            auto hello = std::make_shared<std::string>(User {m_config.token}.encode() + "\n");
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
    debugLog("relay link: up");
    m_channel = std::make_shared<wire::LineChannel>(m_io, stream, std::move(pending));
    m_channel->start([this](const std::string &line) { onLine(line); },
                     [this, attempt](const std::error_code &ec) {
                         debugLog("relay link lost: " + ec.message());
                         m_channel.reset();
                         for (auto &c : m_checks) {
                             c.second.timer->cancel();
                             c.second.done(TUNNEL_E_RELAY_UNREACHABLE);
                         }
                         m_checks.clear();
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
    const auto checked = Checked::decode(line);
    if (!checked)
        return;
    auto it = m_checks.find(checked->id);
    if (it == m_checks.end())
        return;
    Check c = std::move(it->second);
    m_checks.erase(it);
    c.timer->cancel();
    c.done(codeForReason(checked->verdict));
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
    if (m_phase != Phase::Up) {
        // Just started or reconnecting: give the attempt in flight its chance first.
        if (m_phase == Phase::Connecting) {
            return addWaiter(false, timeout, [this, sn, timeout, done](int code) {
                if (code != TUNNEL_OK)
                    return done(code);
                check(sn, timeout, done);
            });
        }
        return done(m_phase == Phase::Idle ? TUNNEL_E_NOT_STARTED : m_state.load());
    }
    const std::uint64_t id = m_nextId++;
    Check c;
    c.done = std::move(done);
    c.timer = std::make_shared<asio::steady_timer>(m_io, timeout);
    c.timer->async_wait([this, id](const std::error_code &ec) {
        auto it = m_checks.find(id);
        if (ec || it == m_checks.end())
            return;
        Result r = std::move(it->second.done);
        m_checks.erase(it);
        r(TUNNEL_E_TIMEOUT);
    });
    m_checks.emplace(id, std::move(c));
    m_channel->send(wire::msg::Check {id, sn}.encode());
}

} // namespace tunnellib
