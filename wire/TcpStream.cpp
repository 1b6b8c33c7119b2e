#include "wire/TcpStream.h"

#include <asio/ssl/error.hpp>

namespace wire {

bool isEndOfStream(const std::error_code &ec)
{
    return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
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

} // namespace wire
