#pragma once

#include <cstdint>

namespace tunnellib {

// How the library's io thread meets the end of its host: by an explicit TunnelStop, by the
// process exiting, or (Windows) by the host unloading the DLL. The platforms differ in what
// is safe at that moment; the service asks here instead of knowing.

// Options for OPENSSL_init_ssl, the library's first OpenSSL call.
std::uint64_t opensslInitOptions();

// Arranges for `stop` (which joins the io thread) to run when the process exits, where that
// is safe.
void stopAtProcessExit(void (*stop)());

// True once the process is exiting and the io thread may already be gone without a trace:
// nothing may wait for it any more.
bool processExiting();

// Keeps the library's code mapped for the rest of the process once it has threads: a host
// that unloads it would pull the code from under them. TunnelStop ends the io thread, but
// Asio's own helper threads (timers, name lookups) live as long as the io_context, which is
// never destroyed (see TunnelService::instance()).
void pinLibrary();

} // namespace tunnellib
