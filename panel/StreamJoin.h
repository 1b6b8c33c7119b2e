#pragma once

#include "wire/Address.h"
#include "wire/Stream.h"
#include "wire/TlsStream.h"

#include <asio/ssl/context.hpp>

#include <chrono>
#include <vector>

namespace panel {

// One stream from the relay's OPEN until the PC behind it has proved the per-stream secret:
// the agent's data connection to the relay and its JOIN, then the stream's own TLS (this
// agent is the server, with its own key) and the proof inside it. The relay only passes the
// ciphertext on, so a PC that shows the proof, bound to this very TLS session, is one the
// relay gave the secret to, and no recording of another stream will do.
class StreamJoin : public std::enable_shared_from_this<StreamJoin>
{
public:
    struct Request
    {
        std::uint64_t id = 0;
        wire::HostPort relay; // the control link's
        std::string join, secret;
        // OPEN's arrival plus wire::kSecretLife: handshake and proof must be done by then.
        std::chrono::steady_clock::time_point expires;
        // For connecting to the relay and its answer to the JOIN.
        std::chrono::milliseconds connectTimeout{5000};
    };

    enum class Outcome {
        Proven,      // the stream is the PC's
        Unreachable, // the data connection failed: the relay must hear of it (FAIL)
        Refused,     // the stream's TLS or its proof failed, or came too late
        Forged,      // a proof that does not match
    };
    // Called once, on the io_context's thread; `why` (for the log) unless Proven.
    using Done = std::function<void(Outcome, wire::StreamPtr proven, const std::string &why)>;

    static void start(asio::io_context &io, std::shared_ptr<asio::ssl::context> tls, Request request, Done done);

    StreamJoin(asio::io_context &io, std::shared_ptr<asio::ssl::context> tls, Request request, Done done);

private:
    enum class Stage { Joining, Handshaking, Proving, Done };

    // The stage's deadline: at `at` its connections close and its handlers see m_timedOut.
    void arm(Stage stage, std::chrono::steady_clock::time_point at);
    void connect();
    void sendJoin();
    void readAnswer();
    void readRefusal();
    void joinFailed(const std::error_code &ec);
    void handshake();
    void readProof();
    void finish(Outcome outcome, wire::StreamPtr proven, const std::string &why);
    std::string relayText() const { return "relay " + m_request.relay.text(); }

    std::shared_ptr<asio::ssl::context> m_ctx;
    Request m_request;
    Done m_done;
    asio::ip::tcp::resolver m_resolver;
    asio::ip::tcp::socket m_socket; // the data connection until its TLS takes it
    asio::steady_timer m_timer;
    Stage m_stage = Stage::Joining;
    bool m_timedOut = false;
    std::string m_line; // the JOIN, then the relay's answer
    wire::TlsStream::Ptr m_tls;
    std::string m_proof;
    std::size_t m_proofSize = 0;
};

// Per-stream secrets this agent was given lately, so that a relay replaying an OPEN gets no
// second stream for it. Each is kept for twice its lifetime, and at most `limit` at a time:
// a relay sending more than that gets no stream until old ones expire, rather than the
// agent's memory.
//
// A ring made once, not a node per secret: entries made during a burst of streams and
// kept after it would pin the burst's heap pages, which the agent could then not give back.
// A look-up scans it, once per OPEN: a few microseconds.
class SeenSecrets
{
public:
    SeenSecrets(std::chrono::steady_clock::duration keep, std::size_t limit);

    enum class Verdict { New, Replayed, Full };
    // Remembers a new secret.
    Verdict take(const std::string &secret, std::chrono::steady_clock::time_point now);

private:
    struct Seen
    {
        std::uint64_t hash = 0; // of the secret: 64 bits tell 10,000 random secrets apart
        std::chrono::steady_clock::time_point at;
    };
    std::chrono::steady_clock::duration m_keep;
    std::vector<Seen> m_ring;
    std::size_t m_next = 0; // the oldest entry, replaced next
};

} // namespace panel
