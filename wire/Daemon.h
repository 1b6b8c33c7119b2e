#pragma once

#include "wire/IoPool.h"

#include <asio.hpp>

#include <string>

namespace wire {

// What the relay and the panel agent share around their work.

// "--config FILE" or "--help". Returns the exit code to end with at once (0 after the help,
// 2 for a bad command line, with a message), or -1 with *configPath set.
int parseConfigArgument(int argc, char **argv, const char *name, const char *help, std::string *configPath);

// No SIGPIPE from a peer that went away, descriptors for many streams, the log's name, and
// a heap that gives back what a burst of streams took (may re-execute the program once,
// with the same arguments, to set that up).
void prepareProcess(const char *name, char **argv);

// Runs the pool's threads until SIGINT or SIGTERM.
void runUntilSignalled(IoPool &pool);

} // namespace wire
