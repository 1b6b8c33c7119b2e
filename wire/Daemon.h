#pragma once

#include "wire/IoPool.h"

#include <asio.hpp>

#include <functional>
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

// Runs the pool's threads until SIGINT or SIGTERM; `beforeStop`, if given, runs first on the
// main thread (what is open is ended and recorded as the process's doing). SIGHUP calls
// `onHangup` on the main thread (a reload), each time; without one it is ignored, so that a
// stray reload never kills a daemon.
void runUntilSignalled(IoPool &pool, std::function<void()> onHangup = {}, std::function<void()> beforeStop = {});

} // namespace wire
