#include "wire/CloseOnExec.h"

#include <fcntl.h>

namespace wire {

void closeOnExec(asio::ip::tcp::socket::native_handle_type handle)
{
    ::fcntl(handle, F_SETFD, ::fcntl(handle, F_GETFD) | FD_CLOEXEC);
}

} // namespace wire
