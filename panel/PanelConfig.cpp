#include "panel/PanelConfig.h"

#include "wire/AddressList.h"
#include "wire/Ini.h"
#include "wire/Messages.h"
#include "wire/Tls.h"

#include <cstdlib>
#include <stdexcept>

namespace panel {

namespace {

std::string asFolder(std::string dir)
{
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    return dir;
}

std::string folderOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// systemd sets $STATE_DIRECTORY to the unit's StateDirectory= paths, ':'-separated.
std::string defaultStateDir(const std::string &configPath)
{
    if (const char *env = std::getenv("STATE_DIRECTORY"); env && *env) {
        const std::string dirs = env;
        return asFolder(dirs.substr(0, dirs.find(':')));
    }
    return folderOf(configPath);
}

} // namespace

bool PanelConfig::load(const std::string &path, std::string *error)
{
    wire::Ini ini;
    if (!ini.load(path, error)
        || !ini.onlySections({"panel", "targets", "passthrough"}, error)
        || !ini.onlyKeys("panel", {"sn", "secret", "relay", "fingerprint", "resolve-names", "threads", "state"}, error))
        return false;
    auto need = [&](const char *key, std::string *out) {
        const auto v = ini.value("panel", key);
        if (!v || v->empty()) {
            *error = path + ": [panel] " + key + "= is missing";
            return false;
        }
        *out = *v;
        return true;
    };
    std::string relayText, fp;
    if (!need("sn", &sn) || !need("secret", &secret) || !need("relay", &relayText) || !need("fingerprint", &fp))
        return false;
    if (!wire::msg::validSn(sn)) {
        *error = ini.at("panel", "sn") + ": [panel] sn= must be 1-64 of A-Z a-z 0-9 . - _";
        return false;
    }
    if (!wire::msg::validSecret(secret)) {
        *error = ini.at("panel", "secret") + ": [panel] secret= must be 1-256 printable characters without blanks";
        return false;
    }
    const auto list = wire::parseHostPortList(relayText);
    if (!list) {
        *error = ini.at("panel", "relay") + ": [panel] relay=" + relayText + " is not HOST:PORT[,HOST:PORT...]";
        return false;
    }
    relays = *list;
    fingerprint = wire::normaliseFingerprint(fp);
    if (fingerprint.empty()) {
        *error = ini.at("panel", "fingerprint") + ": [panel] fingerprint= must be the relay certificate's SHA-256 (64 hex digits)";
        return false;
    }
    if (const auto names = ini.value("panel", "resolve-names")) {
        if (*names != "yes" && *names != "no") {
            *error = ini.at("panel", "resolve-names") + ": [panel] resolve-names= must be yes or no";
            return false;
        }
        targets.setWildcardNames(*names == "yes");
    }
    long long threadCount = (long long)threads;
    if (!ini.number("panel", "threads", 1, 256, "a number", &threadCount, error))
        return false;
    threads = std::size_t(threadCount);
    if (const auto state = ini.value("panel", "state")) {
        if (state->empty()) {
            *error = ini.at("panel", "state") + ": [panel] state= must name a folder";
            return false;
        }
        // Relative to the config file, as the relay's key= is.
        stateDir = asFolder((*state)[0] == '/' ? *state : folderOf(path) + *state);
    } else {
        stateDir = defaultStateDir(path);
    }
    const auto &targetLines = ini.section("targets");
    for (size_t i = 0; i < targetLines.size(); ++i)
        if (!targets.add(targetLines[i].first, targetLines[i].second, error)) {
            *error = ini.at("targets", i) + ": [targets] " + *error;
            return false;
        }
    return true;
}

} // namespace panel
