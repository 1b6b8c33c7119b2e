#pragma once

#include "wire/Address.h"

#include <asio.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace relay {

// The relay's figures, counted lock-free from any io thread and read by the HTTP endpoint.
struct Metrics
{
    std::atomic<std::int64_t> panelsOnline{0};
    std::atomic<std::int64_t> streamsOpen{0};
    std::atomic<std::uint64_t> bytesUp{0};   // PC to panel, counted as they pass
    std::atomic<std::uint64_t> bytesDown{0}; // panel to PC
    std::atomic<std::uint64_t> authFailures{0};
    std::atomic<std::uint64_t> forwardedStreams{0};
    std::atomic<std::uint64_t> registryErrors{0};
    std::atomic<std::uint64_t> auditWriteFailures{0}; // records the audit trail could not write
    // -1 without a cluster, else 1 while Redis answers and 0 while it does not.
    std::atomic<int> registryUp{-1};

    std::string prometheusText() const;
    std::string healthText() const;
};

// A tiny HTTP/1.x server for /metrics and /health. The request head is read into a fixed
// buffer with a deadline, then answered and closed; anything else gets 400/404/405, and
// beyond a few connections at once new ones are closed unread.
class MetricsServer : public std::enable_shared_from_this<MetricsServer>
{
public:
    MetricsServer(asio::io_context &io, std::shared_ptr<const Metrics> metrics);

    bool start(const wire::HostPort &address, std::string *error);
    std::uint16_t port() const { return m_port; }
    void stop();

    static constexpr std::size_t kMaxHead = 2048;
    static constexpr std::size_t kMaxClients = 16;
    static constexpr std::chrono::seconds kDeadline{3};

    // The reply to a request head (exposed for the endpoint's parsing to be tested alone).
    static std::string answer(const std::string &head, const Metrics &metrics);

private:
    void acceptNext();

    std::shared_ptr<const Metrics> m_metrics;
    asio::ip::tcp::acceptor m_acceptor;
    std::uint16_t m_port = 0;
    std::shared_ptr<std::atomic<std::size_t>> m_clients = std::make_shared<std::atomic<std::size_t>>(0);
};

} // namespace relay
