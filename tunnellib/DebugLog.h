#pragma once

#include <string>

namespace tunnellib {

// The library runs inside other programs and has no log of its own: with the environment
// variable TALVO_TUNNEL_DEBUG set it traces to standard error, otherwise it stays quiet
// and reports through its result codes.
void debugLog(const std::string &text);

// What an operator must see even without tracing (a panel that presents another key, a
// relay of another protocol version): "pgDllTunnel: warning: TEXT" on standard error, always.
void warnLog(const std::string &text);

} // namespace tunnellib
