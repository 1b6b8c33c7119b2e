#pragma once

#include <asio.hpp>

namespace wire {

// The tunnel library lives in host processes that start other programs (the tool starts a
// VNC viewer and system commands). Asio opens sockets inheritable; a child that inherits a
// listening socket keeps its port taken after the forwarding is gone.
void closeOnExec(asio::ip::tcp::socket::native_handle_type handle);

template <typename Socket> void closeOnExec(Socket &socket)
{
    if (socket.is_open())
        closeOnExec(socket.native_handle());
}

} // namespace wire
