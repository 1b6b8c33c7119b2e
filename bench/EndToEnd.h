// The two ends of a relay stream as the benchmarks play them: a simulated panel's side of an
// OPEN and a PC's control link with its streams. They run on asio and wire::TlsStream as the
// agent and the library do, so the relay sees the same connections and the load generators
// do the same TLS work at the ends.
#pragma once

#include "wire/Messages.h"
#include "wire/TlsStream.h"

#include <asio.hpp>
#include <asio/ssl/context.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace wire {
class LineChannel;
}

namespace bench {

using StreamDone = std::function<void(const std::error_code &, wire::TlsStream::Ptr)>;

// A simulating process's one key pair: every panel it plays registers the one fingerprint,
// and every stream's server handshake uses the one context, so that a panel costs no more
// than its control link.
struct PanelKey
{
    std::shared_ptr<asio::ssl::context> server;
    std::string fingerprint;
};
// Made in `dir` (created when missing); no server context on failure, and *error says why.
PanelKey makePanelKey(const std::string &dir, std::string *error);

// What a panel's control link sends first: the hello and the registration.
std::string panelRegistration(const std::string &sn, const std::string &secret, const std::string &key);

// The panel's side of an OPEN: a plain data connection to `relay` joined with open.join,
// exactly "OK\n" read (what follows is the PC's TLS), the server handshake, then the PC's
// proof of open.secret read and checked. `done` gets the proven stream, or why not
// (std::errc::permission_denied for a wrong proof). All within `timeout`.
void acceptStream(asio::io_context &io, const asio::ip::tcp::endpoint &relay,
                  std::shared_ptr<asio::ssl::context> server, const wire::msg::Open &open,
                  std::chrono::milliseconds timeout, StreamDone done);

// The PC's side of a GRANTED: a plain data connection to `relay` joined with grant.join,
// exactly "OK\n", the client handshake with `pinned` (a context that trusts grant.key only),
// and the proof sent as the first bytes. All within `timeout`.
void joinStream(asio::io_context &io, const asio::ip::tcp::endpoint &relay, const wire::msg::Granted &grant,
                std::shared_ptr<asio::ssl::context> pinned, std::chrono::milliseconds timeout, StreamDone done);

// A PC's control link to one relay (TLS, pinned to the relay's fingerprint): the hello and
// USER, then checks and streams, any number under way at once. Its data connections go to
// the same relay, as the library's do. Everything runs on the io_context's thread.
class PcLink : public std::enable_shared_from_this<PcLink>
{
public:
    using Ptr = std::shared_ptr<PcLink>;
    static void connect(asio::io_context &io, const asio::ip::tcp::endpoint &relay, const std::string &fingerprint,
                        const std::string &token, std::chrono::milliseconds timeout,
                        std::function<void(const std::error_code &, Ptr)> done);

    PcLink(asio::io_context &io, const asio::ip::tcp::endpoint &relay);
    // STREAM, then joinStream once GRANTED. A refusal, or the link lost meanwhile, fails with
    // asio::error::connection_refused or the link's error; lastRefusal() keeps the line.
    void open(const std::string &sn, const std::string &target, StreamDone done);
    // CHECK: true when the relay answered OK.
    void check(const std::string &sn, std::function<void(bool)> done);
    void close();
    bool isOpen() const;
    const std::string &lastRefusal() const { return m_lastRefusal; }
    std::size_t refusals() const { return m_refusals; }

private:
    void start(wire::TlsStream::Ptr tls, std::string pending);
    void onLine(const std::string &line);
    void lost(const std::error_code &ec);
    std::shared_ptr<asio::ssl::context> pinnedTo(const std::string &key);

    asio::io_context &m_io;
    asio::ip::tcp::endpoint m_relay;
    std::shared_ptr<wire::LineChannel> m_channel;
    std::uint64_t m_nextId = 0;
    std::map<std::uint64_t, StreamDone> m_streams;
    std::map<std::uint64_t, std::function<void(bool)>> m_checks;
    // Panels of one simulating process share a key: one client context per key, not per stream.
    std::map<std::string, std::shared_ptr<asio::ssl::context>> m_pinned;
    std::string m_lastRefusal;
    std::size_t m_refusals = 0;
};

// An echo target on the acceptor's io thread, for latency and many-stream figures: every
// accepted connection sends back what it reads.
void startEcho(asio::ip::tcp::acceptor &acceptor);

// A bulk sink, blocking, a thread per connection: reads until end of stream, answers the
// byte count (8 bytes), closes. Returns when the acceptor fails (it is closed). `cpuNs`, when
// given, is added the CPU time of the reading threads, before each count is answered.
void runSink(asio::ip::tcp::acceptor &acceptor, std::atomic<long long> *cpuNs = nullptr);

// An io_context on a thread of its own for as long as this lives. await() starts work on
// that thread and waits, bounded, for the result the work hands to its callback.
class IoThread
{
public:
    IoThread();
    ~IoThread();
    IoThread(const IoThread &) = delete;
    IoThread &operator=(const IoThread &) = delete;

    asio::io_context io{1};

    template <class T>
    std::optional<T> await(std::function<void(std::function<void(T)>)> start, double seconds)
    {
        auto promise = std::make_shared<std::promise<T>>();
        auto given = std::make_shared<bool>(false);
        std::future<T> result = promise->get_future();
        asio::post(io, [start = std::move(start), promise, given] {
            start([promise, given](T value) {
                if (*given)
                    return;
                *given = true;
                promise->set_value(std::move(value));
            });
        });
        if (result.wait_for(std::chrono::duration<double>(seconds)) != std::future_status::ready)
            return std::nullopt;
        return result.get();
    }

private:
    asio::executor_work_guard<asio::io_context::executor_type> m_work{io.get_executor()};
    std::thread m_thread;
};

// 127.0.0.1:port
asio::ip::tcp::endpoint loopback(std::uint16_t port);
// Opens, binds to a free loopback port and listens; returns the port.
std::uint16_t listenLoopback(asio::ip::tcp::acceptor &a);
// A loopback port free a moment ago.
std::uint16_t freePort();

} // namespace bench
