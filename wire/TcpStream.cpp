#include "wire/TcpStream.h"

#include "wire/SocketError.h"

namespace wire {

bool isEndOfStream(const std::error_code &ec)
{
    return ec == asio::error::eof;
}

std::string endpointText(const asio::ip::tcp::endpoint &ep)
{
    const auto a = ep.address();
    return (a.is_v6() ? "[" + a.to_string() + "]" : a.to_string()) + ":" + std::to_string(ep.port());
}

TcpStream::TcpStream(asio::ip::tcp::socket socket) : m_socket(std::move(socket))
{
    std::error_code ec;
    m_socket.set_option(asio::ip::tcp::no_delay(true), ec);
    const auto ep = m_socket.remote_endpoint(ec);
    m_peer = ec ? std::string("?") : endpointText(ep);
}

void TcpStream::readSome(asio::mutable_buffer buffer, IoHandler handler)
{
    m_socket.async_read_some(buffer, std::move(handler));
}

void TcpStream::writeAll(asio::const_buffer buffer, IoHandler handler)
{
    asio::async_write(m_socket, buffer, std::move(handler));
}

void TcpStream::waitReadable(std::function<void(const std::error_code &)> handler)
{
    std::error_code ec;
    if (m_socket.available(ec) > 0 || ec)
        return asio::post(m_socket.get_executor(), [handler = std::move(handler)] { handler({}); });
    m_socket.async_wait(asio::socket_base::wait_read, std::move(handler));
}

void TcpStream::shutdownSend()
{
    std::error_code ec;
    m_socket.shutdown(asio::socket_base::shutdown_send, ec);
}

void TcpStream::close()
{
    std::error_code ec;
    m_socket.close(ec);
}

void moveSocket(asio::ip::tcp::socket &socket, asio::io_context &io)
{
    std::error_code ec;
    const auto protocol = socket.local_endpoint(ec).protocol();
    const auto fd = socket.release(ec);
    if (ec)
        return;
    asio::ip::tcp::socket moved(io);
    moved.assign(protocol, fd, ec);
    if (ec) { // the descriptor must not leak
        asio::error_code ignored;
        asio::detail::socket_ops::state_type state = 0;
        asio::detail::socket_ops::close(fd, state, true, ignored);
    }
    moved.non_blocking(true, ec);
    socket = std::move(moved);
}

void resetConnection(asio::ip::tcp::socket &socket)
{
    // Linger on with a zero timeout: close sends RST and drops what is still unsent.
    std::error_code ec;
    socket.set_option(asio::socket_base::linger(true, 0), ec);
    socket.close(ec);
}

std::error_code socketFailure(asio::ip::tcp::socket &socket)
{
    // Not a peek: bytes still unread come before a reset's error there.
    return socket.is_open() ? takeSocketFailure(std::uintptr_t(socket.native_handle())) : std::error_code();
}

void TcpStream::abort()
{
    resetConnection(m_socket);
}

std::error_code listenOn(asio::ip::tcp::acceptor &acceptor, const asio::ip::tcp::endpoint &ep, int backlog)
{
    std::error_code ec;
    acceptor.open(ep.protocol(), ec);
    if (!ec)
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(ep, ec);
    if (!ec)
        acceptor.listen(backlog, ec);
    return ec;
}

} // namespace wire
