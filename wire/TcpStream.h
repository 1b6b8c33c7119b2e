#pragma once

#include "wire/Stream.h"

namespace wire {

// Closes with RST instead of FIN, so that the peer's next read fails (ECONNRESET).
void resetConnection(asio::ip::tcp::socket &socket);
// Stream::failure for a socket.
std::error_code socketFailure(asio::ip::tcp::socket &socket);

// Hands the connection to another io_context's thread: the descriptor stays, only its
// reactor registration moves. Nothing may be pending on the socket. On failure the socket
// reads as closed from then on.
void moveSocket(asio::ip::tcp::socket &socket, asio::io_context &io);

// Opens, binds (address reuse on, so a restart finds its port free) and listens.
std::error_code listenOn(asio::ip::tcp::acceptor &acceptor, const asio::ip::tcp::endpoint &ep,
                         int backlog = asio::socket_base::max_listen_connections);

class TcpStream : public Stream
{
public:
    explicit TcpStream(asio::ip::tcp::socket socket);

    void readSome(asio::mutable_buffer buffer, IoHandler handler) override;
    void writeAll(asio::const_buffer buffer, IoHandler handler) override;
    void waitReadable(std::function<void(const std::error_code &)> handler) override;
    std::error_code failure() override { return socketFailure(m_socket); }
    asio::any_io_executor executor() override { return m_socket.get_executor(); }
    void shutdownSend() override;
    void close() override;
    void abort() override;
    std::string peer() const override { return m_peer; }

    asio::ip::tcp::socket &socket() { return m_socket; }
    // See moveSocket.
    void moveTo(asio::io_context &io) { moveSocket(m_socket, io); }

private:
    asio::ip::tcp::socket m_socket;
    std::string m_peer;
};

} // namespace wire
