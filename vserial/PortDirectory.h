#pragma once

#include <string>

// Where the pairs' port names are published. Shared by the library, which creates the
// entries, and by the tool, which opens them; both must agree without talking to each other.
namespace vserial {

// The directory's path as configured, whether or not it exists.
std::string portDirectoryPath();

// The directory, created when missing. Empty when it cannot be created, or when the default
// directory in a shared place is not a private directory of this user (someone else could
// then swap the published names under us).
std::string ensurePortDirectory();

// Port names become file names: only these are accepted.
bool isValidPortName(const char *name);

} // namespace vserial
