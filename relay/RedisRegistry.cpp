#include "relay/RedisRegistry.h"

#include "wire/Log.h"
#include "wire/Messages.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <map>

namespace relay {

namespace {

// Creates or renews an entry unless another relay holds the SN now: a panel that moved
// away while its old link here is not yet found dead must not be pulled back.
const char *const kRenew = "local v = redis.call('GET', KEYS[1]) "
                           "if v == false or v == ARGV[1] then "
                           "redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2]) return 1 end "
                           "return 0";
// Removes an entry only while it names this relay: a newer holder's entry stays.
const char *const kRemoveMine = "if redis.call('GET', KEYS[1]) == ARGV[1] then "
                                "return redis.call('DEL', KEYS[1]) end return 0";

struct ReplyDeleter
{
    void operator()(redisReply *r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

timeval toTimeval(std::chrono::milliseconds ms)
{
    return timeval {long(ms.count() / 1000), long((ms.count() % 1000) * 1000)};
}

// Every argument travels as its own bulk string: nothing from a peer is ever parsed as a
// command by Redis, whatever it contains.
bool append(redisContext *c, const std::vector<std::string> &args)
{
    std::vector<const char *> argv;
    std::vector<size_t> lens;
    for (const auto &a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    return redisAppendCommandArgv(c, int(argv.size()), argv.data(), lens.data()) == REDIS_OK;
}

Reply nextReply(redisContext *c)
{
    void *r = nullptr;
    if (redisGetReply(c, &r) != REDIS_OK)
        return nullptr;
    return Reply(static_cast<redisReply *>(r));
}

Reply command(redisContext *c, const std::vector<std::string> &args)
{
    return append(c, args) ? nextReply(c) : nullptr;
}

// The commands in one round trip; false when one of them failed.
bool pipeline(redisContext *c, const std::vector<std::vector<std::string>> &commands)
{
    for (const auto &args : commands)
        append(c, args);
    bool ok = true;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const Reply r = nextReply(c);
        if (!r)
            return false;
        ok = ok && r->type != REDIS_REPLY_ERROR;
    }
    return ok;
}

std::string text(const redisReply *r)
{
    return r && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS) ? std::string(r->str, r->len)
                                                                                 : std::string();
}

redisContext *open(const wire::HostPort &at, std::string *error)
{
    redisContext *c = redisConnectWithTimeout(at.host.c_str(), at.port, toTimeval(RedisRegistry::kConnectTimeout));
    if (!c || c->err) {
        *error = "cannot reach Redis at " + at.text() + ": " + (c ? c->errstr : "out of memory");
        if (c)
            redisFree(c);
        return nullptr;
    }
    redisSetTimeout(c, toTimeval(RedisRegistry::kCommandTimeout));
    redisEnableKeepAlive(c);
    return c;
}

// One Redis, or the master that the first answering Sentinel names (and that says it is).
redisContext *connectRegistry(const ClusterConfig &config, std::string *error)
{
    if (config.redis)
        return open(*config.redis, error);
    std::string why = "no Sentinel answered";
    for (const auto &sentinel : config.sentinels) {
        std::string e;
        redisContext *s = open(sentinel, &e);
        if (!s) {
            why = e;
            continue;
        }
        Reply r = command(s, {"SENTINEL", "get-master-addr-by-name", config.master});
        redisFree(s);
        if (!r || r->type != REDIS_REPLY_ARRAY || r->elements != 2) {
            why = "Sentinel " + sentinel.text() + " does not know master " + config.master;
            continue;
        }
        wire::HostPort master;
        master.host = text(r->element[0]);
        const std::string port = text(r->element[1]);
        try {
            master.port = std::uint16_t(std::stoi(port));
        } catch (const std::exception &) {
            why = "Sentinel " + sentinel.text() + " gave a bad address";
            continue;
        }
        redisContext *m = open(master, &e);
        if (!m) {
            why = e;
            continue;
        }
        Reply role = command(m, {"ROLE"});
        if (role && role->type == REDIS_REPLY_ARRAY && role->elements > 0 && text(role->element[0]) == "master")
            return m;
        redisFree(m);
        why = "Redis at " + master.text() + " named by Sentinel " + sentinel.text() + " is not a master (yet)";
    }
    *error = why;
    return nullptr;
}

std::optional<RedisRegistry::Holder> parseEntry(const std::string &value)
{
    const auto space = value.find(' ');
    if (space == std::string::npos)
        return std::nullopt;
    RedisRegistry::Holder h;
    h.id = value.substr(0, space);
    const auto peer = wire::parseHostPort(value.substr(space + 1));
    if (!wire::msg::validSn(h.id) || !peer)
        return std::nullopt;
    h.peer = *peer;
    return h;
}

} // namespace

RedisRegistry::RedisRegistry(ClusterConfig config, std::shared_ptr<Metrics> metrics)
    : m_config(std::move(config)), m_metrics(std::move(metrics))
{
    m_metrics->registryUp = 0;
}

RedisRegistry::~RedisRegistry()
{
    stop();
}

void RedisRegistry::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_redis)
        redisFree(m_redis);
    m_redis = nullptr;
}

void RedisRegistry::start()
{
    m_thread = std::thread([this] { run(); });
}

std::string RedisRegistry::entryValue() const
{
    return m_config.id + " " + m_config.peer.text();
}

void RedisRegistry::hold(const std::string &sn)
{
    if (!wire::msg::validSn(sn))
        return; // never a key from a name that could split or escape it
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held.insert(sn);
        m_jobs.push_back({Job::Hold, sn, {}});
    }
    m_wake.notify_one();
}

void RedisRegistry::release(const std::string &sn)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_held.erase(sn))
            return;
        m_jobs.push_back({Job::Release, sn, {}});
    }
    m_wake.notify_one();
}

void RedisRegistry::lookup(const std::string &sn, Found found)
{
    if (!wire::msg::validSn(sn))
        return found(std::nullopt);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.push_back({Job::Lookup, sn, std::move(found)});
    }
    m_wake.notify_one();
}

void RedisRegistry::run()
{
    wire::LogLimiter unreachableLog{std::chrono::seconds(10)};
    auto nextRefresh = std::chrono::steady_clock::now();
    auto lastAttempt = nextRefresh - kRetry;
    for (;;) {
        std::deque<Job> jobs;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const auto wakeAt = m_redis ? nextRefresh : std::chrono::steady_clock::now() + kRetry;
            m_wake.wait_until(lock, wakeAt, [&] { return m_stop || !m_jobs.empty(); });
            if (m_stop)
                break;
            jobs.swap(m_jobs);
        }
        // Attempts are spaced, however many lookups arrive meanwhile.
        const auto now = std::chrono::steady_clock::now();
        const bool tryNow = !m_redis && now - lastAttempt >= kRetry;
        if (tryNow)
            lastAttempt = now;
        if (!m_redis && (!tryNow || !connect())) {
            if (tryNow)
                unreachableLog.line("cluster registry unreachable: " + m_lastFailure
                                    + "; serving the panels held here, retrying");
            // Lookups cannot wait for Redis: a PC is waiting for an answer. Entries of
            // panels gone meanwhile are removed once Redis is back (new ones are written
            // back from m_held then anyway).
            for (auto &job : jobs)
                setAside(job);
            continue;
        }
        bool ok = true;
        for (auto &job : jobs) {
            if (!ok) {
                setAside(job);
                continue;
            }
            ok = perform(job); // a lookup that fails is answered there
            if (!ok && job.kind == Job::Release)
                m_releasedAway.insert(job.sn);
        }
        if (ok && std::chrono::steady_clock::now() >= nextRefresh) {
            ok = refresh();
            nextRefresh = std::chrono::steady_clock::now() + m_config.refreshInterval();
        }
        if (!ok)
            disconnect(m_redis && m_redis->err ? m_redis->errstr : "unexpected reply");
    }
    // A clean stop: leave no entry behind that would send PCs here until it expires.
    if (m_redis) {
        std::set<std::string> held;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            held.swap(m_held);
        }
        std::vector<std::vector<std::string>> removals;
        for (const auto &sn : held)
            removals.push_back({"EVAL", kRemoveMine, "1", panelKey(sn), entryValue()});
        removals.push_back({"EVAL", kRemoveMine, "1", memberKey(m_config.id), m_config.peer.text()});
        pipeline(m_redis, removals);
    }
}

void RedisRegistry::setAside(Job &job)
{
    if (job.kind == Job::Lookup)
        job.found(std::nullopt);
    else if (job.kind == Job::Release)
        m_releasedAway.insert(job.sn);
    else
        m_releasedAway.erase(job.sn);
}

bool RedisRegistry::connect()
{
    std::string error;
    m_redis = connectRegistry(m_config, &error);
    if (!m_redis) {
        m_lastFailure = error;
        ++m_metrics->registryErrors;
        m_metrics->registryUp = 0;
        return false;
    }
    if (!writeBack()) {
        disconnect(m_redis->err ? m_redis->errstr : "write-back refused");
        return false;
    }
    m_metrics->registryUp = 1;
    return true;
}

void RedisRegistry::disconnect(const std::string &why)
{
    if (m_redis)
        redisFree(m_redis);
    m_redis = nullptr;
    m_lastFailure = why;
    ++m_metrics->registryErrors;
    m_metrics->registryUp = 0;
    wire::logLine("cluster registry lost: " + why + "; serving the panels held here");
}

bool RedisRegistry::writeBack()
{
    std::set<std::string> held;
    std::string configHash;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        held = m_held;
        configHash = m_configHash.empty() ? "-" : m_configHash;
    }
    // Unconditional: whatever a fresh (or failed-over) Redis holds, these panels are here now.
    std::set<std::string> gone;
    gone.swap(m_releasedAway);
    for (const auto &sn : held)
        gone.erase(sn);
    const std::string px = std::to_string(m_config.expiry.count());
    std::vector<std::vector<std::string>> commands{{"SET", memberKey(m_config.id), m_config.peer.text(), "PX", px},
                                                   {"SET", configKey(m_config.id), configHash, "PX", px}};
    for (const auto &sn : held)
        commands.push_back({"SET", panelKey(sn), entryValue(), "PX", px});
    for (const auto &sn : gone)
        commands.push_back({"EVAL", kRemoveMine, "1", panelKey(sn), entryValue()});
    if (!pipeline(m_redis, commands))
        return false;
    wire::logLine("cluster registry reachable, " + std::to_string(held.size()) + " panels written back as "
                  + m_config.id);
    return true;
}

bool RedisRegistry::refresh()
{
    std::set<std::string> held;
    std::string configHash;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        held = m_held;
        configHash = m_configHash.empty() ? "-" : m_configHash;
    }
    const std::string px = std::to_string(m_config.expiry.count());
    const std::string value = entryValue();
    std::vector<std::vector<std::string>> commands{{"SET", memberKey(m_config.id), m_config.peer.text(), "PX", px},
                                                   {"SET", configKey(m_config.id), configHash, "PX", px}};
    for (const auto &sn : held)
        commands.push_back({"EVAL", kRenew, "1", panelKey(sn), value, px});
    return pipeline(m_redis, commands);
}

bool RedisRegistry::perform(Job &job)
{
    const std::string px = std::to_string(m_config.expiry.count());
    switch (job.kind) {
    case Job::Hold: {
        Reply r = command(m_redis, {"SET", panelKey(job.sn), entryValue(), "PX", px});
        return r && r->type != REDIS_REPLY_ERROR;
    }
    case Job::Release: {
        {
            // Registered here again since: keep the entry.
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_held.count(job.sn))
                return true;
        }
        Reply r = command(m_redis, {"EVAL", kRemoveMine, "1", panelKey(job.sn), entryValue()});
        return r && r->type != REDIS_REPLY_ERROR;
    }
    case Job::Lookup: {
        Reply r = command(m_redis, {"GET", panelKey(job.sn)});
        if (!r || r->type == REDIS_REPLY_ERROR) {
            job.found(std::nullopt);
            return false;
        }
        const auto holder = parseEntry(text(r.get()));
        if (!holder || holder->id == m_config.id) {
            job.found(std::nullopt);
            return true;
        }
        // Only a live member at the address it announces itself is followed: an entry
        // naming anything else (forged, or a member's stale address) leads nowhere.
        Reply member = command(m_redis, {"GET", memberKey(holder->id)});
        if (!member || member->type == REDIS_REPLY_ERROR) {
            job.found(std::nullopt);
            return false;
        }
        if (text(member.get()) != holder->peer.text()) {
            wire::logLine("cluster registry names " + holder->id + " at " + holder->peer.text() + " for " + job.sn
                          + ", which is no live member there; not followed");
            job.found(std::nullopt);
            return true;
        }
        job.found(holder);
        return true;
    }
    }
    return true;
}

void RedisRegistry::setConfigHash(const std::string &hash)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_configHash = hash;
}

bool RedisRegistry::listCluster(const ClusterConfig &config, std::string *out, std::string *error)
{
    redisContext *c = connectRegistry(config, error);
    if (!c)
        return false;
    std::vector<std::pair<std::string, std::string>> panels, members, configs;
    for (const auto &[pattern, list] : {std::make_pair(panelKey("*"), &panels), std::make_pair(memberKey("*"), &members),
                                        std::make_pair(configKey("*"), &configs)}) {
        std::string cursor = "0";
        do {
            Reply r = command(c, {"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"});
            if (!r || r->type != REDIS_REPLY_ARRAY || r->elements != 2) {
                *error = std::string("SCAN failed: ") + (c->err ? c->errstr : "unexpected reply");
                redisFree(c);
                return false;
            }
            cursor = text(r->element[0]);
            for (std::size_t i = 0; i < r->element[1]->elements; ++i) {
                const std::string key = text(r->element[1]->element[i]);
                Reply v = command(c, {"GET", key});
                if (v && v->type == REDIS_REPLY_STRING)
                    list->emplace_back(key.substr(pattern.size() - 1), text(v.get()));
            }
        } while (cursor != "0");
    }
    redisFree(c);
    std::sort(panels.begin(), panels.end());
    std::sort(members.begin(), members.end());
    const std::map<std::string, std::string> configOf(configs.begin(), configs.end());
    std::string t = "relays (" + std::to_string(members.size()) + "):\n";
    for (const auto &[id, peer] : members) {
        // The file's hash: a relay whose relay.ini differs from the others' stands out.
        const auto c = configOf.find(id);
        t += "  " + id + " " + peer + " config " + (c == configOf.end() ? "?" : c->second.substr(0, 16)) + "\n";
    }
    t += "panels (" + std::to_string(panels.size()) + "):\n";
    for (const auto &[sn, value] : panels) {
        const auto h = parseEntry(value);
        t += "  " + sn + " " + (h ? h->id + " " + h->peer.text() : "? (unreadable entry)") + "\n";
    }
    *out = t;
    return true;
}

} // namespace relay
