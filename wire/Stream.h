#pragma once

#include <asio.hpp>

#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace wire {

using IoHandler = std::function<void(const std::error_code &, std::size_t)>;

// A byte stream as the splicer, the line reader and an in-process service see it, whether
// it is a plain TCP socket or TLS over TCP. All calls happen on the owning io_context's
// thread, or on its strand when the io_context runs on several; one read and one write may
// be outstanding at a time.
class Stream
{
public:
    virtual ~Stream() = default;
    virtual void readSome(asio::mutable_buffer buffer, IoHandler handler) = 0;
    virtual void writeAll(asio::const_buffer buffer, IoHandler handler) = 0;
    // Completes once bytes (or the end, or an error) can be read without waiting, so that a
    // caller holds no read buffer while the stream is idle.
    virtual void waitReadable(std::function<void(const std::error_code &)> handler) { handler({}); }
    // A look that neither waits nor consumes: the error the connection failed with (a reset),
    // else empty. Lets a reader blocked on its far end notice that its source is gone.
    virtual std::error_code failure() { return {}; }
    // Where the stream's handlers run; none for a stream that has no timers to offer.
    virtual asio::any_io_executor executor() { return {}; }
    // Tells the peer no more bytes follow while bytes may still come back.
    virtual void shutdownSend() = 0;
    virtual void close() = 0;
    // Ends the connection so that the peer sees it broken, not finished: a transfer cut
    // short must fail at the far end rather than pass for a complete one.
    virtual void abort() { close(); }
    virtual std::string peer() const = 0;
};

using StreamPtr = std::shared_ptr<Stream>;

// The peer finished sending: a TCP FIN, or a TLS close_notify. A TLS connection that ends
// without close_notify (asio::ssl::error::stream_truncated), or a reset, is an abort.
bool isEndOfStream(const std::error_code &ec);

std::string endpointText(const asio::ip::tcp::endpoint &ep);

} // namespace wire
