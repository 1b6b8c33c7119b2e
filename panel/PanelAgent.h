#pragma once

#include "panel/InProcessService.h"
#include "panel/PanelConfig.h"
#include "wire/Backoff.h"
#include "wire/IoPool.h"
#include "wire/LineChannel.h"
#include "wire/Log.h"
#include "wire/Messages.h"

#include <asio/ssl.hpp>

namespace panel {

// Keeps the panel registered at the relay (dial-out, reconnecting with backoff for ever)
// and opens each requested stream to its target as seen from the panel. The control link
// and the pass-through service live on the pool's main thread; each stream to a target is
// given to one I/O thread in turn, both its connections with it.
class PanelAgent
{
public:
    PanelAgent(wire::IoPool &pool, PanelConfig config);

    void start();
    void setPassThroughService(std::shared_ptr<InProcessService> service) { m_passThrough = std::move(service); }
    bool isRegistered() const { return m_registered; }

    static const char *const kPassThroughAddress; // "127.0.0.1:7540"
    static constexpr std::chrono::seconds kConnectTimeout{5};

private:
    void connect();
    // The relay of the list in use: the control link's, and so every data connection's.
    const wire::HostPort &currentRelay() const { return m_config.relays[m_relayIndex % m_config.relays.size()]; }
    void onConnected(wire::StreamPtr stream);
    void onRegistered(wire::StreamPtr stream, std::string pending);
    void linkLost(const std::string &why);
    void onLine(const std::string &line);
    void onOpen(std::uint64_t id, const std::string &target);
    void connectTarget(asio::io_context &io, std::uint64_t id, const std::string &target,
                       const wire::HostPort &actual, bool asRequested, std::shared_ptr<void> token);
    static bool reachableAsRequested(const asio::ip::tcp::resolver::results_type &results);
    // Dials the relay for a stream and announces it; `use` gets the ready stream.
    void openData(asio::io_context &io, std::uint64_t id, std::function<void(wire::StreamPtr)> use);
    // From any thread.
    void refuse(std::uint64_t id, wire::msg::Reason reason, const std::string &why);

    wire::IoPool &m_pool;
    asio::io_context &m_io; // the main thread's
    wire::ThreadLoad m_load; // streams to targets per thread
    PanelConfig m_config;
    std::shared_ptr<asio::ssl::context> m_tls;
    std::shared_ptr<wire::LineChannel> m_channel;
    std::shared_ptr<InProcessService> m_passThrough;
    asio::steady_timer m_retry;
    wire::Backoff m_backoff;
    bool m_registered = false;
    std::size_t m_relayIndex = 0;
    bool m_replaced = false; // the relay said another agent registered this SN
    wire::LogLimiter m_replacedLog{wire::Backoff::kCap};
};

} // namespace panel
