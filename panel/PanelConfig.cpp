#include "panel/PanelConfig.h"

#include "wire/AddressList.h"
#include "wire/Ini.h"
#include "wire/Messages.h"
#include "wire/Tls.h"

#include <stdexcept>

namespace panel {

bool PanelConfig::load(const std::string &path, std::string *error)
{
    wire::Ini ini;
    if (!ini.load(path, error)
        || !ini.onlySections({"panel", "targets", "passthrough"}, error)
        || !ini.onlyKeys("panel", {"sn", "secret", "relay", "fingerprint", "resolve-names", "threads"}, error))
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
    const auto &targetLines = ini.section("targets");
    for (size_t i = 0; i < targetLines.size(); ++i)
        if (!targets.add(targetLines[i].first, targetLines[i].second, error)) {
            *error = ini.at("targets", i) + ": [targets] " + *error;
            return false;
        }
    return true;
}

} // namespace panel
