#pragma once

#include <string>

namespace wire {

// One line per event on standard output, with a UTC time stamp and the program name, for
// the relay and the panel agent (they run as services; their output is the journal).
void setLogName(const std::string &name);
void logLine(const std::string &text);

} // namespace wire
