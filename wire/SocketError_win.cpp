#include "wire/SocketError.h"

#include <winsock2.h>

namespace wire {

void clearSocketError()
{
    ::WSASetLastError(0);
}

std::error_code lastSocketError()
{
    // Asio's errors on Windows are the WSAE* values in the system category, so a reset
    // here compares equal to asio::error::connection_reset.
    const int e = ::WSAGetLastError();
    return e == 0 ? std::error_code() : std::error_code(e, std::system_category());
}

std::error_code takeSocketFailure(std::uintptr_t handle)
{
    int error = 0;
    int len = sizeof error;
    if (::getsockopt(SOCKET(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len) != 0 || error == 0)
        return {};
    return std::error_code(error, std::system_category());
}

} // namespace wire
