#include "wire/TlsStream.h"

#include "wire/CloseOnExec.h"
#include "wire/SocketError.h"

#include "wire/TcpStream.h"
#include "wire/Tls.h"

#include <asio/ssl/error.hpp>
#include <algorithm>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace wire {

namespace {

constexpr int kWaitRead = 0;
constexpr int kWaitWrite = 1;
constexpr int kFailed = 2;
// A peer that reads nothing more cannot hold a closed stream's socket longer than this.
constexpr std::chrono::seconds kCloseGrace{5};
// Send buffers up to this size stay between bursts; larger ones are given back.
constexpr std::size_t kKeptSendBuffer = 16 * 1024;

// Our BIOs keep no state of their own: `data` is the stream's, which outlives them.
BIO *newBio(BIO_METHOD *method, void *data)
{
    BIO *bio = BIO_new(method);
    BIO_set_data(bio, data);
    BIO_set_init(bio, 1);
    return bio;
}

// The write side of the connection: OpenSSL appends its records straight to the stream's
// outgoing buffer, from where they leave in one send. A memory BIO would add a copy, and
// grows its buffer by cleansed reallocation, which cost more than the encryption.
int appendWrite(BIO *bio, const char *data, int len)
{
    static_cast<std::string *>(BIO_get_data(bio))->append(data, std::size_t(len));
    return len;
}

long appendCtrl(BIO *bio, int cmd, long, void *)
{
    switch (cmd) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_PENDING:
    case BIO_CTRL_WPENDING:
        return long(static_cast<std::string *>(BIO_get_data(bio))->size());
    default:
        return 0;
    }
}

BIO *newAppendBio(std::string *out)
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "talvo append");
        BIO_meth_set_write(m, appendWrite);
        BIO_meth_set_ctrl(m, appendCtrl);
        return m;
    }();
    return newBio(method, out);
}

// The read side: what a wait for input has received already (waitBeforeReads) goes first,
// then the socket.
int receivedRead(BIO *bio, char *out, int len)
{
    auto *received = static_cast<TlsStream::Received *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (received->at < received->size) {
        const int n = std::min(len, int(received->size - received->at));
        std::memcpy(out, received->data.data() + received->at, std::size_t(n));
        received->at += std::size_t(n);
        return n;
    }
    if (received->error)
        return -1;
    const int ret = BIO_read(BIO_next(bio), out, len);
    BIO_copy_next_retry(bio);
    return ret;
}

long receivedCtrl(BIO *bio, int cmd, long num, void *ptr)
{
    auto *received = static_cast<TlsStream::Received *>(BIO_get_data(bio));
    const long left = long(received->size - received->at);
    if (cmd == BIO_CTRL_PENDING)
        return left + BIO_ctrl(BIO_next(bio), cmd, num, ptr);
    if (cmd == BIO_CTRL_EOF && left > 0)
        return 0;
    return BIO_ctrl(BIO_next(bio), cmd, num, ptr);
}

BIO *newReceivedBio(TlsStream::Received *received, BIO *socket)
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_FILTER, "talvo received");
        BIO_meth_set_read(m, receivedRead);
        BIO_meth_set_ctrl(m, receivedCtrl);
        return m;
    }();
    return BIO_push(newBio(method, received), socket);
}

struct Deadline
{
    explicit Deadline(const asio::any_io_executor &ex) : timer(ex) {}
    asio::steady_timer timer;
    bool expired = false;
};

} // namespace

TlsStream::TlsStream(asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> ctx, bool server)
    : m_socket(std::move(socket)), m_ctx(std::move(ctx)), m_closeTimer(m_socket.get_executor())
{
    std::error_code ec;
    m_socket.set_option(asio::ip::tcp::no_delay(true), ec);
    m_socket.non_blocking(true, ec);
    const auto ep = m_socket.remote_endpoint(ec);
    m_peer = ec ? std::string("?") : endpointText(ep);
    m_ssl = SSL_new(m_ctx->native_handle());
    BIO *in = newReceivedBio(&m_received, BIO_new_socket(int(m_socket.native_handle()), BIO_NOCLOSE));
    SSL_set_bio(m_ssl, in, newAppendBio(&m_records));
    if (server)
        SSL_set_accept_state(m_ssl);
    else
        SSL_set_connect_state(m_ssl);
}

TlsStream::~TlsStream()
{
    SSL_free(m_ssl);
}

int TlsStream::classify(int ret, std::error_code &ec)
{
    // A failure the last wait received stands for the socket's: reported once, it is gone there.
    const std::error_code sysError = m_received.error ? m_received.error : lastSocketError();
    const int err = SSL_get_error(m_ssl, ret);
    if (err == SSL_ERROR_WANT_READ)
        return kWaitRead;
    if (err == SSL_ERROR_WANT_WRITE)
        return kWaitWrite;
    if (!m_socket.is_open()) {
        ERR_clear_error();
        ec = asio::error::operation_aborted;
    } else if (err == SSL_ERROR_ZERO_RETURN) {
        ec = asio::error::eof;
    } else if (err == SSL_ERROR_SYSCALL) {
        // No socket error: the peer closed TCP without close_notify, i.e. it was cut off.
        ec = sysError ? sysError : std::error_code(asio::ssl::error::stream_truncated);
    } else {
        const unsigned long e = ERR_peek_last_error();
        ec = ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING
            ? std::error_code(asio::ssl::error::stream_truncated)
            : std::error_code(static_cast<int>(e), asio::error::get_ssl_category());
    }
    ERR_clear_error();
    return kFailed;
}

void TlsStream::complete(IoHandler handler, const std::error_code &ec, std::size_t n)
{
    // Never complete inside the initiating call: the splicer's read/write chain would
    // otherwise recurse without bound while data keeps arriving.
    asio::post(m_socket.get_executor(), [handler = std::move(handler), ec, n] { handler(ec, n); });
}

void TlsStream::handshake(std::function<void(const std::error_code &)> done)
{
    ERR_clear_error();
    clearSocketError();
    const int ret = SSL_do_handshake(m_ssl);
    std::error_code ec;
    const int what = ret == 1 ? kWaitRead : classify(ret, ec);
    // Whatever the step produced (hello, certificate, finished) must be sent before we wait.
    flush([this, ret, what, ec, done = std::move(done)](const std::error_code &sendError) mutable {
        auto self = shared_from_this();
        if (sendError)
            return done(sendError);
        if (ret == 1)
            return done({});
        if (what == kFailed)
            return done(ec ? ec : std::error_code(asio::error::connection_aborted));
        // The peer's answer may have come while the flush was under way: its readiness was
        // reported then, to nobody, and a wait now would not hear of it again (edge-triggered).
        std::error_code probe;
        if (self->m_socket.available(probe) > 0 || probe)
            return asio::post(self->m_socket.get_executor(),
                              [self, done = std::move(done)]() mutable { self->handshake(std::move(done)); });
        self->m_socket.async_wait(asio::socket_base::wait_read,
                                  [self, done = std::move(done)](const std::error_code &ec) mutable {
                                      if (ec)
                                          return done(ec);
                                      self->handshake(std::move(done));
                                  });
    });
}

void TlsStream::flush(Flushed done)
{
    m_flushWaiters.push_back(std::move(done));
    pumpOut();
}

void TlsStream::pumpOut()
{
    if (m_busy)
        return;
    if (m_records.empty() || !m_socket.is_open()) {
        auto waiters = std::move(m_flushWaiters);
        m_flushWaiters.clear();
        const std::error_code ec = m_socket.is_open() ? std::error_code() : asio::error::operation_aborted;
        releaseSendBuffers();
        for (auto &w : waiters)
            w(ec);
        return;
    }
    // Records made while this send is under way collect in the other buffer.
    m_busy = true;
    m_sending.clear();
    m_sending.swap(m_records);
    auto self = shared_from_this();
    asio::async_write(m_socket, asio::buffer(m_sending), [self](const std::error_code &ec, std::size_t) {
        self->m_busy = false;
        if (ec) {
            auto waiters = std::move(self->m_flushWaiters);
            self->m_flushWaiters.clear();
            for (auto &w : waiters)
                w(ec);
            return;
        }
        self->pumpOut();
    });
}

void TlsStream::releaseSendBuffers()
{
    if (m_sending.capacity() > kKeptSendBuffer)
        std::string().swap(m_sending);
    if (m_records.capacity() > kKeptSendBuffer)
        std::string().swap(m_records);
}

void TlsStream::connect(asio::io_context &io, std::shared_ptr<asio::ssl::context> ctx, const HostPort &address,
                        std::chrono::milliseconds timeout, Done done)
{
    connect(io.get_executor(), std::move(ctx), address, timeout, std::move(done));
}

void TlsStream::connect(const asio::any_io_executor &ex, std::shared_ptr<asio::ssl::context> ctx,
                        const HostPort &address, std::chrono::milliseconds timeout, Done done)
{
    auto deadline = std::make_shared<Deadline>(ex);
    auto resolver = std::make_shared<asio::ip::tcp::resolver>(ex);
    auto socket = std::make_shared<asio::ip::tcp::socket>(ex);
    auto finish = std::make_shared<Done>(std::move(done));
    auto tls = std::make_shared<Ptr>();

    deadline->timer.expires_after(timeout);
    deadline->timer.async_wait([deadline, resolver, socket, tls](const std::error_code &ec) {
        if (ec)
            return;
        deadline->expired = true;
        resolver->cancel();
        std::error_code ignored;
        socket->close(ignored);
        if (*tls)
            (*tls)->close();
    });
    auto fail = [deadline, finish](std::error_code ec) {
        deadline->timer.cancel();
        if (deadline->expired)
            ec = asio::error::timed_out;
        (*finish)(ec, nullptr);
    };

    resolver->async_resolve(
        address.host, std::to_string(address.port),
        [=](const std::error_code &ec, asio::ip::tcp::resolver::results_type results) {
            if (ec)
                return fail(ec);
            asio::async_connect(*socket, results, [=](const std::error_code &ec, const asio::ip::tcp::endpoint &) {
                if (ec)
                    return fail(ec);
                closeOnExec(*socket);
                *tls = std::make_shared<TlsStream>(std::move(*socket), ctx, false);
                (*tls)->handshake([=](const std::error_code &ec) {
                    if (ec || deadline->expired)
                        return fail(ec);
                    deadline->timer.cancel();
                    (*finish)({}, *tls);
                });
            });
        });
}

void TlsStream::accept(asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> ctx,
                       std::chrono::milliseconds timeout, Done done)
{
    handshakeOn(std::move(socket), std::move(ctx), true, timeout, std::move(done));
}

void TlsStream::handshakeOn(asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> ctx, bool server,
                          std::chrono::milliseconds timeout, Done done)
{
    auto deadline = std::make_shared<Deadline>(socket.get_executor());
    auto tls = std::make_shared<TlsStream>(std::move(socket), std::move(ctx), server);
    deadline->timer.expires_after(timeout);
    deadline->timer.async_wait([deadline, weak = std::weak_ptr<TlsStream>(tls)](const std::error_code &ec) {
        if (ec)
            return;
        deadline->expired = true;
        if (auto t = weak.lock())
            t->close();
    });
    tls->handshake([deadline, tls, done = std::move(done)](const std::error_code &ec) {
        deadline->timer.cancel();
        if (deadline->expired)
            return done(asio::error::timed_out, nullptr);
        if (ec)
            return done(ec, nullptr);
        done({}, tls);
    });
}

void TlsStream::readSome(asio::mutable_buffer buffer, IoHandler handler)
{
    if (!m_waitBeforeReads)
        return readNow(buffer, std::move(handler));
    waitReadable([self = shared_from_this(), buffer, handler = std::move(handler)](const std::error_code &ec) mutable {
        if (ec)
            return handler(ec, 0);
        self->readNow(buffer, std::move(handler));
    });
}

void TlsStream::readNow(asio::mutable_buffer buffer, IoHandler handler)
{
    if (!m_socket.is_open())
        return complete(std::move(handler), asio::error::operation_aborted, 0);
    ERR_clear_error();
    clearSocketError();
    std::size_t got = 0;
    const int ret = SSL_read_ex(m_ssl, buffer.data(), buffer.size(), &got);
    if (ret == 1) {
        // Records already read ahead go out with this one: one write downstream, not four.
        auto *base = static_cast<char *>(buffer.data());
        std::size_t more = 0;
        while (got < buffer.size() && SSL_has_pending(m_ssl)
               && SSL_read_ex(m_ssl, base + got, buffer.size() - got, &more) == 1)
            got += more;
        ERR_clear_error();
        if (!m_records.empty())
            pumpOut(); // e.g. an answer to a key update
        return complete(std::move(handler), {}, got);
    }
    std::error_code ec;
    const int what = classify(ret, ec);
    if (what == kFailed)
        return complete(std::move(handler), ec, 0);
    auto self = shared_from_this();
    m_socket.async_wait(what == kWaitRead ? asio::socket_base::wait_read : asio::socket_base::wait_write,
                        [self, buffer, handler = std::move(handler)](const std::error_code &ec) mutable {
                            if (ec)
                                return handler(ec, 0);
                            self->readNow(buffer, std::move(handler));
                        });
}

void TlsStream::writeAll(asio::const_buffer buffer, IoHandler handler)
{
    if (!m_socket.is_open())
        return complete(std::move(handler), asio::error::operation_aborted, 0);
    // Writing into memory never blocks: all records are made now and sent as one.
    const char *data = static_cast<const char *>(buffer.data());
    std::size_t left = buffer.size();
    while (left > 0) {
        ERR_clear_error();
        clearSocketError();
        std::size_t written = 0;
        const int ret = SSL_write_ex(m_ssl, data, left, &written);
        if (ret != 1) {
            std::error_code ec;
            classify(ret, ec);
            return complete(std::move(handler), ec ? ec : std::error_code(asio::error::fault), buffer.size() - left);
        }
        data += written;
        left -= written;
    }
    const std::size_t total = buffer.size();
    flush([handler = std::move(handler), total](const std::error_code &ec) { handler(ec, ec ? 0 : total); });
}

void TlsStream::waitReadable(std::function<void(const std::error_code &)> handler)
{
    if (!m_waitBeforeReads) {
        std::error_code ec;
        if (SSL_has_pending(m_ssl) || m_socket.available(ec) > 0 || ec || !m_socket.is_open())
            return asio::post(m_socket.get_executor(), [handler = std::move(handler)] { handler({}); });
        return m_socket.async_wait(asio::socket_base::wait_read, std::move(handler));
    }
    if (SSL_has_pending(m_ssl) || m_received.at < m_received.size || m_received.error || !m_socket.is_open())
        return asio::post(m_socket.get_executor(), [handler = std::move(handler)] { handler({}); });
    m_received.at = m_received.size = 0;
    m_socket.async_receive(asio::buffer(m_received.data),
                           [self = shared_from_this(), handler = std::move(handler)](const std::error_code &ec,
                                                                                     std::size_t n) {
                               if (ec == asio::error::operation_aborted)
                                   return handler(ec);
                               // The end of input or a failure is left for the read that
                               // follows, which reports it as it always did.
                               self->m_received.size = n;
                               if (ec && ec != asio::error::eof)
                                   self->m_received.error = ec;
                               handler({});
                           });
}

std::string TlsStream::peerFingerprint() const
{
    return certificateFingerprint(SSL_get0_peer_certificate(m_ssl));
}

bool TlsStream::exportKeyingMaterial(unsigned char *out, std::size_t size, const char *label) const
{
    if (!SSL_is_init_finished(m_ssl))
        return false;
    return SSL_export_keying_material(m_ssl, out, size, label, std::strlen(label), nullptr, 0, 0) == 1;
}

void TlsStream::shutdownSend()
{
    if (m_sentCloseNotify || !m_socket.is_open())
        return;
    m_sentCloseNotify = true;
    ERR_clear_error();
    SSL_shutdown(m_ssl); // only queues the alert in m_records; never waits for the peer's
    ERR_clear_error();
    flush([this](const std::error_code &ec) {
        std::error_code ignored;
        if (!ec)
            m_socket.shutdown(asio::socket_base::shutdown_send, ignored);
        if (m_closeWhenSent) {
            m_closeTimer.cancel();
            m_socket.close(ignored);
        }
    });
}

void TlsStream::close()
{
    std::error_code ec;
    if (m_sentCloseNotify && m_socket.is_open() && (m_busy || !m_records.empty())) {
        if (m_closeWhenSent)
            return;
        m_closeWhenSent = true;
        m_closeTimer.expires_after(kCloseGrace);
        m_closeTimer.async_wait([self = shared_from_this()](const std::error_code &ec) {
            if (!ec)
                resetConnection(self->m_socket);
        });
        return;
    }
    m_closeTimer.cancel();
    m_socket.close(ec);
}

void TlsStream::moveTo(asio::io_context &io)
{
    // OpenSSL's BIO holds the descriptor, which stays.
    moveSocket(m_socket, io);
    m_closeTimer = asio::steady_timer(io);
}

void TlsStream::abort()
{
    m_closeTimer.cancel();
    resetConnection(m_socket);
}

} // namespace wire
