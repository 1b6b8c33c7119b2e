#include "EndToEnd.h"

#include "BenchProcess.h"
#include "wire/EndToEnd.h"
#include "wire/Identity.h"
#include "wire/LineChannel.h"
#include "wire/ReadLine.h"
#include "wire/Tls.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace bench {

using namespace wire::msg;
using Clock = std::chrono::steady_clock;

namespace {

// One data connection from its connect until its stream's TLS is up and proven, under one
// deadline. The panel's and the PC's sides differ only after the relay's "OK\n".
struct Joining : std::enable_shared_from_this<Joining>
{
    explicit Joining(asio::io_context &io) : socket(io), timer(io) {}

    asio::ip::tcp::socket socket;
    asio::steady_timer timer;
    std::string request;
    std::array<char, 3> answer {};
    wire::TlsStream::Ptr tls;
    std::string secret, proof;
    std::size_t proofSize = 0;
    bool expired = false, finished = false;
    StreamDone done;

    void arm(std::chrono::milliseconds timeout)
    {
        timer.expires_after(timeout);
        timer.async_wait([weak = weak_from_this()](const std::error_code &ec) {
            auto self = weak.lock();
            if (ec || !self)
                return;
            self->expired = true;
            std::error_code ignored;
            self->socket.close(ignored);
            if (self->tls)
                self->tls->abort();
        });
    }

    std::chrono::milliseconds left() const
    {
        return std::max(std::chrono::milliseconds(1),
                        std::chrono::ceil<std::chrono::milliseconds>(timer.expiry() - Clock::now()));
    }

    void finish(std::error_code ec)
    {
        if (finished)
            return;
        finished = true;
        timer.cancel();
        if (ec && expired)
            ec = asio::error::timed_out;
        std::error_code ignored;
        socket.close(ignored);
        auto stream = std::move(tls);
        if (ec && stream)
            stream->abort();
        auto handler = std::move(done);
        handler(ec, ec ? nullptr : stream);
    }

    // Connects, sends the hello and the JOIN, and reads exactly "OK\n": not a byte more,
    // since what follows is TLS that OpenSSL must read from the socket itself.
    void join(const asio::ip::tcp::endpoint &relay, const std::string &value, std::function<void()> next)
    {
        auto self = shared_from_this();
        socket.async_connect(relay, [self, value, next](const std::error_code &ec) {
            if (ec)
                return self->finish(ec);
            std::error_code ignored;
            self->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
            self->request = Hello {}.encode() + "\n" + Join {value, {}}.encode() + "\n";
            asio::async_write(self->socket, asio::buffer(self->request), [self, next](const std::error_code &ec,
                                                                                      std::size_t) {
                if (ec)
                    return self->finish(ec);
                asio::async_read(self->socket, asio::buffer(self->answer), [self, next](const std::error_code &ec,
                                                                                        std::size_t) {
                    if (ec)
                        return self->finish(ec);
                    if (std::string(self->answer.data(), self->answer.size()) != Ok {}.encode() + "\n")
                        return self->finish(asio::error::connection_refused);
                    next();
                });
            });
        });
    }

    void readProof()
    {
        auto self = shared_from_this();
        tls->readSome(asio::buffer(&proof[proofSize], proof.size() - proofSize),
                      [self](const std::error_code &ec, std::size_t n) {
                          if (ec)
                              return self->finish(ec);
                          self->proofSize += n;
                          if (self->proofSize < self->proof.size())
                              return self->readProof();
                          if (!wire::sameProof(self->proof, wire::streamProof(*self->tls, self->secret)))
                              return self->finish(std::make_error_code(std::errc::permission_denied));
                          self->finish({});
                      });
    }
};

} // namespace

asio::ip::tcp::endpoint loopback(std::uint16_t port)
{
    return {asio::ip::address_v4::loopback(), port};
}

std::uint16_t listenLoopback(asio::ip::tcp::acceptor &a)
{
    a.open(asio::ip::tcp::v4());
    a.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    a.bind(loopback(0));
    a.listen(1024);
    return a.local_endpoint().port();
}

std::uint16_t freePort()
{
    asio::io_context io;
    asio::ip::tcp::acceptor a(io);
    return listenLoopback(a);
}

PanelKey makePanelKey(const std::string &dir, std::string *error)
{
    PanelKey out;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make " + dir + ": " + std::strerror(errno);
        return out;
    }
    const std::string key = dir + "/panel.key", certificate = dir + "/panel.crt";
    bool created = false;
    if (!wire::ensureKeyAndCertificate(key, certificate, "talvo-panel", &created, error)
        || !wire::fileFingerprint(certificate, &out.fingerprint, error))
        return out;
    out.server = wire::makeServerContext(key, certificate, error);
    return out;
}

std::string panelRegistration(const std::string &sn, const std::string &secret, const std::string &key)
{
    return Hello {}.encode() + "\n" + Panel {sn, secret, key}.encode() + "\n";
}

void acceptStream(asio::io_context &io, const asio::ip::tcp::endpoint &relay,
                  std::shared_ptr<asio::ssl::context> server, const Open &open, std::chrono::milliseconds timeout,
                  StreamDone done)
{
    auto j = std::make_shared<Joining>(io);
    j->done = std::move(done);
    j->secret = open.secret;
    j->arm(timeout);
    j->join(relay, open.join, [j, server] {
        wire::TlsStream::handshakeOn(std::move(j->socket), server, true, j->left(),
                                     [j](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                         if (ec)
                                             return j->finish(ec);
                                         j->tls = tls;
                                         j->proof.assign(wire::kProofSize, '\0');
                                         j->readProof();
                                     });
    });
}

void joinStream(asio::io_context &io, const asio::ip::tcp::endpoint &relay, const Granted &grant,
                std::shared_ptr<asio::ssl::context> pinned, std::chrono::milliseconds timeout, StreamDone done)
{
    auto j = std::make_shared<Joining>(io);
    j->done = std::move(done);
    j->secret = grant.secret;
    j->arm(timeout);
    j->join(relay, grant.join, [j, pinned] {
        wire::TlsStream::handshakeOn(std::move(j->socket), pinned, false, j->left(),
                                     [j](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                         if (ec)
                                             return j->finish(ec);
                                         j->tls = tls;
                                         j->proof = wire::streamProof(*tls, j->secret);
                                         if (j->proof.size() != wire::kProofSize)
                                             return j->finish(asio::error::fault);
                                         tls->writeAll(asio::buffer(j->proof),
                                                       [j](const std::error_code &ec, std::size_t) { j->finish(ec); });
                                     });
    });
}

void PcLink::connect(asio::io_context &io, const asio::ip::tcp::endpoint &relay, const std::string &fingerprint,
                     const std::string &token, std::chrono::milliseconds timeout,
                     std::function<void(const std::error_code &, Ptr)> done)
{
    const wire::HostPort address {relay.address().to_string(), relay.port()};
    wire::TlsStream::connect(io, wire::makeClientContext(fingerprint), address, timeout, [&io, relay, token, timeout,
                                                                                          done](const std::error_code &ec,
                                                                                                wire::TlsStream::Ptr tls) {
        if (ec)
            return done(ec, nullptr);
        // The relay's answer to USER within the same time again.
        auto timer = std::make_shared<asio::steady_timer>(io, timeout);
        timer->async_wait([tls](const std::error_code &ec) {
            if (!ec)
                tls->abort();
        });
        auto line = std::make_shared<std::string>(Hello {}.encode() + "\n" + User {token}.encode() + "\n");
        tls->writeAll(asio::buffer(*line), [&io, relay, tls, line, timer, done](const std::error_code &ec, std::size_t) {
            if (ec) {
                timer->cancel();
                return done(ec, nullptr);
            }
            auto pending = std::make_shared<std::string>();
            wire::readLine(tls, pending, kMaxLine, [&io, relay, tls, pending, timer,
                                                    done](const std::error_code &ec, std::string answer) {
                timer->cancel();
                if (ec)
                    return done(ec, nullptr);
                if (!Ok::decode(answer)) {
                    tls->close();
                    return done(std::make_error_code(std::errc::permission_denied), nullptr);
                }
                auto link = std::make_shared<PcLink>(io, relay);
                link->start(tls, std::move(*pending));
                done({}, link);
            });
        });
    });
}

PcLink::PcLink(asio::io_context &io, const asio::ip::tcp::endpoint &relay) : m_io(io), m_relay(relay) {}

void PcLink::start(wire::TlsStream::Ptr tls, std::string pending)
{
    m_channel = std::make_shared<wire::LineChannel>(m_io, tls, std::move(pending));
    std::weak_ptr<PcLink> weak = shared_from_this();
    m_channel->start(
        [weak](const std::string &line) {
            if (auto self = weak.lock())
                self->onLine(line);
        },
        [weak](const std::error_code &ec) {
            if (auto self = weak.lock())
                self->lost(ec);
        });
}

bool PcLink::isOpen() const
{
    return m_channel && m_channel->isOpen();
}

void PcLink::open(const std::string &sn, const std::string &target, StreamDone done)
{
    if (!isOpen())
        return asio::post(m_io, [done] { done(asio::error::not_connected, nullptr); });
    const std::uint64_t id = ++m_nextId;
    m_streams[id] = std::move(done);
    m_channel->send(wire::msg::Stream {id, sn, target}.encode());
}

void PcLink::check(const std::string &sn, std::function<void(bool)> done)
{
    if (!isOpen())
        return asio::post(m_io, [done] { done(false); });
    const std::uint64_t id = ++m_nextId;
    m_checks[id] = std::move(done);
    m_channel->send(Check {id, sn}.encode());
}

std::shared_ptr<asio::ssl::context> PcLink::pinnedTo(const std::string &key)
{
    auto &ctx = m_pinned[key];
    if (!ctx)
        ctx = wire::makeClientContext(key);
    return ctx;
}

void PcLink::onLine(const std::string &line)
{
    // GRANTED holds the stream's secret: the line goes nowhere but here.
    if (const auto grant = Granted::decode(line)) {
        const auto it = m_streams.find(grant->id);
        if (it == m_streams.end())
            return;
        StreamDone done = std::move(it->second);
        m_streams.erase(it);
        return joinStream(m_io, m_relay, *grant, pinnedTo(grant->key), std::chrono::seconds(20), std::move(done));
    }
    if (const auto refused = Refused::decode(line)) {
        const auto it = m_streams.find(refused->id);
        if (it == m_streams.end())
            return;
        StreamDone done = std::move(it->second);
        m_streams.erase(it);
        m_lastRefusal = line;
        ++m_refusals;
        return done(asio::error::connection_refused, nullptr);
    }
    if (const auto checked = Checked::decode(line)) {
        const auto it = m_checks.find(checked->id);
        if (it == m_checks.end())
            return;
        auto done = std::move(it->second);
        m_checks.erase(it);
        done(checked->verdict == Reason::Ok);
    }
}

void PcLink::lost(const std::error_code &ec)
{
    auto streams = std::move(m_streams);
    auto checks = std::move(m_checks);
    m_streams.clear();
    m_checks.clear();
    for (auto &[id, done] : streams)
        done(ec ? ec : asio::error::connection_aborted, nullptr);
    for (auto &[id, done] : checks)
        done(false);
}

void PcLink::close()
{
    if (m_channel)
        m_channel->close();
    lost(asio::error::operation_aborted);
}

IoThread::IoThread() : m_thread([this] { io.run(); }) {}

IoThread::~IoThread()
{
    m_work.reset();
    io.stop();
    m_thread.join();
}

void runSink(asio::ip::tcp::acceptor &acceptor, std::atomic<long long> *cpuNs)
{
    for (;;) {
        asio::ip::tcp::socket s(acceptor.get_executor());
        std::error_code ec;
        acceptor.accept(s, ec);
        if (ec)
            return;
        std::thread([s = std::move(s), cpuNs]() mutable {
            const double cpu0 = threadCpuSeconds();
            std::vector<char> buf(1 << 20);
            std::uint64_t total = 0;
            std::error_code ec;
            for (;;) {
                total += s.read_some(asio::buffer(buf), ec);
                if (ec)
                    break;
            }
            if (cpuNs)
                *cpuNs += (long long)((threadCpuSeconds() - cpu0) * 1e9);
            asio::write(s, asio::buffer(&total, sizeof total), ec);
            s.close(ec);
        }).detach();
    }
}

void startEcho(asio::ip::tcp::acceptor &acceptor)
{
    using asio::ip::tcp;
    acceptor.async_accept([&acceptor](const std::error_code &ec, tcp::socket s) {
        if (ec)
            return;
        auto sock = std::make_shared<tcp::socket>(std::move(s));
        sock->set_option(tcp::no_delay(true));
        auto buf = std::make_shared<std::array<char, 16384>>();
        auto loop = std::make_shared<std::function<void()>>();
        *loop = [sock, buf, loop] {
            sock->async_read_some(asio::buffer(*buf), [sock, buf, loop](const std::error_code &ec, std::size_t n) {
                if (ec) {
                    *loop = nullptr;
                    return;
                }
                asio::async_write(*sock, asio::buffer(buf->data(), n), [loop](const std::error_code &ec, std::size_t) {
                    if (!ec && *loop)
                        (*loop)();
                });
            });
        };
        (*loop)();
        startEcho(acceptor);
    });
}

} // namespace bench
