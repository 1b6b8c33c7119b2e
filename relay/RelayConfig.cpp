#include "relay/RelayConfig.h"

#include "wire/Ini.h"
#include "wire/Messages.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

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

bool readFile(const std::string &path, std::string *bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *bytes = ss.str();
    return !in.bad();
}

std::vector<std::string> splitPatterns(const std::string &list)
{
    std::vector<std::string> patterns;
    std::string pattern;
    for (char c : list + ",") {
        if (c == ',') {
            pattern = wire::trim(pattern);
            if (!pattern.empty())
                patterns.push_back(pattern);
            pattern.clear();
        } else {
            pattern += c;
        }
    }
    return patterns;
}

// wire::Ini lowercases section names and reads a section written twice as one, which
// would fold [user Alice] into [user alice] without a word; the headers are read here
// from the same bytes, with their case and line, so that both are caught.
struct UserSection
{
    std::string name;    // as written
    std::string section; // as wire::Ini names it
    int line = 0;
};

std::vector<UserSection> userSections(const std::string &text)
{
    std::vector<UserSection> found;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        const std::string line = wire::trim(raw);
        if (line.size() < 2 || line.front() != '[' || line.back() != ']')
            continue;
        const std::string inner = wire::trim(line.substr(1, line.size() - 2));
        if (inner.size() > 4 && wire::lower(inner.substr(0, 4)) == "user" && (inner[4] == ' ' || inner[4] == '\t'))
            found.push_back({wire::trim(inner.substr(5)), wire::lower(inner), lineNo});
    }
    return found;
}

std::string lineOf(const std::string &location)
{
    const auto colon = location.rfind(':');
    return colon == std::string::npos ? location : location.substr(colon + 1);
}

const char *const kUserRule = "user names are 1-64 of A-Z a-z 0-9 . _ -";
const char *const kTokenRule = "tokens are 1-256 printable characters without blanks";

} // namespace

bool RelayConfig::load(const std::string &path, std::string *error)
{
    wire::Ini ini;
    std::string bytes;
    // The hash must be of the bytes that were parsed: read again if an editor saved between.
    for (int attempt = 0;; ++attempt) {
        std::string before;
        const bool readBefore = readFile(path, &before);
        if (!ini.load(path, error))
            return false;
        if (!readBefore || !readFile(path, &bytes)) {
            *error = "cannot read " + path;
            return false;
        }
        if (before == bytes)
            break;
        if (attempt == 2) {
            *error = path + " kept changing while it was read";
            return false;
        }
    }
    fileSha256 = sha256Hex(bytes);
    const auto named = userSections(bytes);
    const auto at = [&](int line) { return path + ":" + std::to_string(line); };

    // Sections: the fixed ones and [user NAME]; checked here rather than by onlySections so
    // that the message lists the kinds, not every user.
    const std::vector<std::string> fixed = {"relay", "panels", "users", "cluster"};
    if (!ini.section("").empty()) {
        *error = ini.at("", size_t(0)) + ": " + ini.section("").front().first + "= is outside any section";
        return false;
    }
    for (const auto &section : ini.sectionNames()) {
        const std::string &name = section.first;
        const bool isUser = std::any_of(named.begin(), named.end(), [&](const UserSection &u) { return u.section == name; });
        if (!isUser && std::find(fixed.begin(), fixed.end(), name) == fixed.end()) {
            *error = at(section.second) + ": [" + name + "] is not a section of this file ([relay], [panels], [users], "
                     "[user NAME], [cluster])";
            return false;
        }
    }
    if (!ini.onlyKeys("relay", {"listen", "key", "certificate", "handshake_timeout_ms", "heartbeat_ms",
                                "max_connections", "max_per_source", "metrics", "threads", "audit"}, error)
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
    if (const auto audit = ini.value("relay", "audit")) {
        if (audit->empty()) {
            *error = ini.at("relay", "audit") + ": [relay] audit= needs a file (or leave the line out)";
            return false;
        }
        auditPath = resolve(folder, *audit);
    }
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
        static const std::string kHashed = "sha256:";
        Sha256 digest{};
        const bool hashed = secret.compare(0, kHashed.size(), kHashed) == 0;
        if (!wire::msg::validSn(sn) || (hashed ? !parseSha256Hex(secret.substr(kHashed.size()), &digest)
                                               : !wire::msg::validSecret(secret))) {
            *error = ini.at("panels", i) + ": [panels] " + sn + ": serial numbers are 1-64 of A-Z a-z 0-9 . - _ and "
                     "secrets 1-256 printable characters without blanks, or sha256: and 64 hex digits";
            return false;
        }
        if (hashed) {
            panelSecrets.erase(sn);
        } else {
            panelSecrets[sn] = secret;
            digest = sha256(secret);
        }
        panelSecretDigests[sn] = digest;
    }

    std::map<Sha256, std::pair<std::string, std::string>> tokens; // digest -> user, where
    const auto addUser = [&](RelayUser user, const std::string &where) {
        const auto [it, fresh] = tokens.emplace(user.tokenSha256, std::make_pair(user.name, where));
        if (!fresh) {
            // One of the two could never log in, and the trail would name the wrong one.
            *error = where + ": user " + user.name + " has the same token as user " + it->second.first + " ("
                     + it->second.second + ")";
            return false;
        }
        user.number = int(users.size()) + 1;
        users.push_back(std::move(user));
        return true;
    };
    const auto &legacy = ini.section("users");
    for (size_t i = 0; i < legacy.size(); ++i) {
        const auto &[token, list] = legacy[i];
        const std::string where = ini.at("users", i);
        if (!wire::msg::validSecret(token)) {
            *error = where + ": [users] entry " + std::to_string(i + 1) + ": " + kTokenRule;
            return false;
        }
        RelayUser user;
        user.name = "users:" + lineOf(where);
        user.tokenSha256 = sha256(token);
        user.patterns = splitPatterns(list);
        if (!addUser(std::move(user), where))
            return false;
    }
    // Names first: wire::Ini has already merged the entries of a name given twice.
    std::map<std::string, int> seen; // lowercased name -> line
    for (const auto &u : named) {
        if (!wire::msg::validSn(u.name)) {
            *error = at(u.line) + ": [user " + u.name + "]: " + kUserRule;
            return false;
        }
        // Compared without regard to case, as wire::Ini compares section names.
        const auto [it, fresh] = seen.emplace(wire::lower(u.name), u.line);
        if (!fresh) {
            *error = at(u.line) + ": [user " + u.name + "] is a second user of that name (the first is at line "
                     + std::to_string(it->second) + "; names are compared without regard to case)";
            return false;
        }
    }
    for (const auto &u : named) {
        const std::string head = "[user " + u.name + "]";
        if (!ini.onlyKeys(u.section, {"token", "token_sha256", "panels"}, error))
            return false;
        const auto &entries = ini.section(u.section);
        std::set<std::string> keys;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (!keys.insert(wire::lower(entries[i].first)).second) {
                *error = ini.at(u.section, i) + ": " + head + " " + entries[i].first + "= is given twice";
                return false;
            }
        }
        const auto token = ini.value(u.section, "token");
        const auto digestText = ini.value(u.section, "token_sha256");
        if (bool(token) == bool(digestText)) {
            *error = (token ? ini.at(u.section, "token_sha256") : at(u.line)) + ": " + head
                     + " needs exactly one of token= and token_sha256=";
            return false;
        }
        RelayUser user;
        user.name = u.name;
        if (token) {
            if (!wire::msg::validSecret(*token)) {
                *error = ini.at(u.section, "token") + ": " + head + " token=: " + kTokenRule;
                return false;
            }
            user.tokenSha256 = sha256(*token);
        } else if (!parseSha256Hex(*digestText, &user.tokenSha256)) {
            *error = ini.at(u.section, "token_sha256") + ": " + head
                     + " token_sha256= must be 64 hex digits (talvo-relay --hash-token prints them)";
            return false;
        }
        user.patterns = splitPatterns(ini.value(u.section, "panels").value_or(""));
        if (!addUser(std::move(user), token ? ini.at(u.section, "token") : ini.at(u.section, "token_sha256")))
            return false;
    }
    return true;
}

const RelayUser *RelayConfig::findUser(const std::string &token) const
{
    // Hashed once; every entry is compared so the time taken does not tell which one matched.
    const Sha256 presented = sha256(token);
    const RelayUser *found = nullptr;
    for (const auto &u : users)
        if (CRYPTO_memcmp(u.tokenSha256.data(), presented.data(), presented.size()) == 0 && !found)
            found = &u;
    return found;
}

std::string RelayConfig::sharedSha256() const
{
    std::string text;
    for (const auto &[sn, digest] : panelSecretDigests)
        text += "panel " + sn + " " + hex(digest.data(), digest.size()) + "\n";
    std::vector<std::string> lines;
    for (const auto &u : users) {
        std::string line = "user " + wire::lower(u.name) + " " + hex(u.tokenSha256.data(), u.tokenSha256.size());
        for (const auto &p : u.patterns)
            line += " " + p;
        lines.push_back(line + "\n");
    }
    std::sort(lines.begin(), lines.end());
    for (const auto &l : lines)
        text += l;
    return sha256Hex(text);
}

const RelayUser *RelayConfig::userByName(const std::string &name) const
{
    for (const auto &u : users)
        if (wire::lower(u.name) == wire::lower(name))
            return &u;
    return nullptr;
}

bool RelayConfig::mayReach(const RelayUser &user, const std::string &sn) const
{
    for (const auto &p : user.patterns)
        if (globMatch(p, sn))
            return true;
    return false;
}

bool RelayConfig::panelSecretMatches(const std::string &sn, const std::string &secret) const
{
    static const Sha256 kNone{};
    const auto it = panelSecretDigests.find(sn);
    const Sha256 &stored = it == panelSecretDigests.end() ? kNone : it->second;
    const Sha256 presented = sha256(secret);
    const bool match = CRYPTO_memcmp(stored.data(), presented.data(), presented.size()) == 0;
    return it != panelSecretDigests.end() && match;
}

std::vector<std::string> restartOnlyChanges(const RelayConfig &old, const RelayConfig &now)
{
    std::vector<std::string> changed;
    const auto check = [&](bool same, const char *what) {
        if (!same)
            changed.push_back(what);
    };
    check(old.listen == now.listen, "[relay] listen");
    check(old.keyPath == now.keyPath, "[relay] key");
    check(old.certificatePath == now.certificatePath, "[relay] certificate");
    check(old.threads == now.threads, "[relay] threads");
    check(old.handshakeTimeout == now.handshakeTimeout, "[relay] handshake_timeout_ms");
    check(old.heartbeat == now.heartbeat, "[relay] heartbeat_ms");
    check(old.maxConnections == now.maxConnections, "[relay] max_connections");
    check(old.maxPerSource == now.maxPerSource, "[relay] max_per_source");
    check(old.metrics == now.metrics, "[relay] metrics");
    // One trail is one chain: a reload reopens the same path (after a rotation), a new
    // path would start a second chain beside the first.
    check(old.auditPath == now.auditPath, "[relay] audit");
    const ClusterConfig &a = old.cluster, &b = now.cluster;
    check(a.enabled == b.enabled && a.redis == b.redis && a.sentinels == b.sentinels && a.master == b.master
              && a.id == b.id && a.peer == b.peer && a.expiry == b.expiry,
          "[cluster]");
    return changed;
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
    const Sha256 ha = sha256(a), hb = sha256(b);
    return CRYPTO_memcmp(ha.data(), hb.data(), ha.size()) == 0;
}

Sha256 sha256(const std::string &bytes)
{
    Sha256 d;
    SHA256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), d.data());
    return d;
}

std::string hex(const unsigned char *data, std::size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 15];
    }
    return out;
}

bool parseSha256Hex(const std::string &text, Sha256 *out)
{
    if (text.size() != 64)
        return false;
    const auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    for (std::size_t i = 0; i < 32; ++i) {
        const int hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        (*out)[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

int hashTokenCommand(std::FILE *in, std::FILE *out, std::FILE *err)
{
    // One line; a longer one is not a token anyway, so reading stops a little past the limit.
    std::string line;
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n' && line.size() <= 257)
        line += char(c);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (!wire::msg::validSecret(line)) {
        std::fprintf(err, "talvo-relay: --hash-token reads one token on standard input: %s\n", kTokenRule);
        return 2;
    }
    std::fprintf(out, "%s\n", sha256Hex(line).c_str());
    return 0;
}

} // namespace relay
