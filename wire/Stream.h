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
// thread; one read and one write may be outstanding at a time.
class Stream
{
public:
    virtual ~Stream() = default;
    virtual void readSome(asio::mutable_buffer buffer, IoHandler handler) = 0;
    virtual void writeAll(asio::const_buffer buffer, IoHandler handler) = 0;
    // Tells the peer no more bytes follow while bytes may still come back.
    virtual void shutdownSend() = 0;
    virtual void close() = 0;
    virtual std::string peer() const = 0;
};

using StreamPtr = std::shared_ptr<Stream>;

// End of stream, clean or not: a TLS peer that closes TCP without close_notify ends the
// stream just as plainly (the relay half-closes TLS legs that way, see TlsStream).
bool isEndOfStream(const std::error_code &ec);

std::string endpointText(const asio::ip::tcp::endpoint &ep);

} // namespace wire
