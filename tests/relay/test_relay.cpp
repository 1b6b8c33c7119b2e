// Guards the relay against hostile and mistaken peers: every bad request, spoken to it directly
// over TLS, is refused with a reason or closed, logged, and the relay keeps serving.
#include "TunnelFixture.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

class TestRelay : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void refusesBadRequests_data();
    void refusesBadRequests();
    void closesPlainTextAndSilentPeers();
    void reRegisteringPanelReplacesOldLink();
    void refusalsDoNotReachPanel();
    void reRegistrationAnswersWaitingStreamsOnTheirThreads();
    void silentLinkIsNoticed();
    void keepsItsCertificateAcrossRestarts();
    void helpAndBadArguments();
    void startErrorsAreOneLineWithFileAndLine();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<RelayFixture> m_relay; // owned, so the relay process ends with the test
};

void TestRelay::initTestCase()
{
    QVERIFY(QSslSocket::supportsSsl());
    m_relay = std::make_unique<RelayFixture>(m_dir.path());
    // A short handshake time keeps the silent-peer case quick; the default is 10 s.
    QVERIFY(m_relay->start(0, "handshake_timeout_ms=700"));
}

void TestRelay::refusesBadRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("logged");
    QTest::newRow("wrong secret") << QByteArray("PANEL SN1 guess\n") << QByteArray("ERR SECRET") << "refused panel registration";
    QTest::newRow("unknown panel") << QByteArray("PANEL NOPE secret-1\n") << QByteArray("ERR SECRET") << "refused panel registration";
    QTest::newRow("wrong token") << QByteArray("USER nobody\n") << QByteArray("ERR TOKEN") << "unknown token";
    QTest::newRow("stream, wrong token") << QByteArray("STREAM nobody SN1 127.0.0.1:1\n") << QByteArray("ERR TOKEN") << "refused stream";
    QTest::newRow("stream, SN not allowed") << QByteArray("STREAM token-b SN1 127.0.0.1:1\n") << QByteArray("ERR NOT_ALLOWED") << "refused stream";
    QTest::newRow("stream, panel offline") << QByteArray("STREAM token-a SN2 127.0.0.1:1\n") << QByteArray("ERR OFFLINE") << "refused stream";
    QTest::newRow("garbage") << QByteArray("\x01\x02\xff\xfe\n", 5) << QByteArray("ERR PROTOCOL") << "garbage request";
    QTest::newRow("unknown verb") << QByteArray("HELLO\n") << QByteArray("ERR PROTOCOL") << "bad request";
    QTest::newRow("field missing") << QByteArray("STREAM token-a SN1\n") << QByteArray("ERR PROTOCOL") << "bad request";
    QTest::newRow("data, bad id") << QByteArray("DATA SN1 secret-1 1x\n") << QByteArray("ERR PROTOCOL") << "bad request";
    QTest::newRow("oversized") << QByteArray(4096, 'A') << QByteArray("ERR PROTOCOL") << "oversized request";
}

void TestRelay::refusesBadRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(QString, logged);
    const int before = m_relay->process().count(logged);
    RelayClient c;
    QVERIFY(c.ask(m_relay->port(), request, m_relay->fingerprint())); // pinned: the certificate it printed
    QVERIFY2(c.firstLine().startsWith(answer), c.firstLine().constData());
    QVERIFY(c.closed(5000));
    QVERIFY(QTest::qWaitFor([&] { return m_relay->process().count(logged) > before; }, 5000));
    QVERIFY(m_relay->process().isRunning());
}

void TestRelay::closesPlainTextAndSilentPeers()
{
    QTcpSocket plain;
    plain.connectToHost(QHostAddress::LocalHost, m_relay->port());
    QVERIFY(plain.waitForConnected(3000));
    plain.write("GET / HTTP/1.0\r\n\r\n");
    QVERIFY(QTest::qWaitFor([&] { return plain.state() == QAbstractSocket::UnconnectedState; }, 5000));
    QVERIFY(m_relay->process().waitForOutput("TLS handshake with"));

    QTcpSocket silentTcp;
    silentTcp.connectToHost(QHostAddress::LocalHost, m_relay->port());
    QVERIFY(silentTcp.waitForConnected(3000));
    RelayClient silentTls;
    QVERIFY(silentTls.connectTo(m_relay->port()));
    QVERIFY(QTest::qWaitFor([&] { return silentTcp.state() == QAbstractSocket::UnconnectedState; }, 5000));
    QVERIFY(silentTls.closed(5000));
    QVERIFY(m_relay->process().waitForOutput("no request from"));

    RelayClient truncated;
    QVERIFY(truncated.connectTo(m_relay->port()));
    truncated.socket.write("PANEL SN1 secr");
    QVERIFY(truncated.socket.waitForBytesWritten(3000));
    truncated.socket.abort(); // vanishes mid-line
    QVERIFY(m_relay->process().waitForOutput("ended before a request"));
    QVERIFY(!m_relay->process().output().contains("panel SN1 registered"));
}

void TestRelay::reRegisteringPanelReplacesOldLink()
{
    RelayClient first, second;
    QVERIFY(first.ask(m_relay->port(), "PANEL SN2 secret-2\n"));
    QCOMPARE(first.firstLine(), QByteArray("OK"));
    QVERIFY(second.ask(m_relay->port(), "PANEL SN2 secret-2\n"));
    QCOMPARE(second.firstLine(), QByteArray("OK"));
    QVERIFY(first.closed(5000)); // at once, not after a heartbeat time-out
    QVERIFY2(first.received.contains("\nERR REPLACED "), first.received.constData()); // and told why
    QVERIFY(m_relay->process().waitForOutput("panel SN2 registered again"));

    RelayClient badTarget;
    QVERIFY(badTarget.ask(m_relay->port(), "STREAM token-a SN2 x;rm\n"));
    QVERIFY(badTarget.firstLine().startsWith("ERR PROTOCOL"));

    // Requests now go to the new link.
    RelayClient pc;
    QVERIFY(pc.connectTo(m_relay->port()));
    pc.socket.write("STREAM token-a SN2 127.0.0.1:5900\n");
    second.received.clear();
    QVERIFY(second.waitForLine());
    QVERIFY2(second.firstLine().startsWith("OPEN "), second.received.constData());
    QVERIFY(second.firstLine().endsWith(" 127.0.0.1:5900"));
    const QByteArray id = second.firstLine().split(' ').value(1);
    second.socket.write("FAIL " + id + " TARGET\n");
    QVERIFY(pc.waitForLine());
    QVERIFY(pc.firstLine().startsWith("ERR TARGET"));
}

void TestRelay::refusalsDoNotReachPanel()
{
    RelayClient panel;
    QVERIFY(panel.ask(m_relay->port(), "PANEL SN9 secret-9\n"));
    panel.received.clear();
    RelayClient pc;
    QVERIFY(pc.ask(m_relay->port(), "STREAM token-b SN9 127.0.0.1:1\n"));
    QVERIFY(pc.firstLine().startsWith("ERR NOT_ALLOWED"));
    // A data connection for a stream that was never asked for is dropped.
    RelayClient forged;
    QVERIFY(forged.connectTo(m_relay->port()));
    forged.socket.write("DATA SN9 secret-9 12345\nhello");
    QVERIFY(forged.closed(5000));
    QVERIFY(m_relay->process().waitForOutput("unknown stream 12345"));
    QVERIFY(!panel.received.contains("OPEN"));
}

// Streams waiting for SN2's data connection belong to PC connections spread over the relay's
// threads, the panel's link to another one, and the registration that replaces the link to a
// third: each waiting PC must hear at once that the panel went, from its own thread, and the
// new link must get the next request.
void TestRelay::reRegistrationAnswersWaitingStreamsOnTheirThreads()
{
    QTemporaryDir dir;
    RelayFixture relay(dir.path());
    QVERIFY(relay.start(0, "threads=4"));
    RelayClient first;
    QVERIFY(first.ask(relay.port(), "PANEL SN2 secret-2\n"));
    first.received.clear();
    constexpr int kWaiting = 16;
    std::vector<std::unique_ptr<RelayClient>> pcs;
    for (int i = 0; i < kWaiting; ++i) {
        pcs.push_back(std::make_unique<RelayClient>());
        QVERIFY(pcs.back()->connectTo(relay.port()));
        pcs.back()->socket.write("STREAM token-a SN2 127.0.0.1:5900\n");
    }
    QVERIFY(QTest::qWaitFor([&] { return first.received.count("OPEN ") == kWaiting; }, 5000));
    RelayClient second;
    QVERIFY(second.ask(relay.port(), "PANEL SN2 secret-2\n"));
    QCOMPARE(second.firstLine(), QByteArray("OK"));
    for (auto &pc : pcs) { // well before the 10 s a panel has to answer
        QVERIFY(pc->waitForLine(3000));
        QVERIFY2(pc->firstLine().startsWith("ERR OFFLINE"), pc->firstLine().constData());
    }
    second.received.clear();
    RelayClient pc;
    QVERIFY(pc.connectTo(relay.port()));
    pc.socket.write("STREAM token-a SN2 127.0.0.1:5900\n");
    QVERIFY(second.waitForLine());
    QVERIFY2(second.firstLine().startsWith("OPEN "), second.received.constData());
    QVERIFY(relay.process().isRunning());
}

void TestRelay::silentLinkIsNoticed()
{
    // Heartbeat scaled down 100 times: PING every 100 ms, silence limit three intervals.
    QTemporaryDir dir;
    RelayFixture relay(dir.path());
    QVERIFY(relay.start(0, "heartbeat_ms=100"));
    RelayClient panel;
    QVERIFY(panel.ask(relay.port(), "PANEL SN1 secret-1\n"));
    QVERIFY(QTest::qWaitFor([&] { return panel.received.contains("PING"); }, 3000));
    QVERIFY(panel.closed(3000)); // it never answered anything
    QVERIFY(relay.process().waitForOutput("panel SN1 gone"));

    RelayClient lively;
    QVERIFY(lively.ask(relay.port(), "PANEL SN2 secret-2\n"));
    // Answering each PING keeps the link: eight intervals outlast the silence limit.
    QObject::connect(&lively.socket, &QSslSocket::readyRead, [&] { lively.socket.write("PING\n"); });
    QVERIFY(QTest::qWaitFor([&] { return lively.received.count("PING") >= 8
                                      || lively.socket.state() != QAbstractSocket::ConnectedState; },
                            5000));
    QCOMPARE(lively.socket.state(), QAbstractSocket::ConnectedState);
}

void TestRelay::keepsItsCertificateAcrossRestarts()
{
    QTemporaryDir dir;
    RelayFixture relay(dir.path());
    QVERIFY(relay.start());
    QVERIFY(relay.process().output().contains("created"));
    const QString fp = relay.fingerprint();
    relay.process().kill();
    QVERIFY(relay.start(relay.port()));
    QCOMPARE(relay.fingerprint(), fp);
    QVERIFY(!relay.process().output().contains("created"));
    QVERIFY(QFile::remove(dir.filePath("relay.crt")));
    relay.process().kill();
    QVERIFY(!relay.start()); // key without certificate: refuse rather than change identity
    QVERIFY(relay.process().output().contains("only one of"));
}

void TestRelay::helpAndBadArguments()
{
    for (const char *program : {kRelayBinary, kPanelBinary}) {
        QProcess p;
        p.start(program, {"--help"});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().contains("--config FILE"));
        p.start(program, {"--config", m_dir.filePath("missing.ini")});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("missing.ini"));
        p.start(program, {"--bogus"});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 2);
    }
}

// What systemctl status shows of a service that would not start: one line that names the
// file and line (or the address), and exit code 1, which the unit does not restart.
void TestRelay::startErrorsAreOneLineWithFileAndLine()
{
    const QString ini = m_dir.filePath("bad.ini");
    const QString inUse = QString("127.0.0.1:%1").arg(m_relay->port());
    const QList<QPair<QString, QString>> cases = {
        {"[relay]\nlisten=127.0.0.1:0\nlisen=127.0.0.1:1\n", ini + ":3: [relay] lisen= is not a setting (listen="},
        {"[relay]\n; the port is too large\nlisten=0.0.0.0:70000\n", ini + ":3: [relay] listen=0.0.0.0:70000 is not HOST:PORT"},
        {"[relay]\nlisten=127.0.0.1:0\n[user]\nt=*\n", ini + ":3: [user] is not a section of this file"},
        {"[relay]\nlisten=127.0.0.1:0\nheartbeat_ms=fast\n", ini + ":3: [relay] heartbeat_ms=fast must be"},
        // Not 10 ms: a unit after the number is refused, not cut off.
        {"[relay]\nlisten=127.0.0.1:0\nheartbeat_ms=10s\n", ini + ":3: [relay] heartbeat_ms=10s must be"},
        {"listen=127.0.0.1:0\n", ini + ":1: listen= is outside any section"},
        {"[relay]\nlisten=" + inUse + "\n", "cannot listen on " + inUse + ": Address already in use"},
    };
    for (const auto &[text, expected] : cases) {
        QVERIFY(saveFile(ini, text.toUtf8()));
        QProcess p;
        p.start(kRelayBinary, {"--config", ini});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 1);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.startsWith("talvo-relay: ") && err.count('\n') == 1 && err.contains(expected), qPrintable(err));
    }
}

// Best effort: ephemeral ports work in either namespace.
PRIVATE_NETWORK_TEST_MAIN_WITH(TestRelay, enterPrivateNetwork)

#include "test_relay.moc"
