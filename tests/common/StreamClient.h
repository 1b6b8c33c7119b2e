#pragma once

#include <QByteArray>
#include <QtTest>

#include <openssl/ssl.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

// A PC spoken straight over the relay protocol with plain OpenSSL and blocking sockets, apart
// from the tunnel library's own code: so that a test can do what the library would not (join
// twice, send a forged proof, wait until a grant expires) and still runs a real stream end to
// end through a real relay to a real agent. Every call is bounded (5 s socket timeouts).
// Blocking: call it through aside() when the test's own event loop must run meanwhile.
class StreamClient
{
public:
    StreamClient() = default;
    ~StreamClient();
    StreamClient(const StreamClient &) = delete;
    StreamClient &operator=(const StreamClient &) = delete;

    // TLS to the relay (its certificate not checked: the relay is under test), hello, USER;
    // true when the relay answered OK.
    bool login(quint16 port, const QByteArray &token = "token-a");
    // STREAM on the control link; the answer line (GRANTED ..., REFUSED ...). A grant's
    // fields are kept for join() and endToEnd().
    QByteArray request(const QByteArray &sn, quint16 target);
    // A plain data connection presenting `join` (the granted one when empty); the relay's
    // answer line, "OK" when joined.
    QByteArray join(quint16 port, const QByteArray &join = {});
    enum class Proof { Right, Forged, None };
    // TLS with the panel over the joined connection, its certificate checked against the
    // granted key, then the proof, with `first` in the same record (as the library sends the
    // application's first bytes). True when the handshake passed and the proof was sent.
    bool endToEnd(Proof proof = Proof::Right, const QByteArray &first = {});
    // All in one: login, request, join, endToEnd.
    bool open(quint16 port, const QByteArray &sn, quint16 target, const QByteArray &token = "token-a");
    // Sends `text` through the stream and reads it back (an echo target).
    bool echoes(const QByteArray &text);
    bool send(const QByteArray &bytes);
    // `size` bytes of the stream, fewer when it ended or stalled for 5 s.
    QByteArray read(int size);
    // Reads until the stream ends: 1 for a clean end (close_notify), -1 for an abort (reset,
    // or a TCP end without close_notify), 0 when neither came in time.
    int waitForEnd(QByteArray *received = nullptr);
    // Ends the stream as the tunnel library does: close_notify and a half-close, then reads
    // until the panel's side has ended too; what waitForEnd says of that end.
    int finish();
    // Resets the stream's connection, as a PC that vanished: a send blocked on another thread
    // returns at once, and the reset goes out when the client is destroyed.
    void cut();

    QByteArray grantedJoin, secret, key;

private:
    bool readControlLine(QByteArray *line);

    SSL_CTX *m_ctx = nullptr;
    SSL *m_control = nullptr;
    int m_controlFd = -1;
    QByteArray m_controlPending;
    SSL *m_stream = nullptr;
    int m_streamFd = -1;
    quint64 m_nextId = 1;
};

// Runs `work` on a thread of its own while the test's event loop goes on (echo servers on
// the test's thread must answer meanwhile); its result, or a default when it has not ended
// within `limit` (the thread is then waited for all the same: the client's calls are bounded).
template <class F> auto aside(F work, int limitMs = 30000) -> decltype(work())
{
    auto future = std::async(std::launch::async, std::move(work));
    (void)QTest::qWaitFor([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, limitMs);
    return future.get();
}
