#include "panel/StreamJoin.h"

#include "wire/CloseOnExec.h"
#include "wire/EndToEnd.h"
#include "wire/Messages.h"

namespace panel {

using namespace wire::msg;
using Clock = std::chrono::steady_clock;

void StreamJoin::start(asio::io_context &io, std::shared_ptr<asio::ssl::context> tls, Request request, Done done)
{
    std::make_shared<StreamJoin>(io, std::move(tls), std::move(request), std::move(done))->connect();
}

StreamJoin::StreamJoin(asio::io_context &io, std::shared_ptr<asio::ssl::context> tls, Request request, Done done)
    : m_ctx(std::move(tls)), m_request(std::move(request)), m_done(std::move(done)), m_resolver(io), m_socket(io),
      m_timer(io)
{
}

void StreamJoin::arm(Stage stage, Clock::time_point at)
{
    m_stage = stage;
    m_timer.expires_at(at);
    m_timer.async_wait([self = shared_from_this(), stage](const std::error_code &ec) {
        // A wait that had expired before the stage ended may still come: not this stage's.
        if (ec || self->m_stage != stage)
            return;
        self->m_timedOut = true;
        self->m_resolver.cancel();
        std::error_code ignored;
        self->m_socket.close(ignored);
        if (self->m_tls)
            self->m_tls->close();
    });
}

void StreamJoin::connect()
{
    // One bound for connecting, the JOIN and the relay's answer: a relay that stalls must not
    // keep the PC waiting for a stream this agent gives up on.
    arm(Stage::Joining, Clock::now() + m_request.connectTimeout);
    const wire::HostPort &relay = m_request.relay;
    m_resolver.async_resolve(relay.host, std::to_string(relay.port),
                             [self = shared_from_this()](const std::error_code &ec,
                                                         asio::ip::tcp::resolver::results_type results) {
                                 if (ec)
                                     return self->joinFailed(ec);
                                 asio::async_connect(self->m_socket, results,
                                                     [self](const std::error_code &ec, const asio::ip::tcp::endpoint &) {
                                                         if (ec)
                                                             return self->joinFailed(ec);
                                                         wire::closeOnExec(self->m_socket);
                                                         self->sendJoin();
                                                     });
                             });
}

void StreamJoin::sendJoin()
{
    m_line = Hello {}.encode() + "\n" + Join {m_request.join, {}}.encode() + "\n";
    asio::async_write(m_socket, asio::buffer(m_line), [self = shared_from_this()](const std::error_code &ec, std::size_t) {
        if (ec)
            return self->joinFailed(ec);
        self->readAnswer();
    });
}

void StreamJoin::readAnswer()
{
    // Exactly "OK\n" and not one byte more: what follows is the PC's TLS, which OpenSSL must
    // read from the socket itself.
    m_line.assign(3, '\0');
    asio::async_read(m_socket, asio::buffer(&m_line[0], m_line.size()),
                     [self = shared_from_this()](const std::error_code &ec, std::size_t) {
                         if (ec)
                             return self->joinFailed(ec);
                         if (self->m_line == "OK\n")
                             return self->handshake();
                         self->readRefusal();
                     });
}

void StreamJoin::readRefusal()
{
    auto refused = [self = shared_from_this()](std::string line) {
        line = line.substr(0, line.find('\n'));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        self->finish(Outcome::Unreachable, nullptr,
                     "data connection refused by " + self->relayText() + ": "
                         + (printableLine(line) ? line.substr(0, 100) : std::string("?")));
    };
    if (m_line.find('\n') != std::string::npos)
        return refused(m_line);
    // For the log only: the connection is given up either way.
    asio::async_read_until(m_socket, asio::dynamic_buffer(m_line, kMaxLine), '\n',
                           [self = shared_from_this(), refused](const std::error_code &ec, std::size_t) {
                               if (ec && self->m_timedOut)
                                   return self->joinFailed(ec);
                               refused(self->m_line);
                           });
}

void StreamJoin::joinFailed(const std::error_code &ec)
{
    std::string why;
    if (m_timedOut)
        why = "no answer from " + relayText() + " on the data connection within "
              + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(m_request.connectTimeout).count()) + " s";
    else if (ec == asio::error::eof)
        why = relayText() + " closed the data connection without an answer";
    else
        why = "no data connection to " + relayText() + ": " + ec.message();
    finish(Outcome::Unreachable, nullptr, why);
}

void StreamJoin::handshake()
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_request.expires - Clock::now());
    if (left.count() <= 0)
        return finish(Outcome::Refused, nullptr, "expired per-stream secret");
    // handshakeOn bounds the handshake itself.
    m_stage = Stage::Handshaking;
    m_timer.cancel();
    wire::TlsStream::handshakeOn(std::move(m_socket), m_ctx, true, left,
                                 [self = shared_from_this()](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                     if (ec == asio::error::timed_out)
                                         return self->finish(Outcome::Refused, nullptr,
                                                             "no TLS handshake before the per-stream secret expired");
                                     if (ec)
                                         return self->finish(Outcome::Refused, nullptr,
                                                             "TLS handshake failed: " + ec.message());
                                     self->m_tls = tls;
                                     self->m_proof.assign(wire::kProofSize, '\0');
                                     self->arm(Stage::Proving, self->m_request.expires);
                                     self->readProof();
                                 });
}

void StreamJoin::readProof()
{
    // Only the proof: bytes after it stay in the TLS stream for whoever reads it next.
    m_tls->readSome(asio::buffer(&m_proof[m_proofSize], m_proof.size() - m_proofSize),
                    [self = shared_from_this()](const std::error_code &ec, std::size_t n) {
                        self->m_proofSize += n;
                        if (self->m_timedOut)
                            return self->finish(Outcome::Refused, nullptr, "expired per-stream secret");
                        if (ec)
                            return self->finish(Outcome::Refused, nullptr,
                                                wire::isEndOfStream(ec) ? "closed before its proof"
                                                                        : "no proof: " + ec.message());
                        if (self->m_proofSize < self->m_proof.size())
                            return self->readProof();
                        if (!wire::sameProof(self->m_proof, wire::streamProof(*self->m_tls, self->m_request.secret)))
                            return self->finish(Outcome::Forged, nullptr, "forged proof");
                        self->finish(Outcome::Proven, self->m_tls, {});
                    });
}

void StreamJoin::finish(Outcome outcome, wire::StreamPtr proven, const std::string &why)
{
    m_stage = Stage::Done;
    m_timer.cancel();
    std::error_code ignored;
    m_socket.close(ignored);
    if (m_tls && outcome == Outcome::Forged)
        m_tls->abort();
    else if (m_tls && outcome != Outcome::Proven)
        m_tls->close();
    m_tls.reset();
    auto done = std::move(m_done);
    m_done = nullptr;
    if (done)
        done(outcome, std::move(proven), why);
}

SeenSecrets::SeenSecrets(Clock::duration keep, std::size_t limit) : m_keep(keep), m_ring(limit)
{
}

SeenSecrets::Verdict SeenSecrets::take(const std::string &secret, Clock::time_point now)
{
    const std::uint64_t hash = std::hash<std::string>()(secret) | 1; // 0 marks a free entry
    for (const Seen &s : m_ring)
        if (s.hash == hash && now - s.at < m_keep)
            return Verdict::Replayed;
    Seen &oldest = m_ring[m_next];
    if (oldest.hash != 0 && now - oldest.at < m_keep)
        return Verdict::Full;
    oldest = Seen {hash, now};
    m_next = (m_next + 1) % m_ring.size();
    return Verdict::New;
}

} // namespace panel
