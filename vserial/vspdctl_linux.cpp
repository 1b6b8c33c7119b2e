#include "vserial/vspdctl.h"

#include "vserial/PairRegistry.h"

#include <cerrno>
#include <cstring>
#include <string>

// Nothing may escape into a C caller: any failure, memory included, is a false result.

namespace {

thread_local std::string g_lastError;

bool noted(bool ok, const std::string &call)
{
    if (!ok) {
        const int e = errno;
        g_lastError = call + " failed: a bad or duplicate name, a name another pair holds, or no pair";
        if (e != 0)
            g_lastError += std::string(" (last system error: ") + std::strerror(e) + ")";
    }
    return ok;
}

std::string text(const char *s)
{
    return s ? s : "(null)";
}

} // namespace

bool CreatePair(const char *first, const char *second)
{
    try {
        errno = 0;
        return noted(vserial::PairRegistry::instance().create(first, second),
                     "CreatePair(" + text(first) + ", " + text(second) + ")");
    } catch (...) {
        return false;
    }
}

bool DeletePair(const char *port)
{
    try {
        errno = 0;
        return noted(vserial::PairRegistry::instance().remove(port), "DeletePair(" + text(port) + ")");
    } catch (...) {
        return false;
    }
}

const char *LastPairError(void)
{
    return g_lastError.c_str();
}
