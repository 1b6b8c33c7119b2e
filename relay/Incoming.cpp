#include "relay/Incoming.h"

#include "relay/PanelRegistry.h"
#include "wire/ReadLine.h"

#include <sys/socket.h>

namespace relay {

using namespace wire::msg;

namespace {
// The first byte of a TLS handshake record.
constexpr unsigned char kTlsHandshake = 0x16;
} // namespace

Incoming::Incoming(Settings &settings, asio::ip::tcp::socket socket, asio::io_context &home, std::size_t thread,
                   std::shared_ptr<Slot> slot, std::string peer)
    : m_settings(settings), m_socket(std::move(socket)), m_home(home), m_thread(thread), m_slot(std::move(slot)),
      m_peer(std::move(peer)), m_deadline(home)
{
}

void Incoming::start()
{
    m_deadline.expires_after(std::min(kFirstByte, m_settings.handshakeTimeout));
    m_deadline.async_wait([self = shared_from_this()](const std::error_code &ec) {
        if (!ec)
            self->onExpired();
    });
    // The first byte may be here already: the socket was registered with this thread's
    // reactor on the listener's thread, and a readiness this thread saw before anyone waited
    // is not reported again to a wait that starts later.
    std::error_code ec;
    if (m_socket.available(ec) > 0 || ec)
        return onFirstByte(ec);
    m_socket.async_wait(asio::socket_base::wait_read,
                        [self = shared_from_this()](const std::error_code &ec) { self->onFirstByte(ec); });
}

void Incoming::onFirstByte(const std::error_code &ec)
{
    if (m_step != Step::FirstByte)
        return;
    if (ec || !m_socket.is_open())
        return close();
    unsigned char first = 0;
    const auto n = ::recv(m_socket.native_handle(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n <= 0) // closed, or reset, before a byte
        return close();
    // From here the whole handshake timeout counts, from accept on.
    m_deadline.expires_at(m_deadline.expiry() - std::min(kFirstByte, m_settings.handshakeTimeout)
                          + m_settings.handshakeTimeout);
    m_deadline.async_wait([self = shared_from_this()](const std::error_code &ec) {
        if (!ec)
            self->onExpired();
    });
    if (first == kTlsHandshake)
        return startTls();
    m_plain = true;
    m_step = Step::Hello;
    m_plainStream = std::make_shared<wire::TcpStream>(std::move(m_socket));
    m_stream = m_plainStream;
    readLines(m_stream);
}

void Incoming::startTls()
{
    m_step = Step::Tls;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline.expiry()
                                                                            - std::chrono::steady_clock::now());
    wire::TlsStream::accept(std::move(m_socket), m_settings.tls, std::max(left, std::chrono::milliseconds(1)),
                            [self = shared_from_this()](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                if (self->m_step != Step::Tls)
                                    return;
                                if (ec) {
                                    self->m_step = Step::Done;
                                    self->m_deadline.cancel();
                                    self->m_settings.tlsLog.line("TLS handshake with " + self->m_peer
                                                                 + " failed: " + ec.message());
                                    return;
                                }
                                self->m_step = Step::Hello;
                                self->m_stream = std::make_shared<Connection>(tls, self->m_home, self->m_thread,
                                                                              self->m_slot);
                                self->readLines(self->m_stream);
                            });
}

void Incoming::readLines(wire::StreamPtr stream)
{
    wire::readLine(stream, m_pending, kMaxLine, [self = shared_from_this()](const std::error_code &ec, std::string line) {
        self->onLine(ec, std::move(line));
    });
}

void Incoming::onLine(const std::error_code &ec, std::string line)
{
    if (m_step != Step::Hello && m_step != Step::Request)
        return;
    if (ec == std::errc::message_size) {
        wire::logLine("oversized request from " + m_peer + ", closed");
        return refuse(Err {Reason::Protocol, "request too long"});
    }
    if (ec) {
        wire::logLine("connection from " + m_peer + " ended before a request (" + ec.message() + ")");
        return close();
    }
    if (!printableLine(line)) {
        wire::logLine("garbage request from " + m_peer + ", closed");
        return refuse(Err {Reason::Protocol, "bad request"});
    }
    if (m_step == Step::Hello) {
        if (!helloAccepted(line))
            return;
        m_step = Step::Request;
        return readLines(m_stream);
    }
    m_step = Step::Done;
    m_deadline.cancel();
    if (!m_plain)
        return m_settings.handlers.control(std::static_pointer_cast<Connection>(m_stream), std::move(*m_pending), line);
    // Bytes after the request, before the relay answered: a data connection sends nothing
    // until its stream is joined, so these are not a stream's and go nowhere.
    if (!m_pending->empty()) {
        wire::logLine("data connection from " + m_peer + " sent bytes before its stream was joined, closed");
        return refuse(Err {Reason::Protocol, "bytes before the stream was joined"});
    }
    auto data = std::make_shared<DataConnection>(std::move(m_plainStream->socket()), m_home, m_thread, m_slot, m_peer);
    m_settings.handlers.data(std::move(data), line);
}

bool Incoming::helloAccepted(const std::string &line)
{
    std::string error;
    const auto hello = Hello::decode(line, &error);
    if (hello && hello->version == kProtocolVersion)
        return true;
    // The line is not logged: a first line of version 1 holds a token or a secret.
    const unsigned version = hello ? hello->version : legacyVersion(line);
    if (version != 0) {
        wire::logLine("refused " + m_peer + ": protocol version " + std::to_string(version)
                                   + ", this relay speaks " + std::to_string(kProtocolVersion));
        refuse(Err {Reason::Version, "relay speaks protocol " + std::to_string(kProtocolVersion)});
        return false;
    }
    wire::logLine("bad request from " + m_peer + ": no hello (" + error + ")");
    refuse(Err {Reason::Protocol, "bad request"});
    return false;
}

void Incoming::onExpired()
{
    // The TLS handshake has the same deadline and reports its own time-out.
    if (m_step == Step::Done || m_step == Step::Tls)
        return;
    if (m_step == Step::FirstByte)
        m_settings.silentLog.line("nothing from " + m_peer + " in time, closed before TLS");
    else
        m_settings.noRequestLog.line("no request from " + m_peer + " in time, closed");
    close();
}

void Incoming::refuse(const Err &refusal)
{
    m_step = Step::Done;
    m_deadline.cancel();
    replyAndClose(m_stream, refusal);
}

void Incoming::close()
{
    m_step = Step::Done;
    m_deadline.cancel();
    std::error_code ignored;
    if (m_stream)
        m_stream->close();
    else
        m_socket.close(ignored);
}

} // namespace relay
