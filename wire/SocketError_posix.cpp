#include "wire/SocketError.h"

#include <cerrno>
#include <sys/socket.h>

namespace wire {

void clearSocketError()
{
    errno = 0;
}

std::error_code lastSocketError()
{
    const int e = errno;
    return e == 0 ? std::error_code() : std::error_code(e, std::system_category());
}

std::error_code takeSocketFailure(std::uintptr_t handle)
{
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(int(handle), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error == 0)
        return {};
    return std::error_code(error, std::system_category());
}

} // namespace wire
