#pragma once

#include "relay/ClusterConfig.h"
#include "relay/Metrics.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct redisContext;

namespace relay {

// The cluster's shared registry in Redis: SN -> "RELAY-ID PEER" with an expiry that this
// relay refreshes for every panel it holds, and RELAY-ID -> PEER for every live relay.
// All Redis traffic happens on one thread of its own with bounded timeouts: callers only
// queue work, so no io thread ever waits for Redis. While Redis cannot be reached the
// relay goes on serving what it holds; once it answers again (or comes back empty), all
// held entries are written back within a second.
class RedisRegistry
{
public:
    struct Holder
    {
        std::string id;
        wire::HostPort peer;
    };
    // Called on the registry's thread: post to an io_context before touching io objects.
    using Found = std::function<void(std::optional<Holder>)>;

    RedisRegistry(ClusterConfig config, std::shared_ptr<Metrics> metrics);
    ~RedisRegistry();

    void start();
    // Removes this relay's entries while Redis answers, then ends the thread; before the
    // io_context that lookups post to goes away. Lookups after it are never answered.
    void stop();
    // The panel registered here (again): its entry points here, the newest holder wins.
    void hold(const std::string &sn);
    // Gone from here: the entry is removed only if it still names this relay.
    void release(const std::string &sn);
    // Which other live cluster member holds the SN; nothing when none does, when the entry
    // names an address that is no member's, or when Redis cannot be asked now.
    void lookup(const std::string &sn, Found found);
    // Written beside the member entry at each refresh (any thread).
    void setConfigHash(const std::string &hash);

    static constexpr std::chrono::milliseconds kConnectTimeout{500};
    static constexpr std::chrono::milliseconds kCommandTimeout{1000};
    static constexpr std::chrono::milliseconds kRetry{250};

    // For --status: every SN in the registry with its holder, and the members, as text.
    static bool listCluster(const ClusterConfig &config, std::string *text, std::string *error);

private:
    struct Job
    {
        enum Kind { Hold, Release, Lookup } kind;
        std::string sn;
        Found found;
    };

    void run();
    bool connect();
    void disconnect(const std::string &why);
    bool writeBack();
    bool refresh();
    bool perform(Job &job);
    // What cannot be done while Redis does not answer: lookups are answered "none",
    // removals remembered for the write-back.
    void setAside(Job &job);
    std::string entryValue() const;

    ClusterConfig m_config;
    std::shared_ptr<Metrics> m_metrics;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::set<std::string> m_held;
    std::string m_configHash; // under m_mutex
    std::deque<Job> m_jobs;
    bool m_stop = false;
    std::thread m_thread;
    // Only the registry's thread touches these.
    redisContext *m_redis = nullptr;
    std::set<std::string> m_releasedAway; // gone while Redis did not answer
    std::string m_lastFailure;
};

} // namespace relay
