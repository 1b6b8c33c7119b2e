#pragma once

// libvspdctl (vspdctl.dll on Windows): pairs of joined virtual serial ports; bytes written to
// one port come out of the other unchanged, whatever line settings either side chooses.
//
// Linux (vspdctl_linux.cpp): each port of a pair is a pseudo-terminal published under its COM
// name. As on a cable, bytes sent while nobody holds the other port open are not kept for a
// later user. Names live as long as the pair or the process that made it. The names are
// published as symbolic links in the directory named by TALVO_VSERIAL_DIR, or by default in
// a per-user runtime directory ($XDG_RUNTIME_DIR/talvo-vserial, else
// /run/user/<uid>/talvo-vserial, else /tmp/talvo-vserial-<uid>). Both calls return quickly;
// neither blocks on the ports' users.
//
// Windows (vspdctl_win.cpp): the pairs are com0com's, the free null-modem driver, made and
// removed through its set-up program setupc.exe in its install folder (Program Files). A
// pair of the two names that exists already (made by the user, or without com0com by any
// other means) is used as it is. Pairs outlive the process; DeletePair removes only pairs
// this process made. Making a pair may install a driver instance and take seconds.
//
// The calls are thread-safe.

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
// False when there is no such pair. Windows: true, leaving it in place, for a pair this
// process did not make.
VSPDCTL_API bool DeletePair(const char *port);

// Why the last failed call on this thread failed, in English, for the caller's log; empty
// before any failure. The text stays valid until the thread's next call.
VSPDCTL_API const char *LastPairError(void);

#ifdef __cplusplus
}
#endif
