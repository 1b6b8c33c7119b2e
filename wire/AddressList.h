#pragma once

#include "wire/Address.h"

#include <optional>
#include <string>
#include <vector>

namespace wire {

// "HOST:PORT[,HOST:PORT...]": the relays a panel agent or a PC may use, tried in order.
// Blanks around the commas are allowed; an empty entry or a repeated address is refused.
std::optional<std::vector<HostPort>> parseHostPortList(const std::string &text, AddressRules rules = {});

// The whole list as written back (for summaries and logs).
std::string hostPortListText(const std::vector<HostPort> &list);

} // namespace wire
