#include "wire/SocketError.h"

#include <cerrno>

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

} // namespace wire
