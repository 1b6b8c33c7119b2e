#include "tunnellib/ProcessEnd.h"

#include <windows.h>

#include <openssl/crypto.h>

#include <atomic>

namespace tunnellib {

namespace {
std::atomic<bool> g_exiting{false};
} // namespace

// Inside a DLL everything that runs at process end runs under the loader lock, after the
// system has already ended every other thread, possibly in the middle of an OpenSSL or heap
// call: the atexit list of a DLL is run from its DLL_PROCESS_DETACH. So nothing is joined
// or cleaned up there, OpenSSL's atexit clean-up included; the system reclaims it all.
std::uint64_t opensslInitOptions()
{
    return OPENSSL_INIT_NO_ATEXIT;
}

void stopAtProcessExit(void (*)())
{
}

bool processExiting()
{
    return g_exiting;
}

void pinLibrary()
{
    // Found by the address of code inside this very DLL.
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(reinterpret_cast<void *>(&pinLibrary)), &self);
}

} // namespace tunnellib

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    // reserved != NULL: the process is exiting and its other threads are gone. NULL: the
    // host unloaded us, which the pin above allows only before any thread was started.
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr)
        tunnellib::g_exiting = true;
    return TRUE;
}
