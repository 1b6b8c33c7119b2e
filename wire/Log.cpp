#include "wire/Log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace wire {

namespace {
std::mutex g_mutex;
std::string g_name = "talvo";
} // namespace

void setLogName(const std::string &name)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_name = name;
}

void logLine(const std::string &text)
{
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::lock_guard<std::mutex> lock(g_mutex); // also guards gmtime's static result
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    std::fprintf(stdout, "%s %s: %s\n", stamp, g_name.c_str(), text.c_str());
    std::fflush(stdout);
}

bool LogLimiter::line(const std::string &text)
{
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_any && now - m_last < m_interval) {
        ++m_suppressed;
        return false;
    }
    m_any = true;
    m_last = now;
    logLine(m_suppressed ? text + " (and " + std::to_string(m_suppressed) + " more like it before)" : text);
    m_suppressed = 0;
    return true;
}

} // namespace wire
