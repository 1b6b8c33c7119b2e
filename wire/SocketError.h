#pragma once

#include <system_error>

namespace wire {

// Where the system leaves the reason of a failed socket call: errno on POSIX, the thread's
// Winsock error on Windows (errno stays untouched there). OpenSSL's socket BIO reads and
// writes through the plain socket calls, so its SSL_ERROR_SYSCALL is explained here.
void clearSocketError();
// The last socket error of this thread as Asio names it (system category), or an empty
// code when there was none.
std::error_code lastSocketError();

} // namespace wire
