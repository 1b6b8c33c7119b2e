#include "tunnellib/TunnelConfig.h"

#include "wire/AddressList.h"
#include "wire/Ini.h"
#include "wire/Messages.h"
#include "wire/Tls.h"

namespace tunnellib {

bool TunnelConfig::load(const std::string &path, std::string *error)
{
    wire::Ini ini;
    if (!ini.load(path, error))
        return false;
    const auto relayText = ini.value("tunnel", "relay");
    const auto fp = ini.value("tunnel", "fingerprint");
    const auto tok = ini.value("tunnel", "token");
    if (!relayText || !fp || !tok) {
        *error = path + ": [tunnel] needs relay=, fingerprint= and token=";
        return false;
    }
    const auto list = wire::parseHostPortList(*relayText);
    if (!list) {
        *error = path + ": [tunnel] relay=" + *relayText + " is not HOST:PORT[,HOST:PORT...]";
        return false;
    }
    fingerprint = wire::normaliseFingerprint(*fp);
    if (fingerprint.empty()) {
        *error = path + ": [tunnel] fingerprint= must be 64 hex digits (SHA-256)";
        return false;
    }
    if (!wire::msg::validSecret(*tok)) {
        *error = path + ": [tunnel] token= must be 1-256 printable characters without blanks";
        return false;
    }
    relays = *list;
    token = *tok;
    file = path;
    return true;
}

std::string TunnelConfig::summary() const
{
    return "relay=" + wire::hostPortListText(relays) + " fingerprint=" + fingerprint.substr(0, 16) + "...";
}

} // namespace tunnellib
