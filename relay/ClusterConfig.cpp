#include "relay/ClusterConfig.h"

#include "wire/AddressList.h"
#include "wire/Ini.h"
#include "wire/Messages.h"

namespace relay {

std::string panelKey(const std::string &sn)
{
    return std::string(kRedisPrefix) + "panel:" + sn;
}

std::string configKey(const std::string &id)
{
    return std::string(kRedisPrefix) + "config:" + id;
}

std::string memberKey(const std::string &id)
{
    return std::string(kRedisPrefix) + "relay:" + id;
}

bool loadClusterSettings(const wire::Ini &ini, ClusterConfig *cluster, std::optional<wire::HostPort> *metrics,
                         std::string *error)
{
    if (const auto m = ini.value("relay", "metrics")) {
        wire::AddressRules rules;
        rules.allowPortZero = true;
        const auto hp = wire::parseHostPort(*m, rules);
        if (!hp) {
            *error = ini.at("relay", "metrics") + ": [relay] metrics=" + *m + " is not HOST:PORT";
            return false;
        }
        *metrics = *hp;
    }
    bool present = false;
    for (const auto &[name, line] : ini.sectionNames())
        present = present || name == "cluster";
    if (!present)
        return true;
    if (!ini.onlyKeys("cluster", {"redis", "sentinel", "master", "id", "peer", "expiry_ms"}, error))
        return false;
    const auto redis = ini.value("cluster", "redis");
    const auto sentinel = ini.value("cluster", "sentinel");
    const auto master = ini.value("cluster", "master");
    const auto id = ini.value("cluster", "id");
    const auto peer = ini.value("cluster", "peer");
    if (bool(redis) == bool(sentinel)) {
        *error = ini.at("cluster", redis ? "redis" : "sentinel")
                 + ": [cluster] needs either redis=HOST:PORT or sentinel=HOST:PORT,... with master=NAME";
        return false;
    }
    if (redis) {
        const auto hp = wire::parseHostPort(*redis);
        if (!hp) {
            *error = ini.at("cluster", "redis") + ": [cluster] redis=" + *redis + " is not HOST:PORT";
            return false;
        }
        cluster->redis = *hp;
        if (master) {
            *error = ini.at("cluster", "master") + ": [cluster] master= goes with sentinel=, not redis=";
            return false;
        }
    } else {
        const auto list = wire::parseHostPortList(*sentinel);
        if (!list) {
            *error = ini.at("cluster", "sentinel") + ": [cluster] sentinel=" + *sentinel
                     + " is not HOST:PORT[,HOST:PORT...]";
            return false;
        }
        cluster->sentinels = *list;
        // Sentinel names are free text to Redis, but travel here as one argument and into logs.
        if (!master || !wire::msg::validSn(*master)) {
            *error = ini.at("cluster", "master") + ": [cluster] master= (the Sentinel master's name, 1-64 of "
                     "A-Z a-z 0-9 . - _) is needed with sentinel=";
            return false;
        }
        cluster->master = *master;
    }
    if (!id || !wire::msg::validSn(*id)) {
        *error = ini.at("cluster", "id") + ": [cluster] id= must be 1-64 of A-Z a-z 0-9 . - _, unique per relay";
        return false;
    }
    cluster->id = *id;
    const auto peerHp = peer ? wire::parseHostPort(*peer) : std::nullopt;
    if (!peerHp) {
        *error = ini.at("cluster", "peer") + ": [cluster] peer=HOST:PORT (where the other relays reach this one) "
                 "is missing or not HOST:PORT";
        return false;
    }
    cluster->peer = *peerHp;
    long long expiry = cluster->expiry.count();
    if (!ini.number("cluster", "expiry_ms", 1000, 600000, "a number of milliseconds", &expiry, error))
        return false;
    cluster->expiry = std::chrono::milliseconds(expiry);
    cluster->enabled = true;
    return true;
}

} // namespace relay
