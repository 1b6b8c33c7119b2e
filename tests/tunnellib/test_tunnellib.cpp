// Guards the tunnel library's C interface against wrong answers, hangs and lost bytes, driven
// against a real relay and panel agent on loopback. The library keeps one tunnel per
// process, so the cases build on each other and run in the order written.
#include "Bytes.h"
#include "RawSocket.h"
#include "TunnelFixture.h"
#include "tunnel/pgDllTunnel.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtTest>

#include <cstring>
#include <memory>
#include <thread>

#include <fcntl.h>

namespace {

const QString kToken = QStringLiteral("token-a");

int add(const QByteArray &sn, const QByteArray &remote, const QByteArray &local)
{
    char text[TUNNEL_ERROR_TEXT_SIZE] = {};
    return TunnelAddConnect("", sn, 0, 0, remote, local, text);
}

int start(const QString &cfg)
{
    char info[256] = {};
    const QByteArray path = cfg.toLocal8Bit();
    const int rc = TunnelInit(path, info, sizeof info);
    return rc ? rc : TunnelStart(path, info, 0, 0);
}

int state()
{
    int s = 0;
    return TunnelGetState(nullptr, &s);
}

QByteArray local(quint16 port) { return "127.0.0.1:" + QByteArray::number(port); }

// A PC application in the middle of a large transfer through the echo target, on a raw
// socket: QTcpSocket reports a reset and a clean end alike, the difference this is about.
struct Transfer
{
    explicit Transfer(quint16 port) : fd(RawSocket(port).release()) { ::fcntl(fd, F_SETFL, O_NONBLOCK); }
    ~Transfer() { ::close(fd); }
    // Reads what came, writes while less than 4 MiB are on their way; notes the first end seen.
    void pump()
    {
        static char chunk[64 << 10];
        ssize_t n = 0;
        while (end < 0 && (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0)
            received += n;
        if (end < 0 && (n == 0 || errno != EAGAIN))
            end = n == 0 ? 0 : errno;
        for (n = 0; end < 0 && sent - received < (4 << 20) && (n = ::send(fd, chunk, sizeof chunk, MSG_NOSIGNAL)) > 0;)
            sent += n;
        if (end < 0 && n < 0 && errno != EAGAIN)
            end = errno;
    }
    // Runs until `bytes` came back, calls `cut`, then runs until the stream ends.
    bool cutAfter(qint64 bytes, const std::function<void()> &cut)
    {
        if (!QTest::qWaitFor([&] { pump(); return received >= bytes || end >= 0; }, 30000) || end >= 0)
            return false;
        cut();
        return QTest::qWaitFor([&] { pump(); return end >= 0; }, 15000);
    }

    const int fd;
    qint64 sent = 0, received = 0;
    int end = -1; // -1 running, 0 clean end of stream, else the first errno seen
};

} // namespace

class TestTunnelLib : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void callsBeforeStartAndBadConfigsFail();
    void startReportsEachRefusal();
    void startAgainIsHarmless();
    void addConnectReportsEachCause();
    void bulkTransferBothWaysIntact();
    void targetNotOnListDisturbsNoOtherStream();
    void deleteClosesListenerButNotStreams();
    void childProcessesInheritNoSocket();
    void agentKilledMidStreamThenBack();
    void relayRestartedListenersSurvive();
    void connectionWaitsTenSecondsForRelay();
    void stopEndsEverythingForGood();

private:
    bool startAgent();

    QTemporaryDir m_dir;
    std::unique_ptr<RelayFixture> m_relay; // owned, so the relay process ends with the test
    ToolProcess m_agent;
    EchoServer m_echo;
    QString m_goodConfig;
    quint16 m_port = 0; // the main forwarding's local port
};

void TestTunnelLib::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_echo.isListening());
    m_relay = std::make_unique<RelayFixture>(m_dir.path());
    QVERIFY(m_relay->start());
    QVERIFY(startAgent());
    m_goodConfig = writeTunnelConfig(m_dir.filePath("good.cfg"), m_relay->port(), m_relay->fingerprint(), kToken);
    m_port = freePort();
}

bool TestTunnelLib::startAgent()
{
    const QString cfg = writePanelConfig(m_dir.path(), "panel.ini", "SN1", "secret-1", m_relay->port(),
                                         m_relay->fingerprint(),
                                         {QStringLiteral("127.0.0.1:7530=127.0.0.1:%1").arg(m_echo.serverPort())});
    return m_agent.start(kPanelBinary, cfg) && m_agent.waitForOutput("registered at");
}

// Calls before a start (more in test_c_caller) and configs that cannot work fail at once; the
// summary must fit small buffers and never carry the token.
void TestTunnelLib::callsBeforeStartAndBadConfigsFail()
{
    QCOMPARE(TunnelDelListen("", local(m_port)), int(TUNNEL_E_NOT_FOUND));
    QCOMPARE(TunnelInit(nullptr, nullptr, 0), int(TUNNEL_E_BAD_ARGUMENT));
    QCOMPARE(TunnelGetState(nullptr, nullptr), int(TUNNEL_E_NOT_STARTED));
    const auto init = [](const QString &cfg, char *out, int size) { return TunnelInit(cfg.toLocal8Bit(), out, size); };
    char info[256] = {}, tiny[8];
    const QString noToken = m_dir.filePath("notoken.cfg");
    saveFile(noToken, "[tunnel]\nrelay=127.0.0.1:1\nfingerprint=" + m_relay->fingerprint().toUtf8() + "\n");
    for (const QString &bad : {m_dir.filePath("missing.cfg"), noToken,
                               writeTunnelConfig(m_dir.filePath("badfp.cfg"), 1, "abc", kToken)})
        QCOMPARE(init(bad, info, sizeof info), int(TUNNEL_E_CONFIG));
    std::memset(tiny, 'x', sizeof tiny);
    QCOMPARE(init(m_goodConfig, tiny, sizeof tiny), int(TUNNEL_OK));
    QCOMPARE(int(strnlen(tiny, sizeof tiny)), 7);
    QCOMPARE(init(m_goodConfig, info, sizeof info), int(TUNNEL_OK));
    const QString text = QString::fromUtf8(info);
    QVERIFY2(text.contains(QString::number(m_relay->port())) && !text.contains(kToken), qPrintable(text));
}

void TestTunnelLib::startReportsEachRefusal()
{
    const QString otherFp = QString(64, 'a');
    const QString wrongCert = writeTunnelConfig(m_dir.filePath("wrongcert.cfg"), m_relay->port(), otherFp, kToken);
    const QString wrongToken = writeTunnelConfig(m_dir.filePath("wrongtoken.cfg"), m_relay->port(),
                                                 m_relay->fingerprint(), "no-such-token");
    const QString noRelay = writeTunnelConfig(m_dir.filePath("norelay.cfg"), freePort(), m_relay->fingerprint(), kToken);

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(start(wrongCert), int(TUNNEL_E_RELAY_CERTIFICATE));
    QVERIFY(state() != TUNNEL_OK);
    QCOMPARE(start(noRelay), int(TUNNEL_E_RELAY_UNREACHABLE));
    QCOMPARE(start(wrongToken), int(TUNNEL_E_TOKEN_REFUSED));
    QCOMPARE(state(), int(TUNNEL_E_TOKEN_REFUSED));
    QCOMPARE(add("SN1", "127.0.0.1:7530", local(m_port)), int(TUNNEL_E_TOKEN_REFUSED));
    QVERIFY2(timer.elapsed() < 15000, "every call must return within a few seconds");
    QVERIFY(m_relay->process().waitForOutput("refused PC from"));
    QVERIFY(m_relay->process().waitForOutput("TLS handshake with"));
}

void TestTunnelLib::startAgainIsHarmless()
{
    QCOMPARE(start(m_goodConfig), int(TUNNEL_OK));
    QCOMPARE(state(), int(TUNNEL_OK));
    const int threads = threadCount();
    for (int i = 0; i < 3; ++i)
        QCOMPARE(start(m_goodConfig), int(TUNNEL_OK));
    QCOMPARE(threadCount(), threads);
    // A refused check is logged after any login it follows, so the count below is final.
    QCOMPARE(add("SN7", "127.0.0.1:7530", local(m_port)), int(TUNNEL_E_PANEL_OFFLINE));
    QVERIFY(m_relay->process().waitForOutput("may not use SN7"));
    QCOMPARE(m_relay->process().output().count(QRegularExpression("PC user users:\\d+ connected")), 1);
}

void TestTunnelLib::addConnectReportsEachCause()
{
    QCOMPARE(add("SN1", "nonsense", local(m_port)), int(TUNNEL_E_BAD_ADDRESS));
    QCOMPARE(add("SN1", "127.0.0.1:7530", "127.0.0.1:99999"), int(TUNNEL_E_BAD_ADDRESS));
    QCOMPARE(add("SN1", "127.0.0.1:7530", "not-a-literal.example:80"), int(TUNNEL_E_BAD_ADDRESS));
    QCOMPARE(add("", "127.0.0.1:7530", local(m_port)), int(TUNNEL_E_BAD_ARGUMENT));
    QCOMPARE(add("SN 1", "127.0.0.1:7530", local(m_port)), int(TUNNEL_E_BAD_ARGUMENT));
    QCOMPARE(TunnelAddConnect("", nullptr, 0, 0, nullptr, nullptr, nullptr), int(TUNNEL_E_BAD_ARGUMENT));

    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    QCOMPARE(add("SN1", "127.0.0.1:7530", local(taken.serverPort())), int(TUNNEL_E_PORT_IN_USE));

    const quint16 probe = freePort();
    QCOMPARE(add("OTHER", "127.0.0.1:7530", local(probe)), int(TUNNEL_E_SN_NOT_ALLOWED));
    QCOMPARE(add("SN9", "127.0.0.1:7530", local(probe)), int(TUNNEL_E_PANEL_OFFLINE));
    // A refused forwarding leaves nothing listening.
    QVERIFY(refusesConnections(probe));

    QCOMPARE(add("SN1", "127.0.0.1:7530", local(m_port)), int(TUNNEL_OK));
}

void TestTunnelLib::bulkTransferBothWaysIntact()
{
    LocalClient a, b;
    QVERIFY(a.connectTo(m_port));
    QVERIFY(b.connectTo(m_port));
    const QByteArray big = randomBytes(8 << 20, 1), other = randomBytes(3 << 20, 2);
    a.socket.write(big);
    b.socket.write(other);
    QVERIFY(QTest::qWaitFor([&] { return a.received.size() >= big.size() && b.received.size() >= other.size(); },
                            60000));
    QVERIFY(a.received == big);
    QVERIFY(b.received == other);
}

void TestTunnelLib::targetNotOnListDisturbsNoOtherStream()
{
    LocalClient keep;
    QVERIFY(keep.connectTo(m_port));
    QVERIFY(keep.echoes("before"));

    const quint16 port = freePort();
    QCOMPARE(add("SN1", "127.0.0.1:9", local(port)), int(TUNNEL_OK));
    LocalClient refused;
    QVERIFY(refused.connectTo(port));
    refused.socket.write("hello");
    QVERIFY(refused.closedByPeer(10000));
    QVERIFY(refused.received.isEmpty());
    QVERIFY(m_agent.waitForOutput("127.0.0.1:9 is not on the target list"));
    QVERIFY(m_relay->process().waitForOutput("refused stream"));
    QVERIFY(keep.echoes("after"));
    QCOMPARE(TunnelDelListen("", local(port)), int(TUNNEL_OK));
}

void TestTunnelLib::deleteClosesListenerButNotStreams()
{
    LocalClient open;
    QVERIFY(open.connectTo(m_port));
    QVERIFY(open.echoes("x"));

    const QByteArray sn = "SN1", remote = "127.0.0.1:7530", loc = local(m_port);
    QCOMPARE(TunnelDelConnect("", "SN2", 0, 0, remote, loc), int(TUNNEL_E_NOT_FOUND)); // other tuple: kept
    QCOMPARE(TunnelDelConnect("", sn, 0, 0, remote, loc), int(TUNNEL_OK));
    QCOMPARE(TunnelDelConnect("", sn, 0, 0, remote, loc), int(TUNNEL_E_NOT_FOUND));
    QCOMPARE(TunnelDelListen("", loc), int(TUNNEL_E_NOT_FOUND));
    QVERIFY(refusesConnections(m_port));
    QVERIFY(open.echoes(randomBytes(256 << 10)));

    QCOMPARE(add("SN1", "127.0.0.1:7530", local(m_port)), int(TUNNEL_OK));
    QCOMPARE(TunnelDelListen("", loc), int(TUNNEL_OK));
    QCOMPARE(TunnelDelListen("", loc), int(TUNNEL_E_NOT_FOUND));
    QCOMPARE(add("SN1", "127.0.0.1:7530", local(m_port)), int(TUNNEL_OK));
}

// The host starts programs (a VNC viewer, system commands); a listener they inherit would
// keep its port taken after the forwarding is deleted.
void TestTunnelLib::childProcessesInheritNoSocket()
{
    LocalClient open;
    QVERIFY(open.connectTo(m_port));
    QVERIFY(open.echoes("x"));
    QProcess child;
    child.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("ls -l /proc/$$/fd")});
    QVERIFY(child.waitForFinished(5000));
    const QString fds = QString::fromLocal8Bit(child.readAllStandardOutput());
    QVERIFY2(!fds.contains(QLatin1String("socket:")), qPrintable(fds));
}

void TestTunnelLib::agentKilledMidStreamThenBack()
{
    // A download cut short must fail at the PC application, not end as if complete.
    Transfer cut(m_port);
    QVERIFY(cut.cutAfter(8 << 20, [&] { m_agent.kill(); }));
    QCOMPARE(cut.end, ECONNRESET);
    QVERIFY(m_relay->process().waitForOutput("panel SN1 gone"));
    QVERIFY(m_relay->process().waitForOutput("aborted"));
    QCOMPARE(add("SN1", "127.0.0.1:7530", local(m_port)), int(TUNNEL_E_PANEL_OFFLINE));
    QVERIFY(startAgent());
    QVERIFY(QTest::qWaitFor([&] { return add("SN1", "127.0.0.1:7530", local(m_port)) == TUNNEL_OK; }, 5000));
    LocalClient next;
    QVERIFY(next.connectTo(m_port));
    QVERIFY(next.echoes("back"));
}

void TestTunnelLib::relayRestartedListenersSurvive()
{
    const quint16 relayPort = m_relay->port();
    Transfer cut(m_port);
    QVERIFY(cut.cutAfter(8 << 20, [&] { m_relay->process().kill(); }));
    QCOMPARE(cut.end, ECONNRESET);
    QVERIFY(m_agent.waitForOutput("aborted"));
    QVERIFY(QTest::qWaitFor([] { return state() != TUNNEL_OK; }, 5000));

    // Accepted while the relay is down: waits for it instead of failing at once.
    LocalClient waiting;
    QVERIFY(waiting.connectTo(m_port));
    waiting.socket.write("queued");

    QVERIFY(m_relay->start(relayPort));
    QVERIFY(QTest::qWaitFor([] { return state() == TUNNEL_OK; }, 16000));
    QVERIFY(m_agent.waitForOutput("registered at", 16000));
    QVERIFY(QTest::qWaitFor([&] { return waiting.received == "queued"; }, 10000));
    QVERIFY(waiting.echoes(randomBytes(1 << 20)));
}

void TestTunnelLib::connectionWaitsTenSecondsForRelay()
{
    m_relay->process().kill();
    QVERIFY(QTest::qWaitFor([] { return state() != TUNNEL_OK; }, 5000));
    LocalClient c;
    QVERIFY(c.connectTo(m_port));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(c.closedByPeer(14000));
    QVERIFY2(timer.elapsed() >= 9000, "closed before the 10 s wait for the relay was over");
    QVERIFY(c.received.isEmpty());
}

// The host's way out before unloading the library: nothing of it may stay behind.
void TestTunnelLib::stopEndsEverythingForGood()
{
    LocalClient open;
    QVERIFY(open.connectTo(m_port)); // still listening, with the relay gone
    const int threads = threadCount();
    QCOMPARE(TunnelStop(), int(TUNNEL_OK));
    // The io thread and a stream thread per further core, four in all at most; Asio's
    // resolver thread, once a name was looked up, goes with them.
    const int libraryThreads = int(std::min(4u, std::max(1u, std::thread::hardware_concurrency())));
    QVERIFY2(threadCount() <= threads - libraryThreads, qPrintable(QString::number(threadCount())));
    // A connection the library held is closed, not left hanging with nobody to serve it.
    QVERIFY(open.closedByPeer(3000));
    QVERIFY(refusesConnections(m_port));
    QCOMPARE(state(), int(TUNNEL_E_NOT_STARTED));
    QCOMPARE(start(m_goodConfig), int(TUNNEL_E_NOT_STARTED));
    QCOMPARE(add("SN1", "127.0.0.1:7530", local(m_port)), int(TUNNEL_E_NOT_STARTED));
    QCOMPARE(TunnelStop(), int(TUNNEL_OK));
}

PRIVATE_NETWORK_TEST_MAIN_WITH(TestTunnelLib, enterPrivateNetwork)

#include "test_tunnellib.moc"
