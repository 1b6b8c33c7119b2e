#pragma once

#include "tunnellib/TunnelConfig.h"
#include "wire/Backoff.h"
#include "wire/LineChannel.h"
#include "wire/Messages.h"

#include <asio/ssl.hpp>

#include <atomic>
#include <map>
#include <set>

namespace tunnellib {

// The PC's control link to the relay: logs in with the token, keeps the heartbeat, asks
// whether an SN may be reached and for each stream's grant, and reconnects with backoff for
// as long as it is started. Everything except state() runs on the library's io thread.
class RelayLink
{
public:
    using Result = std::function<void(int code)>;
    // `grant` only with TUNNEL_OK, and only for the call.
    using StreamResult = std::function<void(int code, const wire::msg::Granted *grant)>;

    RelayLink(asio::io_context &io, std::function<void(int)> notify);

    // A changed configuration drops the current link and logs in afresh.
    void configure(const TunnelConfig &config);
    // Starts, or while waiting to reconnect, tries again now.
    void start();
    // Drops the link and whatever login is under way, and stays down.
    void stop();
    bool started() const { return m_phase != Phase::Idle; }
    int state() const { return m_state.load(); }
    const TunnelConfig &config() const { return m_config; }
    // The relay of the list that the link uses (or tries) now; streams join at the same one.
    wire::HostPort currentRelay() const
    {
        // None before the first configure().
        return m_config.relays.empty() ? wire::HostPort() : m_config.relays[m_relayIndex % m_config.relays.size()];
    }

    // The outcome of the current or next login attempt (0 when up), or TIMEOUT.
    void whenSettled(std::chrono::milliseconds timeout, Result done);
    // 0 once the link is up, or the last failure when it is not up within the timeout.
    void whenUp(std::chrono::milliseconds timeout, Result done);
    // 0 when the relay says the token may reach the SN and the panel is online.
    void check(const std::string &sn, std::chrono::milliseconds timeout, Result done);
    // Asks for a stream to `target` as seen from panel `sn`: TUNNEL_OK with the grant, or the
    // refusal's code (TUNNEL_E_PANEL_OFFLINE for OFFLINE, TUNNEL_E_RELAY_UNREACHABLE when the
    // link is lost meanwhile, TUNNEL_E_TIMEOUT).
    void openStream(const std::string &sn, const std::string &target, std::chrono::milliseconds timeout,
                    StreamResult done);

private:
    enum class Phase { Idle, Connecting, Up, Waiting };
    struct Waiter
    {
        bool untilUp = false;
        Result done;
        std::shared_ptr<asio::steady_timer> timer;
    };
    // A CHECK or STREAM waiting for its answer.
    struct Request
    {
        StreamResult done;
        std::shared_ptr<asio::steady_timer> timer;
    };

    void connect();
    void loggedIn(std::uint64_t attempt, wire::StreamPtr stream, std::string pending);
    void failed(std::uint64_t attempt, int code);
    void onLine(const std::string &line);
    void refusedLogin(const std::string &answer);
    // Sends the request `line(id)` once the link is up (waiting for a login under way).
    void ask(std::function<std::string(std::uint64_t id)> line, std::chrono::milliseconds timeout,
             StreamResult done);
    void answer(std::uint64_t id, int code, const wire::msg::Granted *grant);
    // Answers every request still waiting with `code`.
    void answerAll(int code);
    void setState(int code);
    // Answers the waiters: all of them with `everyone`, else those the outcome settles.
    void settle(int code, bool everyone = false);
    void addWaiter(bool untilUp, std::chrono::milliseconds timeout, Result done);

    asio::io_context &m_io;
    std::function<void(int)> m_notify;
    TunnelConfig m_config;
    std::shared_ptr<asio::ssl::context> m_tls;
    std::shared_ptr<wire::LineChannel> m_channel;
    wire::StreamPtr m_connecting;
    asio::steady_timer m_retry;
    wire::Backoff m_backoff;
    Phase m_phase = Phase::Idle;
    std::atomic<int> m_state;
    std::uint64_t m_attempt = 0;
    std::size_t m_relayIndex = 0;
    std::size_t m_triedInRound = 0; // relays of the list failed since the last login
    std::uint64_t m_nextId = 1;
    std::map<std::uint64_t, Waiter> m_waiters;
    std::map<std::uint64_t, Request> m_requests;
    std::set<std::string> m_versionWarned; // relays already warned about, until a login
};

} // namespace tunnellib
