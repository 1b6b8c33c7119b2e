// Guards the library's side of relay protocol 2 through its C interface: grants, the join, TLS
// pinned to the key the relay vouched for, the proof, and what each refusal does to the local
// connection. Real relay and agent, and stand-ins for what they never do (another version,
// refusals and drops at chosen moments, a panel whose certificate is not the one it
// registered). One tunnel per process: the cases build on each other in the order written.
#include "RawSocket.h"
#include "StandInRelay.h"
#include "StreamClient.h"
#include "TunnelFixture.h"
#include "tunnel/pgDllTunnel.h"
#include "wire/EndToEnd.h"

#include <QElapsedTimer>
#include <QtTest>

#include <unistd.h>

namespace {

int start(const QString &config)
{
    char info[256] = {};
    const QByteArray path = config.toLocal8Bit();
    const int rc = TunnelInit(path, info, sizeof info);
    return rc ? rc : TunnelStart(path, info, 0, 0);
}

int add(const QByteArray &sn, quint16 local)
{
    char text[TUNNEL_ERROR_TEXT_SIZE] = {};
    return TunnelAddConnect("", sn, 0, 0, "127.0.0.1:7530", "127.0.0.1:" + QByteArray::number(local), text);
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
        std::fputs(readFile(path).constData(), stderr);
    }
    int mark() const { return readFile(path).size(); }
    QString since(int mark) const { return QString::fromUtf8(readFile(path).mid(mark)); }
    const QString path;
    const int saved;
};

// A local application's connection, which the library either serves or closes.
struct Local : QTcpSocket
{
    explicit Local(quint16 port)
    {
        connectToHost(QHostAddress::LocalHost, port);
        waitForConnected(2000);
        write("anyone?\n");
    }
    bool closed(int timeoutMs) { return QTest::qWaitFor([&] { return state() == UnconnectedState; }, timeoutMs); }
};

} // namespace

class TestStreamGrants : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void otherVersionWarnedOnceAndUnusable();
    void requestWaitsOutOfflineAndLostLinkNotAFinalRefusal();
    void panelKeyRememberedAndChangeWarned();
    void wrongCertificateGetsNoProof();
    void stopClosesWaitingAndOpenStreams();
    void cleanupTestCase();

private:
    QString panelsFile() const { return QString::fromUtf8(readFile(m_dir.filePath("knownPanels.cfg"))); }
    bool startAgent(const QStringList &panelLines = {});
    QByteArray agentKey() { return m_agent.output().section("key fingerprint ", 1).left(64).toLatin1(); }
    // The stand-in relay's next STREAM request: its id, SN and target.
    QList<QByteArray> streamRequest();

    QTemporaryDir m_dir;
    std::unique_ptr<StderrFile> m_stderr;
    std::unique_ptr<RelayFixture> m_relay;
    std::unique_ptr<StandInRelay> m_standIn;
    std::unique_ptr<RelayClient> m_standInPanel; // SN2 at the real relay, with a key it does not have
    EchoServer m_echo;
    ToolProcess m_agent; // SN1 at the real relay
    QList<QByteArray> m_secrets; // handed to the library, never to be logged
    quint16 m_port = 0, m_port2 = 0; // local: SN1's, SN2's
};

void TestStreamGrants::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("TALVO_TUNNEL_DEBUG", "1"); // traces too, to be searched for secrets
    m_stderr = std::make_unique<StderrFile>(m_dir.filePath("stderr.txt"));
    m_relay = std::make_unique<RelayFixture>(m_dir.path());
    QVERIFY(m_relay->start());
    QVERIFY(startAgent());
    m_standIn = std::make_unique<StandInRelay>(m_dir.path());
    QVERIFY(!m_standIn->fingerprint.isEmpty());
    m_port = freePort();
    m_port2 = freePort();
}

bool TestStreamGrants::startAgent(const QStringList &panelLines)
{
    const QString cfg = writePanelConfig(m_dir.path(), "panel.ini", "SN1", "secret-1", m_relay->port(),
                                         m_relay->fingerprint(),
                                         {"127.0.0.1:7530=127.0.0.1:" + QString::number(m_echo.serverPort())}, panelLines);
    return m_agent.start(kPanelBinary, cfg) && m_agent.waitForOutput("registered at");
}

QList<QByteArray> TestStreamGrants::streamRequest()
{
    const QList<QByteArray> f = m_standIn->line().split(' ');
    return f.value(0) == "STREAM" && f.size() == 4 ? f.mid(1) : QList<QByteArray>();
}

void TestStreamGrants::otherVersionWarnedOnceAndUnusable()
{
    // Fault: a relay of another version taken for merely unreachable without a word, or the
    // warning repeated at every retry.
    m_standIn->greeting = "ERR VERSION relay speaks protocol 3";
    const int mark = m_stderr->mark();
    const QString config = writeTunnelConfig(m_dir.filePath("standin.cfg"), m_standIn->serverPort(),
                                             m_standIn->fingerprint, "token-a");
    QCOMPARE(aside([&] { return start(config); }), int(TUNNEL_E_RELAY_UNREACHABLE));
    // Tried again, and the second refusal taken in before the next start.
    QVERIFY(QTest::qWaitFor([&] { return m_stderr->since(mark).count("refused the login: VERSION") >= 2; }, 5000));
    const QString log = m_stderr->since(mark);
    QCOMPARE(log.count("pgDllTunnel: warning:"), 1);
    QVERIFY2(log.contains(QString("pgDllTunnel: warning: relay 127.0.0.1:%1 cannot be used: it refused our protocol "
                                  "version 2 (\"relay speaks protocol 3\")")
                              .arg(m_standIn->serverPort())),
             qPrintable(log));

    m_standIn->greeting = "OK";
    QCOMPARE(aside([&] { return start(config); }), int(TUNNEL_OK));
}

void TestStreamGrants::requestWaitsOutOfflineAndLostLinkNotAFinalRefusal()
{
    // Fault: a panel re-registering after a relay restart (OFFLINE at the grant or at the
    // join) fails the local connection instead of being waited for; the join sends before the
    // relay's OK; a request whose link is lost waits for its answer timeout (17 s) instead of
    // asking again on the new link; a final refusal is retried until the ten seconds for the
    // relay have passed.
    QCOMPARE(aside([&] { return add("SN7", m_port); }), int(TUNNEL_OK));
    Local local(m_port);
    QList<QByteArray> request = streamRequest();
    QVERIFY(!request.isEmpty());
    m_standIn->send("REFUSED " + request[0] + " OFFLINE panel re-registering");
    QVERIFY(!(request = streamRequest()).isEmpty());

    const QByteArray join = QByteArray::fromStdString(wire::randomHex(16));
    const QByteArray secret = QByteArray::fromStdString(wire::randomHex(32));
    m_secrets << join << secret;
    const int joins = m_standIn->data.size();
    m_standIn->send("GRANTED " + request[0] + " " + join + " " + secret + " " + QByteArray(64, 'e'));
    QVERIFY(QTest::qWaitFor([&] { return m_standIn->data.size() > joins; }, 5000));
    QTcpSocket *data = m_standIn->data[joins];
    QCOMPARE(StandInRelay::lineOf(data), QByteArray("TALVO 2"));
    QCOMPARE(StandInRelay::lineOf(data), "JOIN " + join);
    data->write("ERR OFFLINE gone\n");
    QVERIFY(!(request = streamRequest()).isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return data->state() == QAbstractSocket::UnconnectedState; }, 5000));
    QCOMPARE(data->readAll(), QByteArray()); // nothing before an OK

    QElapsedTimer clock;
    clock.start();
    QSslSocket *lost = m_standIn->links.last();
    lost->abort();
    QVERIFY(!(request = streamRequest()).isEmpty() && m_standIn->links.last() != lost);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(local.state(), QAbstractSocket::ConnectedState);

    clock.restart();
    m_standIn->send("REFUSED " + request[0] + " TARGET not on the list");
    QVERIFY(local.closed(5000));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(local.readAll(), QByteArray());
}

void TestStreamGrants::panelKeyRememberedAndChangeWarned()
{
    // Fault: a stream that does not reach the agent's TLS, proves wrongly or sends before the
    // relay's OK (the real relay and agent let none of these through); the panel's key not
    // remembered beside the configuration; a relay that vouches for another key than before
    // going unnoticed, or warned about at every stream.
    QCOMPARE(start(writeTunnelConfig(m_dir.filePath("relay.cfg"), m_relay->port(), m_relay->fingerprint(), "token-a")),
             int(TUNNEL_OK));
    QCOMPARE(add("SN1", m_port), int(TUNNEL_OK));
    const QByteArray before = agentKey();
    {
        LocalClient pc;
        QVERIFY(pc.connectTo(m_port));
        QVERIFY(pc.echoes("through the panel\n"));
    }
    QVERIFY2(panelsFile().contains("SN1=" + before), qPrintable(panelsFile()));

    QTemporaryDir state;
    m_agent.kill();
    QVERIFY(startAgent({"state=" + state.path()}));
    const QByteArray now = agentKey();
    const int mark = m_stderr->mark();
    for (int i = 0; i < 2; ++i) {
        LocalClient pc;
        QVERIFY(pc.connectTo(m_port));
        QVERIFY(pc.echoes("through the new key\n"));
    }
    const QString log = m_stderr->since(mark);
    QCOMPARE(log.count("pgDllTunnel: warning:"), 1);
    QVERIFY2(log.contains("pgDllTunnel: warning: panel SN1 presents another key (was " + before.left(8) + "..., now "
                          + now.left(8) + "...); the relay vouches for the new one"),
             qPrintable(log));
    QVERIFY(panelsFile().contains("SN1=" + now));
}

void TestStreamGrants::wrongCertificateGetsNoProof()
{
    // Fault: the library talks to, or hands the proof to, an agent whose certificate is not
    // the one granted (a relay in the middle).
    m_standInPanel = std::make_unique<RelayClient>();
    QVERIFY(m_standInPanel->ask(m_relay->port(), RelayClient::panel("SN2", "secret-2")));
    QCOMPARE(m_standInPanel->firstLine(), QByteArray("OK"));
    QCOMPARE(add("SN2", m_port2), int(TUNNEL_OK));
    const int mark = m_stderr->mark();
    Local local(m_port2);
    QVERIFY(QTest::qWaitFor([&] { return m_standInPanel->received.contains("\nOPEN "); }, 5000));
    const QByteArray &got = m_standInPanel->received;
    const QList<QByteArray> open = got.mid(got.indexOf("OPEN ")).split('\n').value(0).split(' ');
    QCOMPARE(open.size(), 5);
    m_secrets << open[3] << open[4];
    // The agent's side of the stream, with a certificate of its own (the stand-in relay's).
    RawSocket join(m_relay->port());
    QVERIFY(join.send("TALVO 2\nJOIN " + open[3] + "\n"));
    QCOMPARE(join.line(), QByteArray("OK"));
    QSslSocket agent;
    QVERIFY(agent.setSocketDescriptor(join.release()));
    agent.setPrivateKey(m_standIn->key);
    agent.setLocalCertificate(m_standIn->certificate);
    agent.startServerEncryption();
    QVERIFY(local.closed(5000));
    QVERIFY2(m_stderr->since(mark).contains("pgDllTunnel: warning: stream to panel SN2 refused: its certificate is "
                                            "not the one the relay vouched for"),
             qPrintable(m_stderr->since(mark)));
    QCOMPARE(agent.readAll(), QByteArray()); // no proof
    QCOMPARE(m_standInPanel->received.count("OPEN "), 1); // given up, not tried again
}

void TestStreamGrants::stopClosesWaitingAndOpenStreams()
{
    // Fault: TunnelStop leaves a spliced stream, or one waiting for its grant, unserved.
    LocalClient open;
    QVERIFY(open.connectTo(m_port));
    QVERIFY(open.echoes("x"));
    Local waiting(m_port2); // the stand-in panel never joins
    QVERIFY(QTest::qWaitFor([&] { return m_standInPanel->received.count("OPEN ") == 2; }, 5000));
    QCOMPARE(TunnelStop(), int(TUNNEL_OK));
    QVERIFY(open.closedByPeer(2000));
    QVERIFY(waiting.closed(2000));
}

void TestStreamGrants::cleanupTestCase()
{
    TunnelStop();
    // Fault: a token, per-stream secret or join value in a trace.
    m_secrets << "token-a";
    const QByteArray log = m_stderr ? readFile(m_stderr->path) : QByteArray();
    m_stderr.reset();
    for (const QByteArray &secret : m_secrets)
        QVERIFY2(!log.contains(secret), "a secret is in the log");
}

QTEST_GUILESS_MAIN(TestStreamGrants)
#include "test_stream_grants.moc"
