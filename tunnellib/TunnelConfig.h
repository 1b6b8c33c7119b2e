#pragma once

#include "wire/Address.h"

#include <string>
#include <vector>

namespace tunnellib {

// demoTunnel.cfg: [tunnel] relay=HOST:PORT[,HOST:PORT...], fingerprint=HEX, token=TEXT.
struct TunnelConfig
{
    std::vector<wire::HostPort> relays; // any relay of a cluster will do; tried in order
    std::string fingerprint;
    std::string token;
    // The file it was read from: the panels' keys are remembered beside it. Not part of the
    // comparison: the same settings from another file need no new login.
    std::string file;

    bool load(const std::string &path, std::string *error);
    // What TunnelInit reports; never the token.
    std::string summary() const;
    bool operator==(const TunnelConfig &o) const
    {
        return relays == o.relays && fingerprint == o.fingerprint && token == o.token;
    }
    bool operator!=(const TunnelConfig &o) const { return !(*this == o); }
};

} // namespace tunnellib
