#pragma once

#include "wire/Address.h"

#include <string>

namespace tunnellib {

// demoTunnel.cfg: [tunnel] relay=HOST:PORT, fingerprint=HEX, token=TEXT.
struct TunnelConfig
{
    wire::HostPort relay;
    std::string fingerprint;
    std::string token;

    bool load(const std::string &path, std::string *error);
    // What TunnelInit reports; never the token.
    std::string summary() const;
    bool operator==(const TunnelConfig &o) const
    {
        return relay == o.relay && fingerprint == o.fingerprint && token == o.token;
    }
    bool operator!=(const TunnelConfig &o) const { return !(*this == o); }
};

} // namespace tunnellib
