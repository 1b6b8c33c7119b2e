#pragma once

// libvspdctl: pairs of joined virtual serial ports. Each port of a pair is a pseudo-terminal
// published under its COM name; bytes written to one port come out of the other unchanged,
// whatever line settings either side chooses. As on a cable, bytes sent while nobody holds
// the other port open are not kept for a later user. Names live as long as the pair or the
// process that made it.
//
// The names are published as symbolic links in the directory named by TALVO_VSERIAL_DIR, or
// by default in a per-user runtime directory ($XDG_RUNTIME_DIR/talvo-vserial, else
// /run/user/<uid>/talvo-vserial, else /tmp/talvo-vserial-<uid>).
//
// Both calls are thread-safe and return quickly; neither blocks on the ports' users.

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define VSPDCTL_API __declspec(dllexport)
#else
#define VSPDCTL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Makes the pair first/second and publishes both names. True when the pair exists afterwards,
// also when exactly this pair existed already. False for a name that is empty, longer than 32
// characters or not made of letters, digits, '-' and '_'; for two equal names; for a name
// that another pair (of this or another process) holds; and when the system refuses.
VSPDCTL_API bool CreatePair(const char *first, const char *second);

// Removes the pair that has port as either of its names, with both published names.
// False when there is no such pair.
VSPDCTL_API bool DeletePair(const char *port);

#ifdef __cplusplus
}
#endif
