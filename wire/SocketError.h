#pragma once

#include <cstdint>
#include <system_error>

namespace wire {

// Where the system leaves the reason of a failed socket call: errno on POSIX, the thread's
// Winsock error on Windows (errno stays untouched there). OpenSSL's socket BIO reads and
// writes through the plain socket calls, so its SSL_ERROR_SYSCALL is explained here.
void clearSocketError();
// The last socket error of this thread as Asio names it (system category), or an empty
// code when there was none.
std::error_code lastSocketError();
// The error a socket failed with and nobody has read yet (SO_ERROR, e.g. a reset that came
// in behind bytes still unread), or an empty code. Taking it clears it.
std::error_code takeSocketFailure(std::uintptr_t handle);

} // namespace wire
