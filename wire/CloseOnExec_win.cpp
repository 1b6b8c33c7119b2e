#include "wire/CloseOnExec.h"

namespace wire {

// Sockets are kernel handles: a child gets one only if it is marked inheritable.
void closeOnExec(asio::ip::tcp::socket::native_handle_type handle)
{
    const SOCKET socket = handle;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

} // namespace wire
