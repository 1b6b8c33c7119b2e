#include "vserial/vspdctl.h"

#include "vserial/PairRegistry.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// Nothing may escape into a C caller: any failure, memory included, is a false result.

namespace {

// Each calling thread's last error, kept until that thread's next call. Not thread_local:
// this library is loaded at run time, and its thread-local block would be a dynamic one,
// which LeakSanitizer's check at exit cannot always walk (it crashed on one here).
std::mutex g_errorsMutex;
std::map<std::thread::id, std::string> g_errors;

std::string &lastError()
{
    std::lock_guard<std::mutex> lock(g_errorsMutex);
    return g_errors[std::this_thread::get_id()];
}

bool noted(bool ok, const std::string &call)
{
    if (!ok) {
        const int e = errno;
        std::string &error = lastError();
        error = call + " failed: a bad or duplicate name, a name another pair holds, or no pair";
        if (e != 0)
            error += std::string(" (last system error: ") + std::strerror(e) + ")";
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
    return lastError().c_str();
}
