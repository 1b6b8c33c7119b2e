#pragma once

#include "wire/Address.h"

#include <asio/ip/address.hpp>

#include <optional>
#include <string>
#include <vector>

namespace panel {

// The agent's list of reachable targets: "PANEL-VIEW=ACTUAL" lines, first match wins.
// "*" as host or port of the panel-view side matches anything; "*" on the actual side
// means "as requested". Only listed targets are reachable.
//
// A "*" host passed on as requested never reaches the panel itself (loopback, 0.0.0.0, ::)
// nor link-local neighbours unless a rule names that address: "*:502=*:502" is meant for
// the PLCs on the panel's network, not for services listening on the panel's loopback.
// Nor does it pass on host names (the panel would resolve whatever a PC sends, and
// "localhost" is a name) unless names are allowed with setWildcardNames().
class TargetMap
{
public:
    bool add(const std::string &panelView, const std::string &actual, std::string *error);
    // The actual target, or nullopt; *refusal then says why when a rule was skipped on
    // purpose rather than none matched. *hostAsRequested tells the caller that the host
    // came from the request, so that what a name resolves to must pass mayReachAsRequested.
    std::optional<wire::HostPort> resolve(const wire::HostPort &requested, std::string *refusal = nullptr,
                                          bool *hostAsRequested = nullptr) const;
    bool empty() const { return m_rules.empty(); }
    void setWildcardNames(bool allow) { m_wildcardNames = allow; }

    // Not the panel itself nor link-local: what a host taken from a request may be.
    static bool mayReachAsRequested(const asio::ip::address &address);

private:
    struct Rule
    {
        wire::HostPort view, actual;
    };
    std::vector<Rule> m_rules;
    bool m_wildcardNames = false;
};

} // namespace panel
