#include "relay/Relay.h"

#include "wire/EndToEnd.h"
#include "wire/Identity.h"
#include "wire/Log.h"
#include "wire/Messages.h"
#include "wire/SocketSplice.h"
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
    if (m_exempt)
        return;
    const auto it = m_admissions->perSource.find(m_source);
    if (it != m_admissions->perSource.end() && --it->second == 0)
        m_admissions->perSource.erase(it);
}

void Slot::exemptFromSource()
{
    std::lock_guard<std::mutex> lock(m_admissions->mutex);
    if (m_exempt)
        return;
    m_exempt = true;
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

Relay::Relay(wire::IoPool &pool, RelayConfig config, AuditTrail &audit)
    : m_pool(pool), m_io(pool.main()), m_config(std::move(config)),
      m_settings(std::make_shared<const RelayConfig>(m_config)), m_audit(audit), m_acceptor(m_io),
      m_registry(m_joins, audit, m_config.heartbeat, m_config.silence), m_acceptPause(m_io),
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
    m_incoming.tls = wire::makeServerContext(m_config.keyPath, m_config.certificatePath, error);
    if (!m_incoming.tls)
        return false;
    m_incoming.handshakeTimeout = m_config.handshakeTimeout;
    m_incoming.handlers.control = [this](ConnectionPtr stream, std::string pending, const std::string &line) {
        onControl(std::move(stream), std::move(pending), line);
    };
    m_incoming.handlers.data = [this](DataPtr data, const std::string &line) { onData(std::move(data), line); };
    m_node = std::make_shared<ClusterNode>(m_io, m_config);
    if (!m_node->start(m_fingerprint, error))
        return false;
    m_hooks = m_node->hooks();
    m_registry.setHooks(m_hooks);
    m_audit.countFailuresIn(&m_node->metrics().auditWriteFailures);
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
    asio::io_context &home = m_pool.context(thread);
    asio::post(home, [this, socket = std::move(socket), slot, peer = wire::endpointText(remote), thread,
                      &home]() mutable {
        std::make_shared<Incoming>(m_incoming, std::move(socket), home, thread, std::move(slot), std::move(peer))
            ->start();
    });
}

namespace {
// The verb of a request that did not decode, and why: never the line, which may hold a
// token or a secret.
std::string badRequestText(const std::string &line, const std::string &error)
{
    const std::string verb = line.substr(0, std::min<std::size_t>(line.find(' '), 20));
    return "\"" + verb + "\"" + (error.empty() ? std::string() : " (" + error + ")");
}
} // namespace

void Relay::onControl(ConnectionPtr stream, std::string pending, const std::string &line)
{
    std::string error;
    const std::string verb = line.substr(0, line.find(' '));
    if (verb == "PANEL") {
        const auto panel = Panel::decode(line, &error);
        if (!panel) {
            wire::logLine("bad request from " + stream->peer() + ": " + badRequestText(line, error));
            return replyAndClose(stream, Err {Reason::Protocol, "bad request"});
        }
        AuditEvent refused;
        refused.kind = AuditEvent::Kind::PanelRefused;
        refused.result = AuditEvent::Result::Refused;
        refused.source = stream->peer();
        // The SN becomes a registry key and a log word: say plainly why such a name fails.
        if (!validSn(panel->sn)) {
            m_node->metrics().authFailures++;
            wire::logLine("refused panel registration from " + stream->peer() + ": the serial number is not 1-64 of "
                          "A-Z a-z 0-9 . - _");
            refused.reason = "bad serial number";
            m_audit.record(refused);
            return replyAndClose(stream, Err {Reason::Secret, "bad serial number"});
        }
        if (!settings()->panelSecretMatches(panel->sn, panel->secret)) {
            m_node->metrics().authFailures++;
            wire::logLine("refused panel registration for " + panel->sn + " from " + stream->peer()
                          + ": wrong serial number or secret");
            refused.sn = panel->sn;
            refused.reason = "wrong serial number or secret";
            m_audit.record(refused);
            return replyAndClose(stream, Err {Reason::Secret, "wrong serial number or secret"});
        }
        return m_registry.registerPanel(panel->sn, panel->key, sha256(panel->secret), stream, std::move(pending));
    }
    if (verb == "USER") {
        if (const auto user = User::decode(line, &error))
            return onUser(stream, std::move(pending), *user);
    } else if (verb == "FORWARD") {
        if (const auto forward = Forward::decode(line, &error))
            return onForward(stream, *forward);
    }
    wire::logLine("bad request from " + stream->peer() + ": " + badRequestText(line, error));
    replyAndClose(stream, Err {Reason::Protocol, "bad request"});
}

void Relay::onData(DataPtr data, const std::string &line)
{
    std::string error;
    const auto join = Join::decode(line, &error);
    if (!join) {
        wire::logLine("bad request from " + data->peer + ": " + badRequestText(line, error)
                      + "; a plain connection only joins a stream");
        return replyAndClose(data, Err {Reason::Protocol, "bad request"});
    }
    const bool fromRelay = !join->mac.empty();
    if (fromRelay) {
        if (!m_node->signedByMember(*join)) {
            m_node->metrics().authFailures++;
            wire::logLine("refused data connection from " + data->peer + ": not signed with the cluster's key");
            return replyAndClose(data, Err {Reason::Secret, "not a member of this cluster"});
        }
        data->slot->exemptFromSource();
    }
    Joins::OnJoin onJoin;
    const Joins::Fate fate = m_joins.take(join->join, fromRelay, &onJoin);
    if (fate != Joins::Fate::Joined) {
        wire::logLine("refused data connection from " + data->peer + ": " + Joins::fateText(fate));
        return replyAndClose(data, Err {Reason::Protocol, Joins::fateText(fate)});
    }
    onJoin(std::move(data));
}

Reason Relay::checkReach(const RelayConfig &settings, const RelayUser *user, const std::string &sn) const
{
    if (!user)
        return Reason::Token;
    if (!validSn(sn) || !settings.mayReach(*user, sn))
        return Reason::NotAllowed;
    if (!m_registry.isOnline(sn))
        return Reason::Offline;
    return Reason::Ok;
}

void Relay::onUser(ConnectionPtr stream, std::string pending, const User &login)
{
    const auto now = settings();
    const RelayUser *user = now->findUser(login.token);
    AuditEvent event;
    event.kind = AuditEvent::Kind::Login;
    event.source = stream->peer();
    if (!user) {
        m_node->metrics().authFailures++;
        wire::logLine("refused PC from " + stream->peer() + ": unknown token");
        event.result = AuditEvent::Result::Refused;
        event.reason = "unknown token";
        m_audit.record(event);
        return replyAndClose(stream, Err {Reason::Token, "token refused"});
    }
    wire::logLine("PC user " + user->name + " connected from " + stream->peer());
    event.result = AuditEvent::Result::Ok;
    event.user = user->name;
    m_audit.record(event);
    std::make_shared<PcLink>(*this, m_links, stream, std::move(pending), user->name)->start();
}

void Relay::onForward(ConnectionPtr stream, const Forward &request)
{
    if (!m_node->signedByMember(request) || !validSn(request.sn) || !wire::parseHostPort(request.target)) {
        ++m_node->metrics().authFailures;
        wire::logLine("refused relay-to-relay request from " + stream->peer()
                      + (m_node->clustered() ? ": not signed with the cluster's key" : ": this relay is in no cluster"));
        return replyAndClose(stream, Err {Reason::Secret, "not a member of this cluster"});
    }
    // A member carries the streams of many PCs: see Slot::exemptFromSource.
    stream->exemptFromSource();
    // Rights were checked at the relay the PC reached; only local panels, never on again.
    const std::string who = "relay " + stream->peer();
    OpenStreams::Stream info;
    info.id = streamId(request.secret);
    info.source = stream->peer();
    info.sn = request.sn;
    info.target = request.target;
    m_registry.requestStream(
        request.sn, request.target, who, request.secret, stream->home(), [this, stream, info](StreamOffer offer) {
            if (offer.reason != Reason::Ok)
                return replyAndClose(stream, Err {offer.reason, offer.text});
            const std::string key = offer.key;
            const std::string join = awaitJoin(std::move(offer), true, stream->home(), info);
            auto line = std::make_shared<std::string>(Held {join, key}.encode() + "\n");
            stream->writeAll(asio::buffer(*line), [stream, line](const std::error_code &, std::size_t) {
                stream->shutdownSend();
                stream->close();
            });
        });
}

std::string Relay::streamId(const std::string &secret)
{
    return wire::hmacHex("talvo stream id", secret).substr(0, 16);
}

std::string Relay::awaitJoin(StreamOffer offer, bool fromRelay, asio::io_context &home, OpenStreams::Stream stream)
{
    const std::string join = wire::randomHex(kJoinDigits / 2);
    const std::string label = streamLabel(stream);
    auto shared = std::make_shared<StreamOffer>(std::move(offer));
    m_joins.expect(
        join, fromRelay, home, m_config.handshakeTimeout,
        [this, shared, stream](DataPtr requester) mutable {
            if (shared->panel)
                return splice(std::move(requester), std::move(shared->panel), std::move(stream));
            stream.local = false;
            m_node->joinHolder(*shared->holder, shared->holderJoin, *requester,
                               [this, requester, stream](const std::error_code &ec, DataPtr holder) {
                                   if (ec) {
                                       wire::logLine(streamLabel(stream) + ": the holding relay did not take the "
                                                     "stream (" + ec.message() + ")");
                                       return replyAndClose(requester,
                                                            Err {Reason::Offline, "panel is not reachable now"});
                                   }
                                   splice(requester, std::move(holder), stream);
                               });
        },
        [shared, label] {
            wire::logLine(label + ": not joined in time, given up");
            if (auto panel = std::move(shared->panel))
                asio::post(*panel->home, [panel] {
                    std::error_code ignored;
                    panel->socket.close(ignored);
                });
        });
    return join;
}

// On the requester's thread; the panel's side waits on its own thread, idle.
void Relay::splice(DataPtr requester, DataPtr panel, OpenStreams::Stream stream)
{
    if (requester->home != panel->home)
        requester->moveNextTo(*panel);
    asio::post(*panel->home, [this, requester, panel, stream = std::move(stream)]() mutable {
        const std::string label = streamLabel(stream);
        if (!sendLine(*requester, Ok {}.encode())) {
            std::error_code ignored;
            requester->socket.close(ignored);
            wire::resetConnection(panel->socket);
            return wire::logLine(label + ": the requester went before the stream opened");
        }
        stream.source = requester->peer;
        stream.opened = std::chrono::system_clock::now();
        stream.since = std::chrono::steady_clock::now();
        wire::logLine(label + " open");
        if (m_hooks.streamOpened)
            m_hooks.streamOpened();
        AuditEvent opened = streamEvent(AuditEvent::Kind::StreamOpen, stream);
        opened.result = AuditEvent::Result::Ok;
        m_audit.record(opened);
        auto handle = std::make_shared<std::weak_ptr<wire::SocketSplice>>();
        auto up = stream.up, down = stream.down;
        // Listed before it starts: a splice may end within start() already.
        const std::uint64_t key = m_streams.add(stream, {});
        auto splice = wire::SocketSplice::start(
            std::move(requester->socket), std::move(panel->socket),
            [this, label, handle, key, requester, panel, stream](std::uint64_t bytesUp, std::uint64_t bytesDown,
                                                                const std::error_code &ec) {
                if (m_hooks.streamClosed)
                    m_hooks.streamClosed();
                // Taken already when the relay is stopping: that end is recorded there.
                if (!m_streams.remove(key))
                    return;
                const auto splice = handle->lock();
                using Cause = AuditEvent::Cause;
                const Cause cause = ec == StreamStop::Revoked        ? Cause::Revoked
                                    : ec == StreamStop::RelayStopped ? Cause::RelayStopped
                                    : ec                             ? Cause::Aborted
                                    : splice && splice->aEndedFirst() ? Cause::PcClosed
                                                                      : Cause::TargetClosed;
                wire::logLine(label + (ec ? " aborted, " : " closed, ") + std::to_string(bytesUp) + " bytes up, "
                              + std::to_string(bytesDown) + " down (" + auditCauseText(cause)
                              + (cause == Cause::Aborted ? ": " + ec.message() : std::string()) + ")");
                recordStreamEnd(stream, bytesUp, bytesDown, cause);
            },
            [bytes = m_hooks.streamBytes, up, down](bool aToB, std::size_t n) {
                *(aToB ? up : down) += n;
                if (bytes)
                    bytes(aToB, n);
            });
        *handle = splice;
        m_streams.attach(key, splice);
    });
}

AuditEvent Relay::streamEvent(AuditEvent::Kind kind, const OpenStreams::Stream &stream)
{
    AuditEvent event;
    event.kind = kind;
    event.user = stream.user;
    event.source = stream.source;
    event.sn = stream.sn;
    event.target = stream.target;
    event.stream = stream.id;
    return event;
}

void Relay::recordStreamEnd(const OpenStreams::Stream &stream, std::uint64_t up, std::uint64_t down,
                            AuditEvent::Cause cause)
{
    AuditEvent ended = streamEvent(AuditEvent::Kind::StreamEnd, stream);
    ended.bytesUp = up;
    ended.bytesDown = down;
    ended.durationMs = std::uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - stream.since)
                                         .count());
    ended.cause = cause;
    m_audit.record(ended);
}

void Relay::stopping()
{
    for (const auto &stream : m_streams.stopAll())
        recordStreamEnd(stream, *stream.up, *stream.down, AuditEvent::Cause::RelayStopped);
}

void Relay::reload(const std::string &path)
{
    AuditEvent event;
    event.kind = AuditEvent::Kind::ConfigReload;
    auto next = std::make_shared<RelayConfig>();
    std::string error;
    if (!next->load(path, &error)) {
        wire::logLine("reload refused, the settings stay as they were: " + error);
        event.result = AuditEvent::Result::Refused;
        event.reason = error;
        m_audit.record(event);
        m_audit.reopen();
        return;
    }
    for (const std::string &setting : restartOnlyChanges(m_config, *next))
        wire::logLine("reload: " + setting + " changed in " + path + "; it takes effect at the next restart");
    const std::shared_ptr<const RelayConfig> now = next;
    std::atomic_store(&m_settings, now);
    m_audit.reopen();
    // What the new settings no longer allow ends now: a user who is gone or may no longer
    // reach the panel, a panel no longer listed with the secret it registered with.
    const auto panelGone = [now](const std::string &sn, const Sha256 &secret) {
        const auto it = now->panelSecretDigests.find(sn);
        return it == now->panelSecretDigests.end() || it->second != secret;
    };
    const std::size_t panels = m_registry.revokeIf(panelGone);
    const std::size_t streams = m_streams.revokeIf([now](const OpenStreams::Stream &s) {
        if (s.user.empty()) // forwarded here by another relay, which checks its user itself
            return !now->panelSecretDigests.count(s.sn);
        const RelayUser *user = now->userByName(s.user);
        return !user || !now->mayReach(*user, s.sn) || (s.local && !now->panelSecretDigests.count(s.sn));
    });
    std::size_t users = 0;
    for (const auto &link : m_links->all())
        if (!now->userByName(link->userName())) {
            link->revoke();
            ++users;
        }
    wire::logLine("reloaded " + path + ": " + std::to_string(now->users.size()) + " users, "
                  + std::to_string(now->panelSecretDigests.size()) + " panels; revoked " + std::to_string(streams)
                  + " streams, " + std::to_string(panels) + " panel links, " + std::to_string(users) + " PC links");
    event.result = AuditEvent::Result::Ok;
    event.reason = "file " + now->fileSha256.substr(0, 16) + ", users and panels " + now->sharedSha256().substr(0, 16)
                   + ", revoked " + std::to_string(streams) + " streams";
    m_audit.record(event);
    if (m_node)
        m_node->setConfigHash(now->sharedSha256());
}

std::string Relay::streamLabel(const OpenStreams::Stream &stream)
{
    return "stream " + stream.id + " " + (stream.user.empty() ? "relay " + stream.source : stream.user + "@" + stream.source)
           + " -> " + stream.sn + " " + stream.target;
}

} // namespace relay
