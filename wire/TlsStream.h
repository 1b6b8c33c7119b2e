#pragma once

#include "wire/Address.h"
#include "wire/Stream.h"
#include "wire/TcpStream.h"

#include <asio/ssl/context.hpp>

#include <array>
#include <chrono>
#include <vector>

namespace wire {

// TLS over a non-blocking TCP socket. OpenSSL reads the socket itself (read-ahead, several
// records per system call) and appends its records to a buffer of ours, from where each
// writeAll leaves in one send: on loopback the kernel's per-send cost dominates, and one send per
// 16 KB record (as asio::ssl::stream does) halves bulk throughput.
class TlsStream : public Stream, public std::enable_shared_from_this<TlsStream>
{
public:
    using Ptr = std::shared_ptr<TlsStream>;
    using Done = std::function<void(const std::error_code &, Ptr)>;

    TlsStream(asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> ctx, bool server);
    ~TlsStream() override;

    // Resolves, connects and completes the client handshake within the timeout
    // (asio::error::timed_out otherwise).
    static void connect(asio::io_context &io, std::shared_ptr<asio::ssl::context> ctx,
                        const HostPort &address, std::chrono::milliseconds timeout, Done done);
    // The same on a given executor: a strand of its own when several threads run the
    // io_context, since a connection's handlers must never run at once.
    static void connect(const asio::any_io_executor &ex, std::shared_ptr<asio::ssl::context> ctx,
                        const HostPort &address, std::chrono::milliseconds timeout, Done done);
    // Server handshake on an accepted socket, within the timeout.
    static void accept(asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> ctx,
                       std::chrono::milliseconds timeout, Done done);
    // Either handshake on a connected socket that carried something else before (a stream's
    // TLS runs end to end over a data connection that first joined the stream at the relay).
    // Nothing may be outstanding on the socket, and nothing of the peer's TLS may have been
    // read from it yet.
    static void handshakeOn(asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> ctx, bool server,
                          std::chrono::milliseconds timeout, Done done);

    void readSome(asio::mutable_buffer buffer, IoHandler handler) override;
    void writeAll(asio::const_buffer buffer, IoHandler handler) override;
    void waitReadable(std::function<void(const std::error_code &)> handler) override;
    // For links that read a line now and then (control links): each read first waits for
    // input, and the wait receives it, for OpenSSL to read first. A read tried at once mostly
    // finds nothing, after OpenSSL took (and gave back) its 64 KiB read buffer for it; a bare
    // readiness wait costs an ioctl to see whether data is there and an epoll_ctl to arm, a
    // receive neither. Streams that carry data read at once and wait bare: a small receive
    // before each of their reads cost a third of bulk throughput.
    void waitBeforeReads() { m_waitBeforeReads = true; }
    std::error_code failure() override { return socketFailure(m_socket); }
    asio::any_io_executor executor() override { return m_socket.get_executor(); }
    // Sends close_notify, then FIN, and goes on reading: TLS 1.3 lets the peer answer after
    // our close_notify. Only an end with close_notify reads as end of stream at the far end.
    void shutdownSend() override;
    // After shutdownSend, waits (bounded) for the close_notify to leave before closing.
    void close() override;
    // Resets TCP without close_notify: the far end reads an abort.
    void abort() override;
    std::string peer() const override { return m_peer; }
    // SHA-256 of the peer's certificate as hex (wire::certificateFingerprint); empty if none.
    std::string peerFingerprint() const;
    // RFC 8446 exporter (SSL_export_keying_material) without context: false before the
    // handshake completed.
    bool exportKeyingMaterial(unsigned char *out, std::size_t size, const char *label) const;
    // Hands the connection to another io_context (its thread from now on). Only between
    // operations: nothing of this stream may be outstanding.
    void moveTo(asio::io_context &io);

    // Bytes (or a failure) that a wait for input received, for OpenSSL to read first.
    struct Received
    {
        std::array<char, 512> data;
        std::size_t at = 0;
        std::size_t size = 0;
        std::error_code error;
    };

private:
    using Flushed = std::function<void(const std::error_code &)>;

    void handshake(std::function<void(const std::error_code &)> done);
    void readNow(asio::mutable_buffer buffer, IoHandler handler);
    // Sends what OpenSSL has written so far; `done` once everything up to now is sent. The
    // waiters are the stream's own and run only from it while it lives (a send under way
    // holds it), so they never hold it themselves: a send dropped unfinished, its io_context
    // shut down, would otherwise leave the stream owning itself for good.
    void flush(Flushed done);
    void pumpOut();
    // Maps SSL_get_error to: 0 = wait for read, 1 = wait for write, else an error.
    int classify(int ret, std::error_code &ec);
    void complete(IoHandler handler, const std::error_code &ec, std::size_t n);
    // Gives back the memory of a burst once it is sent: idle streams hold no record buffers.
    void releaseSendBuffers();

    asio::ip::tcp::socket m_socket;
    std::shared_ptr<asio::ssl::context> m_ctx;
    SSL *m_ssl = nullptr;
    std::string m_records; // made by OpenSSL, not yet handed to the socket
    std::string m_sending; // under way to the socket
    bool m_busy = false;
    bool m_sentCloseNotify = false;
    bool m_closeWhenSent = false;
    asio::steady_timer m_closeTimer;
    std::vector<Flushed> m_flushWaiters;
    std::string m_peer;
    bool m_waitBeforeReads = false;
    Received m_received;
};

} // namespace wire
