#include "relay/Relay.h"

#include "wire/Identity.h"
#include "wire/LineChannel.h"
#include "wire/Log.h"
#include "wire/Messages.h"
#include "wire/ReadLine.h"
#include "wire/TcpStream.h"
#include "wire/Tls.h"
#include "wire/TlsStream.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace relay {

using namespace wire::msg;

Slot::Slot(std::shared_ptr<Admissions> admissions, asio::ip::address source, std::size_t thread)
    : m_admissions(std::move(admissions)), m_source(source), m_thread(thread)
{
    std::lock_guard<std::mutex> lock(m_admissions->mutex);
    ++m_admissions->total;
    ++m_admissions->perSource[m_source];
    ++m_admissions->perThread[m_thread];
}

Slot::~Slot()
{
    std::lock_guard<std::mutex> lock(m_admissions->mutex);
    --m_admissions->total;
    --m_admissions->perThread[m_thread];
    const auto it = m_admissions->perSource.find(m_source);
    if (it != m_admissions->perSource.end() && --it->second == 0)
        m_admissions->perSource.erase(it);
}

void Slot::moveTo(std::size_t thread)
{
    std::size_t there = 0;
    {
        std::lock_guard<std::mutex> lock(m_admissions->mutex);
        there = m_admissions->perThread[thread]++;
        --m_admissions->perThread[m_thread];
        m_thread = thread;
    }
    m_admissions->records[thread]->ensure(there + 1);
}

namespace {

bool outOfDescriptors(const std::error_code &ec)
{
    return ec == asio::error::no_descriptors || ec == std::errc::too_many_files_open_in_system;
}

} // namespace

Relay::Relay(wire::IoPool &pool, RelayConfig config)
    : m_pool(pool), m_io(pool.main()), m_config(std::move(config)), m_acceptor(m_io),
      m_registry(m_config.heartbeat, m_config.silence), m_acceptPause(m_io),
      m_admissions(std::make_shared<Admissions>())
{
    m_admissions->perThread.resize(pool.size());
    for (std::size_t i = 0; i < pool.size(); ++i)
        m_admissions->records.push_back(std::make_unique<wire::DescriptorRecords>(pool.context(i)));
    m_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

Relay::~Relay()
{
    if (m_node)
        m_node->stop();
    if (m_reserve >= 0)
        ::close(m_reserve);
}

std::size_t Relay::connectionCount() const
{
    std::lock_guard<std::mutex> lock(m_admissions->mutex);
    return m_admissions->total;
}

std::size_t Relay::leastLoaded() const
{
    std::lock_guard<std::mutex> lock(m_admissions->mutex);
    const auto &counts = m_admissions->perThread;
    return std::size_t(std::min_element(counts.begin(), counts.end()) - counts.begin());
}

bool Relay::start(std::string *error)
{
    if (!wire::ensureKeyAndCertificate(m_config.keyPath, m_config.certificatePath, "talvo-relay", &m_created, error)
        || !wire::fileFingerprint(m_config.certificatePath, &m_fingerprint, error))
        return false;
    m_tls = wire::makeServerContext(m_config.keyPath, m_config.certificatePath, error);
    if (!m_tls)
        return false;
    m_node = std::make_shared<ClusterNode>(m_io, m_config);
    if (!m_node->start(m_fingerprint, error))
        return false;
    m_registry.setHooks(m_node->hooks());
    std::error_code ec;
    const auto address = asio::ip::make_address(m_config.listen.host, ec);
    if (ec) {
        *error = "listen address " + m_config.listen.host + " is not an IP address";
        return false;
    }
    const asio::ip::tcp::endpoint ep(address, m_config.listen.port);
    ec = wire::listenOn(m_acceptor, ep);
    if (ec) {
        *error = "cannot listen on " + m_config.listen.text() + ": " + ec.message();
        return false;
    }
    m_port = m_acceptor.local_endpoint().port();
    // Non-blocking, so that shedOnePending never waits for a connection that is not there.
    m_acceptor.non_blocking(true, ec);
    acceptNext();
    return true;
}

void Relay::acceptNext()
{
    m_acceptor.async_accept([this](const std::error_code &ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (ec)
            return onAcceptFailed(ec);
        // Panels stay for days, streams come and go: the thread with the fewest connections
        // gets this one, counted now and not at the previous accept, so that a stream does
        // not land beside one that came in between (a busy stream next to a quiet one made
        // the quiet one wait for that thread's turn).
        const std::size_t thread = leastLoaded();
        if (thread != 0)
            wire::moveSocket(socket, m_pool.context(thread));
        onAccepted(std::move(socket), thread);
        acceptNext();
    });
}

void Relay::onAcceptFailed(const std::error_code &ec)
{
    // Accepting again at once would fail again at once: with descriptors exhausted that was
    // a busy loop, all CPU and a log line per turn, while the clients already in the
    // backlog waited until they gave up. Pause instead, and let one waiting client in and
    // out each time, so that the backlog moves and it learns at once that it was refused.
    const bool exhausted = outOfDescriptors(ec);
    if (exhausted)
        shedOnePending();
    m_acceptLog.line("accept failed: " + ec.message() + (exhausted ? ", " + std::to_string(connectionCount())
                                                                           + " connections open; pausing accepts"
                                                                     : std::string("; pausing accepts")));
    m_acceptPause.expires_after(kAcceptPause);
    m_acceptPause.async_wait([this](const std::error_code &ec) {
        if (!ec)
            acceptNext();
    });
}

void Relay::shedOnePending()
{
    if (m_reserve >= 0) {
        ::close(m_reserve);
        m_reserve = -1;
    }
    const int fd = ::accept4(m_acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
    m_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void Relay::onAccepted(asio::ip::tcp::socket socket, std::size_t thread)
{
    std::error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    if (ec)
        return; // gone already
    const auto source = remote.address();
    std::size_t total = 0, fromSource = 0, onThread = 0;
    {
        std::lock_guard<std::mutex> lock(m_admissions->mutex);
        const auto it = m_admissions->perSource.find(source);
        fromSource = it == m_admissions->perSource.end() ? 0 : it->second;
        total = m_admissions->total;
        onThread = m_admissions->perThread[thread];
    }
    if (total >= m_config.maxConnections || fromSource >= m_config.maxPerSource) {
        m_limitLog.line("connection from " + wire::endpointText(remote) + " closed: "
                        + (fromSource >= m_config.maxPerSource
                               ? std::to_string(fromSource) + " open from that address (max_per_source)"
                               : std::to_string(total) + " open (max_connections)"));
        return; // the socket closes here, before any TLS work
    }
    m_admissions->records[thread]->ensure(onThread + (thread == 0 ? 2 : 1)); // the listener lives on the first
    auto slot = std::make_shared<Slot>(m_admissions, source, thread);
    // From here on only the connection's own thread touches it.
    asio::post(m_pool.context(thread), [this, socket = std::move(socket), slot, peer = wire::endpointText(remote),
                                        thread]() mutable {
        awaitHello(std::move(socket), std::move(slot), std::move(peer), thread);
    });
}

void Relay::awaitHello(asio::ip::tcp::socket socket, std::shared_ptr<Slot> slot, std::string peer,
                       std::size_t thread)
{
    asio::io_context &home = m_pool.context(thread);
    auto held = std::make_shared<asio::ip::tcp::socket>(std::move(socket));
    auto timer = std::make_shared<asio::steady_timer>(home, std::min(kFirstByte, m_config.handshakeTimeout));
    const auto started = std::chrono::steady_clock::now();
    timer->async_wait([this, held, peer](const std::error_code &ec) {
        if (ec || !held->is_open())
            return;
        m_silentLog.line("nothing from " + peer + " in time, closed before TLS");
        std::error_code ignored;
        held->close(ignored);
    });
    auto onReadable = [this, held, timer, slot, peer, started, thread, &home](const std::error_code &ec) {
        timer->cancel();
        if (ec || !held->is_open())
            return;
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now()
                                                                                 - started);
        wire::TlsStream::accept(std::move(*held), m_tls, std::max(m_config.handshakeTimeout - spent,
                                                                  std::chrono::milliseconds(1)),
                                [this, peer, slot, thread, &home](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                    if (ec) {
                                        m_tlsLog.line("TLS handshake with " + peer + " failed: " + ec.message());
                                        return;
                                    }
                                    onHandshake(std::make_shared<Connection>(tls, home, thread, slot));
                                });
    };
    // The hello may be here already: the socket was registered with this thread's reactor
    // on the listener's thread, and a readiness this thread saw before anyone waited is
    // not reported again to a wait that starts later.
    std::error_code ec;
    if (held->available(ec) > 0 || ec)
        return onReadable(ec);
    held->async_wait(asio::socket_base::wait_read, std::move(onReadable));
}

void Relay::onHandshake(ConnectionPtr stream)
{
    // A peer that completes TLS and then says nothing is closed after the handshake timeout.
    auto timer = std::make_shared<asio::steady_timer>(stream->home(), m_config.handshakeTimeout);
    auto done = std::make_shared<bool>(false);
    timer->async_wait([this, stream, done](const std::error_code &ec) {
        if (ec || *done)
            return;
        *done = true;
        m_noRequestLog.line("no request from " + stream->peer() + " in time, closed");
        stream->close();
    });
    auto pending = std::make_shared<std::string>();
    wire::readLine(stream, pending, kMaxLine,
                   [this, stream, pending, timer, done](const std::error_code &ec, std::string line) {
                       if (*done)
                           return;
                       *done = true;
                       timer->cancel();
                       if (ec == std::errc::message_size) {
                           wire::logLine("oversized request from " + stream->peer() + ", closed");
                           return replyAndClose(stream, Err {Reason::Protocol, "request too long"});
                       }
                       if (ec) {
                           wire::logLine("connection from " + stream->peer() + " ended before a request ("
                                         + ec.message() + ")");
                           return stream->close();
                       }
                       onRequest(stream, pending, line);
                   });
}

void Relay::onRequest(ConnectionPtr stream, std::shared_ptr<std::string> pending, const std::string &line)
{
    if (!printableLine(line)) {
        wire::logLine("garbage request from " + stream->peer() + ", closed");
        return replyAndClose(stream, Err {Reason::Protocol, "bad request"});
    }
    if (const auto panel = Panel::decode(line)) {
        // The SN becomes a registry key and a log word: say plainly why such a name fails.
        if (!validSn(panel->sn)) {
            m_node->metrics().authFailures++;
            wire::logLine("refused panel registration from " + stream->peer() + ": the serial number is not 1-64 of "
                          "A-Z a-z 0-9 . - _");
            return replyAndClose(stream, Err {Reason::Secret, "bad serial number"});
        }
        if (!panelSecretOk(panel->sn, panel->secret)) {
            m_node->metrics().authFailures++;
            wire::logLine("refused panel registration for " + panel->sn.substr(0, 64) + " from " + stream->peer()
                          + ": wrong serial number or secret");
            return replyAndClose(stream, Err {Reason::Secret, "wrong serial number or secret"});
        }
        return m_registry.registerPanel(panel->sn, stream, std::move(*pending));
    }
    if (const auto data = Data::decode(line)) {
        if (!panelSecretOk(data->sn, data->secret)) {
            m_node->metrics().authFailures++;
            wire::logLine("refused data connection from " + stream->peer() + ": wrong serial number or secret");
            return stream->close();
        }
        return m_registry.attachData(data->sn, data->id, stream, std::move(*pending));
    }
    if (const auto user = User::decode(line))
        return onUser(stream, std::move(*pending), *user);
    if (const auto request = Stream::decode(line))
        return onStream(stream, std::move(*pending), *request);
    if (m_node->clustered() && m_node->takeForwarded(line, stream, *pending, m_registry))
        return;
    wire::logLine("bad request from " + stream->peer() + ": \"" + line.substr(0, 40) + "\"");
    replyAndClose(stream, Err {Reason::Protocol, "bad request"});
}

bool Relay::panelSecretOk(const std::string &sn, const std::string &secret) const
{
    const auto it = m_config.panelSecrets.find(sn);
    // Compare against something even for unknown SNs so timing does not reveal which exist.
    const bool match = secretEquals(it == m_config.panelSecrets.end() ? std::string("\n") : it->second, secret);
    return it != m_config.panelSecrets.end() && match;
}

Reason Relay::checkReach(const RelayUser *user, const std::string &sn) const
{
    if (!user)
        return Reason::Token;
    if (!validSn(sn) || !m_config.mayReach(*user, sn))
        return Reason::NotAllowed;
    if (!m_registry.isOnline(sn))
        return Reason::Offline;
    return Reason::Ok;
}

void Relay::onUser(ConnectionPtr stream, std::string pending, const User &login)
{
    const RelayUser *user = m_config.findUser(login.token);
    if (!user) {
        m_node->metrics().authFailures++;
        wire::logLine("refused PC from " + stream->peer() + ": unknown token");
        return replyAndClose(stream, Err {Reason::Token, "token refused"});
    }
    const int number = user->number;
    wire::logLine("PC user " + std::to_string(number) + " connected from " + stream->peer());
    auto channel = std::make_shared<wire::LineChannel>(stream->home(), stream, std::move(pending));
    std::weak_ptr<wire::LineChannel> weak = channel;
    channel->send(Ok {}.encode());
    channel->start(
        [this, weak, number, home = &stream->home()](const std::string &line) {
            auto ch = weak.lock();
            if (!ch)
                return;
            std::string error;
            if (const auto check = Check::decode(line, &error)) {
                // Users are never removed while the relay runs, so the number stays valid.
                const Reason verdict = checkReach(&m_config.users[std::size_t(number - 1)], check->sn);
                if (verdict == Reason::Offline && m_node->clustered()) {
                    const auto id = check->id;
                    return m_node->whenHeldElsewhere(check->sn, *home, [weak, id](bool held) {
                        if (auto c = weak.lock())
                            c->send(Checked {id, held ? Reason::Ok : Reason::Offline}.encode());
                    });
                }
                if (verdict != Reason::Ok)
                    wire::logLine("PC user " + std::to_string(number) + " may not use " + check->sn.substr(0, 64)
                                  + ": " + reasonText(verdict));
                ch->send(Checked {check->id, verdict}.encode());
                return;
            }
            wire::logLine("PC user " + std::to_string(number) + ": bad line (" + error + "), closed");
            ch->close();
        },
        [number](const std::error_code &ec) {
            wire::logLine("PC user " + std::to_string(number) + " disconnected (" + ec.message() + ")");
        },
        m_config.heartbeat, m_config.silence);
}

void Relay::onStream(ConnectionPtr stream, std::string pending, const wire::msg::Stream &request)
{
    const RelayUser *user = m_config.findUser(request.token);
    const std::string &sn = request.sn;
    const std::string who = user ? "user " + std::to_string(user->number) + "@" + stream->peer() : stream->peer();
    const Reason verdict = checkReach(user, sn);
    if (verdict == Reason::Token)
        m_node->metrics().authFailures++;
    if (verdict == Reason::Offline && m_node->clustered() && wire::parseHostPort(request.target))
        return m_node->forward(sn, request.target, who, stream, std::move(pending));
    if (verdict != Reason::Ok) {
        wire::logLine("refused stream from " + who + " to " + sn.substr(0, 64) + ": " + reasonText(verdict));
        return replyAndClose(stream, Err {verdict, "refused"});
    }
    if (!wire::parseHostPort(request.target)) {
        wire::logLine("refused stream from " + who + ": bad target address");
        return replyAndClose(stream, Err {Reason::Protocol, "bad target address"});
    }
    m_registry.requestStream(sn, request.target, who, stream, std::move(pending));
}

} // namespace relay
