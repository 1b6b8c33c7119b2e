#include "tunnellib/ProcessEnd.h"

#include <openssl/crypto.h>

#include <cstdlib>

namespace tunnellib {

namespace {
void (*g_stop)() = nullptr;
} // namespace

std::uint64_t opensslInitOptions()
{
    // OpenSSL's own clean-up is registered with atexit now, so it runs after the stop
    // registered later: the io thread has ended before OpenSSL's state goes.
    return 0;
}

void stopAtProcessExit(void (*stop)())
{
    g_stop = stop;
    std::atexit([] { g_stop(); });
}

// exit() runs the atexit list on the thread that called it, with every other thread still
// alive and no lock of the loader's held: joining the io thread there is sound.
bool processExiting()
{
    return false;
}

// The Linux tool links the library and never unloads it.
void pinLibrary()
{
}

} // namespace tunnellib
