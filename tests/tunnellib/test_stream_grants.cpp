// Guards the library's side of relay protocol 2 through its C interface: grants over the
// control link, the join on a plain connection, TLS pinned to the key the relay vouched for,
// the proof, and what each refusal does to the local connection. A fake relay and agent
// play the other side on one asio thread; the library keeps one tunnel per process, so the
// cases build on each other and run in the order written.
#include "tunnel/pgDllTunnel.h"
#include "wire/EndToEnd.h"
#include "wire/Identity.h"
#include "wire/LineChannel.h"
#include "wire/Messages.h"
#include "wire/ReadLine.h"
#include "wire/TcpStream.h"
#include "wire/Tls.h"
#include "wire/TlsStream.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <mutex>
#include <thread>

#include <unistd.h>

using namespace wire::msg;

namespace {

// The relay with the panel's agent behind it: control links in TLS (told apart by their
// first byte, a TLS record), data connections in plain TCP that join a grant and then run
// the agent's TLS server side, check the proof and echo.
class FakeRelay
{
public:
    struct Behaviour
    {
        bool refuseVersion = false;
        bool refuseTarget = false;
        bool holdStreams = false; // no answer to STREAM
        int offlineGrants = 0;    // REFUSED OFFLINE for the next n stream requests
        int offlineJoins = 0;     // ERR OFFLINE for the next n joins
        int vouched = 0, presented = 0; // agent key granted, agent certificate shown
    };
    struct Seen
    {
        int logins = 0, versionRefusals = 0, notHelloFirst = 0, streams = 0, joins = 0, bytesBeforeOk = 0;
        int proofsGood = 0, proofsBad = 0, handshakesFailed = 0;
        std::string lastStream;
        std::vector<std::string> secrets; // and joins: never to be logged
    };

    FakeRelay(std::shared_ptr<asio::ssl::context> relay, std::vector<std::shared_ptr<asio::ssl::context>> agents,
              std::vector<std::string> keys)
        : m_relayCtx(std::move(relay)), m_agentCtx(std::move(agents)), m_keys(std::move(keys))
    {
        wire::listenOn(m_acceptor, {asio::ip::make_address("127.0.0.1"), 0});
        accept();
        m_thread = std::thread([this] { m_io.run(); });
    }
    ~FakeRelay()
    {
        m_io.stop();
        m_thread.join();
    }
    quint16 port() const { return m_acceptor.local_endpoint().port(); }
    template <class F>
    void change(F f)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        f(m_behaviour);
    }
    Seen seen()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }
    void dropControlLinks()
    {
        asio::post(m_io, [this] {
            for (auto &c : m_channels)
                c->close();
            m_channels.clear();
        });
    }

private:
    void accept()
    {
        m_acceptor.async_accept([this](const std::error_code &ec, asio::ip::tcp::socket socket) {
            if (ec)
                return;
            auto s = std::make_shared<asio::ip::tcp::socket>(std::move(socket));
            s->async_wait(asio::socket_base::wait_read, [this, s](const std::error_code &ec) {
                unsigned char first = 0;
                std::error_code peek;
                if (!ec && s->receive(asio::buffer(&first, 1), asio::socket_base::message_peek, peek) == 1)
                    first == 0x16 ? control(std::move(*s)) : data(std::move(*s));
            });
            accept();
        });
    }

    void control(asio::ip::tcp::socket socket)
    {
        wire::TlsStream::accept(std::move(socket), m_relayCtx, std::chrono::seconds(5),
                                [this](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                    if (!ec)
                                        helloThen(tls, [this, tls](std::string pending) { login(tls, pending); });
                                });
    }

    void helloThen(wire::StreamPtr s, std::function<void(std::string pending)> next)
    {
        auto pending = std::make_shared<std::string>();
        wire::readLine(s, pending, kMaxLine, [this, s, pending, next](const std::error_code &ec, std::string line) {
            if (!ec && Hello::decode(line))
                return next(*pending);
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_seen.notHelloFirst;
            s->close();
        });
    }

    void login(wire::TlsStream::Ptr tls, std::string pending)
    {
        auto ch = std::make_shared<wire::LineChannel>(m_io, tls, pending);
        auto loggedIn = std::make_shared<bool>(false);
        ch->start(
            [this, weak = std::weak_ptr<wire::LineChannel>(ch), loggedIn](const std::string &line) {
                auto ch = weak.lock();
                if (!ch)
                    return;
                std::lock_guard<std::mutex> lock(m_mutex);
                if (!*loggedIn) {
                    if (!User::decode(line))
                        return ch->close();
                    if (m_behaviour.refuseVersion) {
                        ++m_seen.versionRefusals;
                        return ch->sendAndClose(Err {Reason::Version, "relay speaks protocol 3"}.encode());
                    }
                    *loggedIn = true;
                    ++m_seen.logins;
                    return ch->send(Ok {}.encode());
                }
                if (const auto check = Check::decode(line))
                    return ch->send(Checked {check->id, Reason::Ok}.encode());
                const auto stream = Stream::decode(line);
                if (!stream)
                    return;
                ++m_seen.streams;
                m_seen.lastStream = stream->sn + " " + stream->target;
                if (m_behaviour.holdStreams)
                    return;
                if (m_behaviour.refuseTarget)
                    return ch->send(Refused {stream->id, Reason::Target, "not on the list"}.encode());
                if (m_behaviour.offlineGrants > 0 && m_behaviour.offlineGrants--)
                    return ch->send(Refused {stream->id, Reason::Offline, "panel re-registering"}.encode());
                const Granted g {stream->id, wire::randomHex(16), wire::randomHex(32), m_keys[m_behaviour.vouched]};
                m_grants[g.join] = {g.secret, m_behaviour.presented};
                m_seen.secrets.push_back(g.secret);
                m_seen.secrets.push_back(g.join);
                ch->send(g.encode());
            },
            [](const std::error_code &) {});
        m_channels.push_back(ch);
    }

    void data(asio::ip::tcp::socket socket)
    {
        auto tcp = std::make_shared<wire::TcpStream>(std::move(socket));
        helloThen(tcp, [this, tcp](std::string pending) {
            auto rest = std::make_shared<std::string>(pending);
            wire::readLine(tcp, rest, kMaxLine, [this, tcp, rest](const std::error_code &ec, std::string line) {
                const auto join = Join::decode(line);
                std::lock_guard<std::mutex> lock(m_mutex);
                const auto grant = join ? m_grants.find(join->join) : m_grants.end();
                static const std::string ok = "OK\n", offline = Err {Reason::Offline, "gone"}.encode() + "\n";
                if (ec || grant == m_grants.end())
                    return tcp->close();
                const auto [secret, presented] = grant->second;
                m_grants.erase(grant);
                ++m_seen.joins;
                if (!rest->empty()) {
                    ++m_seen.bytesBeforeOk;
                    return tcp->close();
                }
                const bool refuse = m_behaviour.offlineJoins > 0 && m_behaviour.offlineJoins--;
                tcp->writeAll(asio::buffer(refuse ? offline : ok), [this, tcp, refuse, secret = secret,
                                                                    presented = presented](const std::error_code &ec,
                                                                                           std::size_t) {
                    if (ec || refuse)
                        return tcp->close();
                    wire::TlsStream::handshakeOn(std::move(tcp->socket()), m_agentCtx[presented], true,
                                                 std::chrono::seconds(5),
                                                 [this, secret](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                                     if (!ec)
                                                         return readProof(tls, secret, std::make_shared<std::string>());
                                                     std::lock_guard<std::mutex> lock(m_mutex);
                                                     ++m_seen.handshakesFailed;
                                                 });
                });
            });
        });
    }

    void readProof(wire::TlsStream::Ptr tls, std::string secret, std::shared_ptr<std::string> got)
    {
        auto buf = std::make_shared<std::array<char, wire::kProofSize>>();
        tls->readSome(asio::buffer(*buf, wire::kProofSize - got->size()),
                      [this, tls, secret, got, buf](const std::error_code &ec, std::size_t n) {
                          if (ec)
                              return tls->close();
                          got->append(buf->data(), n);
                          if (got->size() < wire::kProofSize)
                              return readProof(tls, secret, got);
                          const bool good = wire::sameProof(*got, wire::streamProof(*tls, secret));
                          {
                              std::lock_guard<std::mutex> lock(m_mutex);
                              ++(good ? m_seen.proofsGood : m_seen.proofsBad);
                          }
                          good ? echo(tls) : tls->abort();
                      });
    }

    void echo(wire::TlsStream::Ptr tls)
    {
        auto buf = std::make_shared<std::array<char, 16384>>();
        tls->readSome(asio::buffer(*buf), [this, tls, buf](const std::error_code &ec, std::size_t n) {
            if (ec)
                return wire::isEndOfStream(ec) ? tls->shutdownSend() : tls->abort();
            tls->writeAll(asio::buffer(buf->data(), n), [this, tls, buf](const std::error_code &ec, std::size_t) {
                if (!ec)
                    echo(tls);
            });
        });
    }

    asio::io_context m_io;
    asio::ip::tcp::acceptor m_acceptor {m_io};
    std::shared_ptr<asio::ssl::context> m_relayCtx;
    std::vector<std::shared_ptr<asio::ssl::context>> m_agentCtx;
    std::vector<std::string> m_keys;
    std::vector<std::shared_ptr<wire::LineChannel>> m_channels;
    std::map<std::string, std::pair<std::string, int>> m_grants; // join: secret, certificate
    std::mutex m_mutex;
    Behaviour m_behaviour;
    Seen m_seen;
    std::thread m_thread;
};

QByteArray fileText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Standard error into a file for the whole run, where the library's warnings (and, with
// TALVO_TUNNEL_DEBUG, its traces) land; shown on the real one at the end.
struct StderrFile
{
    explicit StderrFile(const QString &path) : path(path), saved(::dup(2))
    {
        FILE *f = std::fopen(qPrintable(path), "w");
        ::dup2(::fileno(f), 2);
        std::fclose(f);
    }
    ~StderrFile()
    {
        ::dup2(saved, 2);
        ::close(saved);
        std::fputs(fileText(path).constData(), stderr);
    }
    int mark() const { return fileText(path).size(); }
    QString since(int mark) const { return QString::fromUtf8(fileText(path).mid(mark)); }
    const QString path;
    const int saved;
};

// A local application: sends a line, expects it back.
bool echoes(quint16 port, const QByteArray &text = "through the panel\n")
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000) || s.write(text) != text.size())
        return false;
    QByteArray got;
    while (got.size() < text.size() && s.waitForReadyRead(5000))
        got += s.readAll();
    return got == text;
}

// Milliseconds until the library closes a local connection without a byte; -1 if it did not
// within the bound or sent something.
qint64 closedAfter(quint16 port, int boundMs)
{
    QTcpSocket s;
    QElapsedTimer t;
    t.start();
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000) || s.write("anyone?\n") != 8)
        return -1;
    const bool closed = s.waitForDisconnected(boundMs) || s.state() == QAbstractSocket::UnconnectedState;
    return closed && s.readAll().isEmpty() ? t.elapsed() : -1;
}

} // namespace

class TestStreamGrants : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void otherVersionWarnedOnceAndUnusable();
    void streamRunsEndToEnd();
    void changedPanelKeyWarned();
    void wrongCertificateGetsNoProof();
    void refusedTargetClosesAtOnce();
    void offlineIsRetried();
    void lostLinkAnswersAtOnce();
    void stopClosesWaitingAndOpenStreams();
    void cleanupTestCase();

private:
    QString panelsFile() const { return QString::fromUtf8(fileText(m_dir.filePath("knownPanels.cfg"))); }

    QTemporaryDir m_dir;
    std::unique_ptr<StderrFile> m_stderr;
    std::unique_ptr<FakeRelay> m_relay;
    std::vector<std::string> m_keys; // agents' certificate fingerprints
    QString m_config;
    quint16 m_port = 0;
};

void TestStreamGrants::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("TALVO_TUNNEL_DEBUG", "1"); // traces too, to be searched for secrets
    m_stderr = std::make_unique<StderrFile>(m_dir.filePath("stderr.txt"));
    std::vector<std::shared_ptr<asio::ssl::context>> ctx;
    std::vector<std::string> fp;
    for (const char *name : {"relay", "agent-a", "agent-b"}) {
        const std::string key = m_dir.filePath(QString(name) + ".key").toStdString();
        const std::string cert = m_dir.filePath(QString(name) + ".crt").toStdString();
        std::string error, f;
        QVERIFY2(wire::ensureKeyAndCertificate(key, cert, name, nullptr, &error), error.c_str());
        QVERIFY2(wire::fileFingerprint(cert, &f, &error), error.c_str());
        ctx.push_back(wire::makeServerContext(key, cert, &error));
        QVERIFY2(ctx.back(), error.c_str());
        fp.push_back(f);
    }
    m_keys = {fp[1], fp[2]};
    m_relay = std::make_unique<FakeRelay>(ctx[0], std::vector<std::shared_ptr<asio::ssl::context>> {ctx[1], ctx[2]},
                                          m_keys);
    m_config = m_dir.filePath("demoTunnel.cfg");
    QFile cfg(m_config);
    QVERIFY(cfg.open(QIODevice::WriteOnly));
    cfg.write(QString("[tunnel]\nrelay=127.0.0.1:%1\nfingerprint=%2\ntoken=tok-1\n")
                  .arg(m_relay->port())
                  .arg(QString::fromStdString(fp[0]))
                  .toUtf8());
    cfg.close();
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    m_port = probe.serverPort();
}

void TestStreamGrants::otherVersionWarnedOnceAndUnusable()
{
    // Fault: a relay of another version is taken for merely unreachable without a word, or
    // the warning repeats at every retry; or the hello does not come first.
    m_relay->change([](FakeRelay::Behaviour &b) { b.refuseVersion = true; });
    const int mark = m_stderr->mark();
    char info[256] = {};
    const QByteArray path = m_config.toLocal8Bit();
    QCOMPARE(TunnelInit(path.constData(), info, sizeof info), int(TUNNEL_OK));
    QCOMPARE(TunnelStart(path.constData(), info, 0, 0), int(TUNNEL_E_RELAY_UNREACHABLE));
    QVERIFY(QTest::qWaitFor([&] { return m_relay->seen().versionRefusals >= 2; }, 5000));
    const QString log = m_stderr->since(mark);
    QCOMPARE(log.count("pgDllTunnel: warning:"), 1);
    QVERIFY2(log.contains(QString("pgDllTunnel: warning: relay 127.0.0.1:%1 cannot be used: it refused our protocol "
                                  "version 2 (\"relay speaks protocol 3\")")
                              .arg(m_relay->port())),
             qPrintable(log));

    m_relay->change([](FakeRelay::Behaviour &b) { b.refuseVersion = false; });
    QCOMPARE(TunnelStart(path.constData(), info, 0, 0), int(TUNNEL_OK));
    QCOMPARE(m_relay->seen().notHelloFirst, 0);
}

void TestStreamGrants::streamRunsEndToEnd()
{
    // Fault: a stream that does not reach the agent's TLS, proves wrongly, sends before the
    // relay's OK, or does not remember the panel's key beside the configuration.
    char text[TUNNEL_ERROR_TEXT_SIZE] = {};
    const QByteArray local = QString("127.0.0.1:%1").arg(m_port).toLatin1();
    QCOMPARE(TunnelAddConnect("", "SN1", 0, 0, "127.0.0.1:7530", local.constData(), text), int(TUNNEL_OK));
    QVERIFY(echoes(m_port));
    QVERIFY(echoes(m_port, QByteArray(200000, 'x')));
    const auto seen = m_relay->seen();
    QCOMPARE(seen.lastStream, std::string("SN1 127.0.0.1:7530"));
    QCOMPARE(seen.proofsGood, 2);
    QCOMPARE(seen.proofsBad + seen.bytesBeforeOk, 0);
    QVERIFY2(panelsFile().contains("SN1=" + QString::fromStdString(m_keys[0])), qPrintable(panelsFile()));
}

void TestStreamGrants::changedPanelKeyWarned()
{
    // Fault: a relay that vouches for another key than before goes unnoticed.
    m_relay->change([](FakeRelay::Behaviour &b) { b.vouched = b.presented = 1; });
    const int mark = m_stderr->mark();
    QVERIFY(echoes(m_port));
    QVERIFY(echoes(m_port));
    const QString log = m_stderr->since(mark);
    QCOMPARE(log.count("pgDllTunnel: warning:"), 1);
    QVERIFY2(log.contains(QString("pgDllTunnel: warning: panel SN1 presents another key (was %1..., now %2...); the "
                                  "relay vouches for the new one")
                              .arg(QString::fromStdString(m_keys[0].substr(0, 8)),
                                   QString::fromStdString(m_keys[1].substr(0, 8)))),
             qPrintable(log));
    QVERIFY(panelsFile().contains("SN1=" + QString::fromStdString(m_keys[1])));
}

void TestStreamGrants::wrongCertificateGetsNoProof()
{
    // Fault: the library talks to an agent whose certificate is not the one granted (a
    // relay in the middle), or hands it the proof.
    m_relay->change([](FakeRelay::Behaviour &b) { b.vouched = 1, b.presented = 0; });
    const auto before = m_relay->seen();
    const int mark = m_stderr->mark();
    QVERIFY(closedAfter(m_port, 5000) >= 0);
    QVERIFY(QTest::qWaitFor([&] { return m_relay->seen().handshakesFailed > before.handshakesFailed; }, 5000));
    const auto after = m_relay->seen();
    QCOMPARE(after.proofsGood + after.proofsBad, before.proofsGood + before.proofsBad);
    QCOMPARE(after.joins, before.joins + 1); // given up, not tried again
    QVERIFY2(m_stderr->since(mark).contains("pgDllTunnel: warning: stream to panel SN1 refused: its certificate is "
                                            "not the one the relay vouched for"),
             qPrintable(m_stderr->since(mark)));
    m_relay->change([](FakeRelay::Behaviour &b) { b.presented = 1; });
}

void TestStreamGrants::refusedTargetClosesAtOnce()
{
    // Fault: a final refusal is retried until the ten seconds for the relay have passed.
    m_relay->change([](FakeRelay::Behaviour &b) { b.refuseTarget = true; });
    const int streams = m_relay->seen().streams;
    const qint64 ms = closedAfter(m_port, 5000);
    QVERIFY2(ms >= 0 && ms < 2000, qPrintable(QString::number(ms)));
    QCOMPARE(m_relay->seen().streams, streams + 1);
    m_relay->change([](FakeRelay::Behaviour &b) { b.refuseTarget = false; });
}

void TestStreamGrants::offlineIsRetried()
{
    // Fault: a panel re-registering after a relay restart (OFFLINE at the grant or at the
    // join) fails the local connection instead of being waited for.
    m_relay->change([](FakeRelay::Behaviour &b) { b.offlineGrants = 2, b.offlineJoins = 1; });
    const auto before = m_relay->seen();
    QVERIFY(echoes(m_port));
    const auto after = m_relay->seen();
    QCOMPARE(after.streams, before.streams + 4);
    QCOMPARE(after.proofsGood, before.proofsGood + 1);
}

void TestStreamGrants::lostLinkAnswersAtOnce()
{
    // Fault: a stream request whose link is lost waits for its answer timeout (17 s)
    // instead of asking again on the new link.
    m_relay->change([](FakeRelay::Behaviour &b) { b.holdStreams = true; });
    const int streams = m_relay->seen().streams;
    QElapsedTimer t;
    t.start();
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(s.waitForConnected(2000));
    QVERIFY(QTest::qWaitFor([&] { return m_relay->seen().streams > streams; }, 5000));
    m_relay->change([](FakeRelay::Behaviour &b) { b.holdStreams = false; });
    m_relay->dropControlLinks();
    QCOMPARE(s.write("again\n"), qint64(6));
    QVERIFY(s.waitForReadyRead(5000));
    QCOMPARE(s.readAll(), QByteArray("again\n"));
    QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
}

void TestStreamGrants::stopClosesWaitingAndOpenStreams()
{
    // Fault: TunnelStop leaves a spliced stream, or one waiting for its grant, open with
    // nobody serving it.
    QTcpSocket open, waiting;
    open.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(open.waitForConnected(2000) && open.write("x", 1) == 1 && open.waitForReadyRead(5000));
    m_relay->change([](FakeRelay::Behaviour &b) { b.holdStreams = true; });
    const int streams = m_relay->seen().streams;
    waiting.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(waiting.waitForConnected(2000));
    QVERIFY(QTest::qWaitFor([&] { return m_relay->seen().streams > streams; }, 5000));
    QCOMPARE(TunnelStop(), int(TUNNEL_OK));
    for (QTcpSocket *s : {&open, &waiting})
        QVERIFY(s->state() == QAbstractSocket::UnconnectedState || s->waitForDisconnected(2000));
}

void TestStreamGrants::cleanupTestCase()
{
    TunnelStop();
    // Fault: a token, per-stream secret or join value in a trace.
    auto secrets = m_relay ? m_relay->seen().secrets : std::vector<std::string>();
    secrets.push_back("tok-1");
    m_relay.reset();
    const QByteArray log = m_stderr ? fileText(m_stderr->path) : QByteArray();
    m_stderr.reset();
    for (const auto &secret : secrets)
        QVERIFY2(!log.contains(secret.c_str()), "a secret is in the log");
}

QTEST_GUILESS_MAIN(TestStreamGrants)
#include "test_stream_grants.moc"
