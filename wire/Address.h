#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace wire {

// "host:port" as users write it and as it travels in requests. The host is kept as text
// (a name or a literal, IPv6 in brackets); "*" in either field is a wildcard where the
// caller allows it (the panel agent's target list).
struct HostPort
{
    std::string host;
    uint16_t port = 0;
    bool anyHost = false;
    bool anyPort = false;

    std::string text() const;
    bool operator==(const HostPort &o) const
    {
        return host == o.host && port == o.port && anyHost == o.anyHost && anyPort == o.anyPort;
    }
};

struct AddressRules
{
    bool allowWildcards = false;
    bool allowPortZero = false; // a listener asking the system for a free port
};

// Strict on purpose: addresses arrive from the network and from config files, and end up
// in resolvers and log lines. Only letters, digits, '.', '-', '_' and (in brackets) ':'.
std::optional<HostPort> parseHostPort(const std::string &text, AddressRules rules = {});

} // namespace wire
