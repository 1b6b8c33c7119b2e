#include "panel/TargetMap.h"

namespace panel {

bool TargetMap::add(const std::string &panelView, const std::string &actual, std::string *error)
{
    wire::AddressRules rules;
    rules.allowWildcards = true;
    const auto view = wire::parseHostPort(panelView, rules);
    const auto real = wire::parseHostPort(actual, rules);
    if (!view || !real) {
        *error = "target " + panelView + "=" + actual + " is not HOST:PORT=HOST:PORT";
        return false;
    }
    m_rules.push_back({*view, *real});
    return true;
}

bool TargetMap::mayReachAsRequested(const asio::ip::address &address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return mayReachAsRequested(asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()));
    if (address.is_loopback() || address.is_unspecified())
        return false;
    if (address.is_v4())
        return (address.to_v4().to_uint() & 0xffff0000u) != 0xa9fe0000u; // 169.254.0.0/16
    return !address.to_v6().is_link_local();
}

std::optional<wire::HostPort> TargetMap::resolve(const wire::HostPort &requested, std::string *refusal,
                                                 bool *hostAsRequested) const
{
    if (requested.anyHost || requested.anyPort)
        return std::nullopt;
    std::error_code ec;
    const auto literal = asio::ip::make_address(requested.host, ec);
    const bool isName = ec && requested.host.find(':') == std::string::npos;
    // What a "*" host passed on as requested may be: an address away from the panel, or a
    // name when names are allowed (the caller checks what it resolves to).
    const bool wildcardOk = ec ? (isName && m_wildcardNames) : mayReachAsRequested(literal);
    for (const auto &r : m_rules) {
        if (!r.view.anyHost && r.view.host != requested.host)
            continue;
        if (!r.view.anyPort && r.view.port != requested.port)
            continue;
        if (r.view.anyHost && r.actual.anyHost && !wildcardOk) {
            if (refusal)
                *refusal = isName ? requested.host + " is a host name; only rules that name it reach it"
                                    " (or set resolve-names=yes)"
                                  : requested.host + " is the panel's own or a link-local address; only"
                                    " rules that name it reach it";
            continue;
        }
        wire::HostPort out;
        out.host = r.actual.anyHost ? requested.host : r.actual.host;
        out.port = r.actual.anyPort ? requested.port : r.actual.port;
        if (hostAsRequested)
            *hostAsRequested = r.view.anyHost && r.actual.anyHost;
        return out;
    }
    return std::nullopt;
}

} // namespace panel
