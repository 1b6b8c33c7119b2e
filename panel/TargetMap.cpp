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

std::optional<wire::HostPort> TargetMap::resolve(const wire::HostPort &requested) const
{
    if (requested.anyHost || requested.anyPort)
        return std::nullopt;
    for (const auto &r : m_rules) {
        if (!r.view.anyHost && r.view.host != requested.host)
            continue;
        if (!r.view.anyPort && r.view.port != requested.port)
            continue;
        wire::HostPort out;
        out.host = r.actual.anyHost ? requested.host : r.actual.host;
        out.port = r.actual.anyPort ? requested.port : r.actual.port;
        return out;
    }
    return std::nullopt;
}

} // namespace panel
