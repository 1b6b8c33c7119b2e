#pragma once

#include <string>

namespace relay {

// Removes "--status" from the arguments; true when it was there.
bool takeStatusFlag(int *argc, char **argv);
// `talvo-relay --status --config FILE`: the cluster's relays and which one holds each
// panel, read from the registry the file names. Returns the exit code.
int printClusterStatus(const std::string &configPath);

} // namespace relay
