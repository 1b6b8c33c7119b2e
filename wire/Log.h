#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace wire {

// One line per event on standard output, with a UTC time stamp and the program name, for
// the relay and the panel agent (they run as services; their output is the journal).
// Any thread may log: each line leaves whole, never interleaved with another.
void setLogName(const std::string &name);
void logLine(const std::string &text);

// For events a peer can cause at will (refused connections, a fight over one SN): the
// first line of an interval is logged, the rest only counted and summed up in the next
// logged line, so that a flood cannot fill the journal or spend the CPU on logging.
// Shared by all I/O threads: a flood arrives on all of them at once.
class LogLimiter
{
public:
    explicit LogLimiter(std::chrono::milliseconds interval) : m_interval(interval) {}
    // Returns whether the line was logged.
    bool line(const std::string &text);

private:
    std::mutex m_mutex;
    std::chrono::milliseconds m_interval;
    std::chrono::steady_clock::time_point m_last{};
    bool m_any = false;
    unsigned long m_suppressed = 0;
};

} // namespace wire
