#pragma once

#include "relay/ClusterConfig.h"
#include "wire/Address.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace relay {

using Sha256 = std::array<unsigned char, 32>;

struct RelayUser
{
    // What the audit trail and the log call this user: NAME of [user NAME], or "users:LINE"
    // for a line of [users] (its line in the file: the token itself is never shown).
    std::string name;
    // 1-based position in RelayConfig::users: a PC link keeps it to find its user again.
    int number = 0;
    // Only the token's hash is kept, whether the file held the token or its hash.
    Sha256 tokenSha256{};
    std::vector<std::string> patterns;
};

struct RelayConfig
{
    wire::HostPort listen;
    std::string keyPath;
    std::string certificatePath;
    // SN -> secret, for the panels whose secret the file holds as it is; every panel,
    // those given as sha256:HEX too, is in panelSecretDigests, which panelSecretMatches reads.
    std::map<std::string, std::string> panelSecrets;
    std::map<std::string, Sha256> panelSecretDigests;
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
    // The audit trail's file ([relay] audit=); empty: no trail.
    std::string auditPath;
    // SHA-256 (hex) of the file's bytes as loaded, to tell which version a relay runs.
    std::string fileSha256;
    // SHA-256 (hex) of what every relay of a cluster must share, its users and panels as
    // loaded, whatever the file's layout, comments and per-relay settings (id=, peer=).
    std::string sharedSha256() const;

    // Relative key, certificate and audit paths are taken from the config file's folder.
    bool load(const std::string &path, std::string *error);
    // Constant time over all users, whichever matches (or none).
    const RelayUser *findUser(const std::string &token) const;
    bool mayReach(const RelayUser &user, const std::string &sn) const;
    // By name (without regard to case, as names are read): a link finds its user again after
    // a reload this way. Null when the user is gone.
    const RelayUser *userByName(const std::string &name) const;
    // Constant time whether the SN is known or not.
    bool panelSecretMatches(const std::string &sn, const std::string &secret) const;
};

// The settings that differ between `old` and `now` and that a running relay cannot take
// over without a restart, as "[section] key" (empty: a reload can take all of `now`).
std::vector<std::string> restartOnlyChanges(const RelayConfig &old, const RelayConfig &now);

// '*' matches any run of characters (also none); everything else matches itself.
bool globMatch(const std::string &pattern, const std::string &text);

// Compares in time independent of where the texts differ.
bool secretEquals(const std::string &a, const std::string &b);

Sha256 sha256(const std::string &bytes);
std::string hex(const unsigned char *data, std::size_t size);
inline std::string sha256Hex(const std::string &bytes)
{
    const Sha256 d = sha256(bytes);
    return hex(d.data(), d.size());
}
// 64 hex digits, either case.
bool parseSha256Hex(const std::string &text, Sha256 *out);

// `talvo-relay --hash-token`: a token from standard input, its SHA-256 on standard output.
// Returns the exit code.
int hashTokenCommand(std::FILE *in, std::FILE *out, std::FILE *err);

} // namespace relay
