#include "tunnellib/DebugLog.h"

#include <cstdio>
#include <cstdlib>

namespace tunnellib {

void debugLog(const std::string &text)
{
    static const bool enabled = std::getenv("TALVO_TUNNEL_DEBUG") != nullptr;
    if (enabled)
        std::fprintf(stderr, "pgDllTunnel: %s\n", text.c_str());
}

void warnLog(const std::string &text)
{
    std::fprintf(stderr, "pgDllTunnel: warning: %s\n", text.c_str());
}

} // namespace tunnellib
