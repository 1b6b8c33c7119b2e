#include "relay/RelayConfig.h"

#include "wire/Ini.h"
#include "wire/Messages.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>


namespace relay {

namespace {

std::string folderOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string resolve(const std::string &folder, const std::string &path)
{
    return (path.empty() || path[0] == '/') ? path : folder + path;
}

bool readMillis(const wire::Ini &ini, const char *key, std::chrono::milliseconds *out, std::string *error)
{
    long long ms = out->count();
    if (!ini.number("relay", key, 10, 3600000, "a number of milliseconds", &ms, error))
        return false;
    *out = std::chrono::milliseconds(ms);
    return true;
}

bool readCount(const wire::Ini &ini, const char *key, std::size_t *out, std::string *error,
               long long max = 1000000)
{
    long long n = (long long)(*out);
    if (!ini.number("relay", key, 1, max, "a number", &n, error))
        return false;
    *out = std::size_t(n);
    return true;
}

} // namespace

bool RelayConfig::load(const std::string &path, std::string *error)
{
    wire::Ini ini;
    if (!ini.load(path, error)
        || !ini.onlySections({"relay", "panels", "users", "cluster"}, error)
        || !ini.onlyKeys("relay", {"listen", "key", "certificate", "handshake_timeout_ms", "heartbeat_ms",
                                   "max_connections", "max_per_source", "metrics", "threads"}, error)
        || !loadClusterSettings(ini, &cluster, &metrics, error))
        return false;
    const auto listenText = ini.value("relay", "listen");
    if (!listenText) {
        *error = path + ": [relay] listen= is missing";
        return false;
    }
    wire::AddressRules rules;
    rules.allowPortZero = true;
    const auto hp = wire::parseHostPort(*listenText, rules);
    if (!hp) {
        *error = ini.at("relay", "listen") + ": [relay] listen=" + *listenText + " is not HOST:PORT";
        return false;
    }
    listen = *hp;
    const std::string folder = folderOf(path);
    keyPath = resolve(folder, ini.value("relay", "key").value_or("relay.key"));
    certificatePath = resolve(folder, ini.value("relay", "certificate").value_or("relay.crt"));
    if (!readMillis(ini, "handshake_timeout_ms", &handshakeTimeout, error)
        || !readMillis(ini, "heartbeat_ms", &heartbeat, error)
        || !readCount(ini, "max_connections", &maxConnections, error)
        || !readCount(ini, "max_per_source", &maxPerSource, error)
        || !readCount(ini, "threads", &threads, error, 256))
        return false;
    silence = heartbeat * 3;

    const auto &panels = ini.section("panels");
    for (size_t i = 0; i < panels.size(); ++i) {
        const auto &[sn, secret] = panels[i];
        if (!wire::msg::validSn(sn) || !wire::msg::validSecret(secret)) {
            *error = ini.at("panels", i) + ": [panels] " + sn + ": serial numbers are 1-64 of A-Z a-z 0-9 . - _ and "
                     "secrets 1-256 printable characters without blanks";
            return false;
        }
        panelSecrets[sn] = secret;
    }
    int number = 0;
    for (const auto &[token, list] : ini.section("users")) {
        ++number;
        if (!wire::msg::validSecret(token)) {
            *error = ini.at("users", size_t(number - 1)) + ": [users] entry " + std::to_string(number)
                     + ": tokens are 1-256 printable characters without blanks";
            return false;
        }
        RelayUser user;
        user.number = number;
        user.token = token;
        std::string pattern;
        for (char c : list + ",") {
            if (c == ',') {
                pattern = wire::trim(pattern);
                if (!pattern.empty())
                    user.patterns.push_back(pattern);
                pattern.clear();
            } else {
                pattern += c;
            }
        }
        users.push_back(user);
    }
    return true;
}

const RelayUser *RelayConfig::findUser(const std::string &token) const
{
    const RelayUser *found = nullptr;
    // Every entry is compared so the time taken does not tell which one matched.
    for (const auto &u : users)
        if (secretEquals(u.token, token) && !found)
            found = &u;
    return found;
}

bool RelayConfig::mayReach(const RelayUser &user, const std::string &sn) const
{
    for (const auto &p : user.patterns)
        if (globMatch(p, sn))
            return true;
    return false;
}

bool globMatch(const std::string &pattern, const std::string &text)
{
    // Iterative match with backtracking to the last '*': linear in practice, no recursion.
    std::size_t p = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] != '*' && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool secretEquals(const std::string &a, const std::string &b)
{
    // Hash first so that the comparison does not leak the length either.
    unsigned char ha[SHA256_DIGEST_LENGTH], hb[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(a.data()), a.size(), ha);
    SHA256(reinterpret_cast<const unsigned char *>(b.data()), b.size(), hb);
    return CRYPTO_memcmp(ha, hb, sizeof ha) == 0;
}

} // namespace relay
