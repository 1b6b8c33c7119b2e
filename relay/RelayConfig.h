#pragma once

#include "relay/ClusterConfig.h"
#include "wire/Address.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace relay {

struct RelayUser
{
    int number = 0; // position in [users], for log lines (the token itself is never logged)
    std::string token;
    std::vector<std::string> patterns;
};

struct RelayConfig
{
    wire::HostPort listen;
    std::string keyPath;
    std::string certificatePath;
    std::map<std::string, std::string> panelSecrets; // SN -> secret
    std::vector<RelayUser> users;
    std::chrono::milliseconds handshakeTimeout{10000};
    std::chrono::milliseconds heartbeat{10000};
    std::chrono::milliseconds silence{30000};
    // Connections at once, counted from accept (before TLS): a flood of bare connects must
    // not take all descriptors, nor one address all the slots.
    std::size_t maxConnections = 10000;
    std::size_t maxPerSource = 1000;
    // Prometheus text and health on a local HTTP port; none when absent.
    std::optional<wire::HostPort> metrics;
    ClusterConfig cluster;
    // I/O threads; 0: one per core.
    std::size_t threads = 0;

    // Relative key and certificate paths are taken from the config file's folder.
    bool load(const std::string &path, std::string *error);
    const RelayUser *findUser(const std::string &token) const;
    bool mayReach(const RelayUser &user, const std::string &sn) const;
};

// '*' matches any run of characters (also none); everything else matches itself.
bool globMatch(const std::string &pattern, const std::string &text);

// Compares in time independent of where the texts differ.
bool secretEquals(const std::string &a, const std::string &b);

} // namespace relay
