#pragma once

#include <asio.hpp>

#ifndef _WIN32
#include <fcntl.h>
#endif

namespace wire {

// The tunnel library lives in host processes that start other programs (the tool starts a
// VNC viewer and system commands). Asio opens sockets inheritable; a child that inherits a
// listening socket keeps its port taken after the forwarding is gone.
template <typename Socket> void closeOnExec(Socket &socket)
{
#ifndef _WIN32
    if (socket.is_open()) {
        const int fd = socket.native_handle();
        ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
#else
    (void)socket; // Windows sockets are not inherited by CreateProcess without handle inheritance.
#endif
}

} // namespace wire
