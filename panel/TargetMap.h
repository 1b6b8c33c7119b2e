#pragma once

#include "wire/Address.h"

#include <optional>
#include <string>
#include <vector>

namespace panel {

// The agent's list of reachable targets: "PANEL-VIEW=ACTUAL" lines, first match wins.
// "*" as host or port of the panel-view side matches anything; "*" on the actual side
// means "as requested". Only listed targets are reachable.
class TargetMap
{
public:
    bool add(const std::string &panelView, const std::string &actual, std::string *error);
    std::optional<wire::HostPort> resolve(const wire::HostPort &requested) const;
    bool empty() const { return m_rules.empty(); }

private:
    struct Rule
    {
        wire::HostPort view, actual;
    };
    std::vector<Rule> m_rules;
};

} // namespace panel
