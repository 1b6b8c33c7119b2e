#pragma once

#include "wire/Address.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace wire {
class Ini;
}

namespace relay {

// [cluster] of relay.ini. Absent: the relay runs alone and never talks to Redis.
struct ClusterConfig
{
    bool enabled = false;
    std::optional<wire::HostPort> redis;  // one Redis, or
    std::vector<wire::HostPort> sentinels; // Sentinels that name the master `master`
    std::string master;
    std::string id;       // unique per relay; part of Redis keys, so an SN-like name
    wire::HostPort peer;  // where the other relays reach this one
    // How long a holder's entry outlives its last refresh (a relay killed outright).
    std::chrono::milliseconds expiry{10000};

    // The holder refreshes well within the expiry, and at least every second, so that a
    // Redis restarted empty is whole again within a few seconds.
    std::chrono::milliseconds refreshInterval() const
    {
        return std::min(std::chrono::milliseconds(1000), expiry / 4);
    }
};

// Reads [cluster] and [relay] metrics=; false with "FILE:LINE: reason" for a bad value.
bool loadClusterSettings(const wire::Ini &ini, ClusterConfig *cluster, std::optional<wire::HostPort> *metrics,
                         std::string *error);

// Keys under this prefix only; the SN or relay id is the last part.
inline const char *const kRedisPrefix = "talvo:";
std::string panelKey(const std::string &sn);
std::string memberKey(const std::string &id);
// The SHA-256 of a member's relay.ini, for --status to show a relay whose file differs.
std::string configKey(const std::string &id);

} // namespace relay
