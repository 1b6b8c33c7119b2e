#pragma once

#include "relay/Connection.h"
#include "wire/Log.h"
#include "wire/Messages.h"

#include <asio/ssl/context.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace relay {

// What an accepted connection is handed to once it has said what it wants.
struct IncomingHandlers
{
    // A request over TLS (a control link, another relay's request): the line after the
    // hello, and what was read past it.
    std::function<void(ConnectionPtr, std::string pending, const std::string &line)> control;
    // A plain data connection's request line; nothing was read past it.
    std::function<void(DataPtr, const std::string &line)> data;
};

// One accepted connection from accept until its request, all within the handshake
// timeout: its first byte says TLS (a control link) or plain text (a data connection, which
// carries a stream's own TLS and so is never decrypted here); then the hello, whose version
// must be ours, and the request line. Then it is handed on and this object goes.
class Incoming : public std::enable_shared_from_this<Incoming>
{
public:
    struct Settings
    {
        std::shared_ptr<asio::ssl::context> tls;
        std::chrono::milliseconds handshakeTimeout;
        IncomingHandlers handlers;
        // A peer can cause these at will: limited, shared by all connections.
        wire::LogLimiter silentLog{std::chrono::seconds(1)};
        wire::LogLimiter tlsLog{std::chrono::seconds(1)};
        wire::LogLimiter noRequestLog{std::chrono::seconds(1)};
    };

    Incoming(Settings &settings, asio::ip::tcp::socket socket, asio::io_context &home, std::size_t thread,
             std::shared_ptr<Slot> slot, std::string peer);
    // On the connection's thread.
    void start();

    // A silent connection (not even a first byte) is closed sooner than the handshake
    // timeout: bare connects are the cheapest way to hold the relay's descriptors.
    static constexpr std::chrono::milliseconds kFirstByte{3000};

private:
    enum class Step { FirstByte, Tls, Hello, Request, Done };

    void onFirstByte(const std::error_code &ec);
    void startTls();
    void readLines(wire::StreamPtr stream);
    void onLine(const std::error_code &ec, std::string line);
    bool helloAccepted(const std::string &line);
    void onExpired();
    void refuse(const wire::msg::Err &refusal);
    void close();

    Settings &m_settings;
    asio::ip::tcp::socket m_socket; // until TLS or the plain stream takes it
    asio::io_context &m_home;
    std::size_t m_thread;
    std::shared_ptr<Slot> m_slot;
    std::string m_peer;
    asio::steady_timer m_deadline;
    Step m_step = Step::FirstByte;
    bool m_plain = false;
    wire::StreamPtr m_stream; // TLS or plain, once the first byte said which
    std::shared_ptr<wire::TcpStream> m_plainStream;
    std::shared_ptr<std::string> m_pending = std::make_shared<std::string>();
};

} // namespace relay
