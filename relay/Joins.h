#pragma once

#include "relay/Connection.h"
#include "wire/Messages.h"

#include <chrono>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace relay {

// The data connections this relay expects. Each join value is random, handed out once over
// an authenticated link (to an agent in OPEN, to a PC in GRANTED, to another relay in HELD),
// and taken by the first data connection that presents it: whoever joins can do no more than
// carry the stream's TLS, which only the two ends can complete. Shared by the I/O threads.
class Joins
{
public:
    // Runs on the joining connection's thread, with the connection.
    using OnJoin = std::function<void(DataPtr)>;
    // Runs on `home` when nobody joined in time.
    using OnExpire = std::function<void()>;

    enum class Fate { Joined, Unknown, Used, Expired, NotARelay };
    static const char *fateText(Fate fate);

    // `fromRelay`: only another relay of the cluster (a signed join) may take it.
    void expect(const std::string &join, bool fromRelay, asio::io_context &home, std::chrono::milliseconds life,
                OnJoin onJoin, OnExpire onExpire);
    // Joined, with the handler in *onJoin, or why not (then nothing changes).
    Fate take(const std::string &join, bool signedByRelay, OnJoin *onJoin);
    // No longer expected (the stream was refused meanwhile): neither handler runs.
    void cancel(const std::string &join);

    // How long a used or expired value is remembered, to log a replay as such, and how many
    // of them at most.
    static constexpr std::chrono::seconds kRemembered{30};
    static constexpr std::size_t kRememberedCount = 4096;

private:
    struct Entry
    {
        bool fromRelay = false;
        OnJoin onJoin;
        std::shared_ptr<asio::steady_timer> timer;
    };
    void remember(const std::string &join, Fate fate);

    // Only for the log's sake: a ring made once, not a node per value, since values kept
    // after a burst of streams would pin the burst's heap pages (a miss scans it).
    struct Recent
    {
        std::array<char, wire::msg::kJoinDigits> join {};
        Fate fate = Fate::Unknown;
        std::chrono::steady_clock::time_point at;
    };
    Fate recentFate(const std::string &join) const;

    mutable std::mutex m_mutex;
    std::map<std::string, Entry> m_waiting;
    std::vector<Recent> m_recent = std::vector<Recent>(kRememberedCount);
    std::size_t m_nextRecent = 0;
};

} // namespace relay
