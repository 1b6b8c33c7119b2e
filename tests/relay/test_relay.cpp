// Guards the relay against hostile and mistaken peers: every bad request, spoken to it directly,
// is refused with a reason or closed, logged, and the relay keeps serving; and against a relay
// that reads what it carries: a stream's bytes pass it unread, only once joined.
#include "Bytes.h"
#include "RawSocket.h"
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
    void refusesStreamsOnTheControlLink();
    void closesPlainTextAndSilentPeers();
    void joinsOnceAndPassesBytesAsTheyAre();
    void reRegisteringPanelReplacesOldLink();
    void silentLinkIsNoticed();
    void keyWithoutCertificateIsRefused();
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
    QTest::addColumn<bool>("withHello");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("logged");
    const QByteArray key(64, 'e');
    QTest::newRow("wrong secret") << RelayClient::panel("SN1", "guess") << true << QByteArray("ERR SECRET") << "refused panel registration";
    QTest::newRow("unknown panel") << RelayClient::panel("NOPE", "secret-1") << true << QByteArray("ERR SECRET") << "refused panel registration";
    // The SN becomes a key in the cluster's registry, where a colon would split it.
    for (const QByteArray &sn : {QByteArray("SN1:evil"), QByteArray("SN*"), QByteArray(65, 'A')})
        QTest::newRow(("bad serial number " + sn.left(8)).constData())
            << RelayClient::panel(sn, "secret-1") << true << QByteArray("ERR SECRET") << "serial number is not 1-64 of";
    QTest::newRow("wrong token") << QByteArray("USER nobody\n") << true << QByteArray("ERR TOKEN") << "unknown token";
    QTest::newRow("version 1 peer") << QByteArray("PANEL SN1 secret-1\n") << false << QByteArray("ERR VERSION") << "protocol version 1, this relay speaks 2";
    QTest::newRow("newer peer") << QByteArray("TALVO 3\nUSER token-a\n") << false << QByteArray("ERR VERSION") << "protocol version 3, this relay speaks 2";
    QTest::newRow("panel without key") << QByteArray("PANEL SN1 secret-1\n") << true << QByteArray("ERR PROTOCOL") << "bad request";
    QTest::newRow("join over TLS") << "JOIN " + QByteArray(32, 'a') + "\n" << true << QByteArray("ERR PROTOCOL") << "bad request";
    QTest::newRow("garbage") << QByteArray("\x01\x02\xff\xfe\n", 5) << true << QByteArray("ERR PROTOCOL") << "garbage request";
    QTest::newRow("unknown verb") << QByteArray("HELLO\n") << true << QByteArray("ERR PROTOCOL") << "bad request";
    QTest::newRow("oversized") << QByteArray(4096, 'A') << true << QByteArray("ERR PROTOCOL") << "oversized request";
}

void TestRelay::refusesBadRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, withHello);
    QFETCH(QByteArray, answer);
    QFETCH(QString, logged);
    const int before = m_relay->process().count(logged);
    RelayClient c;
    // Pinned: the certificate it printed.
    QVERIFY(withHello ? c.ask(m_relay->port(), request, m_relay->fingerprint())
                      : c.askRaw(m_relay->port(), request, m_relay->fingerprint()));
    QVERIFY2(c.firstLine().startsWith(answer), c.firstLine().constData());
    QVERIFY(c.closed(5000));
    QVERIFY(QTest::qWaitFor([&] { return m_relay->process().count(logged) > before; }, 5000));
    QVERIFY(m_relay->process().isRunning());
    // A request that does not decode is logged by its verb, never whole: it may hold a secret.
    QVERIFY(!m_relay->process().output().contains("secret-1"));
    QVERIFY(!m_relay->process().output().contains("token-a"));
}

// Stream requests ride on the PC's control link: a refusal answers that one request with its
// reason and the link stays, for the next one. A request refused never reaches the panel.
void TestRelay::refusesStreamsOnTheControlLink()
{
    RelayClient a, b, panel;
    QVERIFY(panel.ask(m_relay->port(), RelayClient::panel("SN9", "secret-9")));
    QVERIFY(a.ask(m_relay->port(), "USER token-a\n"));
    QVERIFY(b.ask(m_relay->port(), "USER token-b\n"));
    panel.received.clear();
    const QList<std::tuple<RelayClient *, QByteArray, QByteArray>> cases = {
        {&a, "STREAM 7 SN2 127.0.0.1:1\n", "REFUSED 7 OFFLINE"},
        {&a, "STREAM 8 SN1 x;rm\n", "REFUSED 8 OFFLINE"}, // offline comes first: nothing reaches a panel
        {&a, "STREAM 9 ../x 127.0.0.1:1\n", "REFUSED 9 NOT_ALLOWED"},
        {&b, "STREAM 1 SN1 127.0.0.1:1\n", "REFUSED 1 NOT_ALLOWED"},
        {&b, "STREAM 2 SN9 127.0.0.1:1\n", "REFUSED 2 NOT_ALLOWED"},
    };
    for (const auto &[pc, line, expected] : cases) {
        pc->received.clear();
        pc->socket.write(line);
        QVERIFY2(QTest::qWaitFor([&] { return pc->received.contains(expected); }, 5000), line.constData());
    }
    QVERIFY2(!panel.received.contains("OPEN"), panel.received.constData());
    QCOMPARE(a.socket.state(), QAbstractSocket::ConnectedState);
    b.socket.write("STREAM x SN1 127.0.0.1:1\n");
    QVERIFY(b.closed(5000));
    QVERIFY(m_relay->process().waitForOutput("bad line"));
}

void TestRelay::closesPlainTextAndSilentPeers()
{
    QTcpSocket plain;
    plain.connectToHost(QHostAddress::LocalHost, m_relay->port());
    QVERIFY(plain.waitForConnected(3000));
    plain.write("GET / HTTP/1.0\r\n\r\n");
    QVERIFY(QTest::qWaitFor([&] { return plain.state() == QAbstractSocket::UnconnectedState; }, 5000));
    QVERIFY(m_relay->process().waitForOutput("bad request from"));

    // Silent before TLS: tst_reliability's connectionCapsCloseBeforeTls.
    RelayClient silentTls;
    QVERIFY(silentTls.connectTo(m_relay->port()));
    QVERIFY(silentTls.closed(5000));
    QVERIFY(m_relay->process().waitForOutput("no request from"));

    RelayClient truncated;
    QVERIFY(truncated.connectTo(m_relay->port()));
    truncated.socket.write("TALVO 2\nPANEL SN1 secr");
    QVERIFY(truncated.socket.waitForBytesWritten(3000));
    truncated.socket.abort(); // vanishes mid-line
    QVERIFY(m_relay->process().waitForOutput("ended before a request"));
    QVERIFY(!m_relay->process().output().contains("panel SN1 registered"));
}

// A stream through the relay as the two ends see it, with stand-ins that show the raw bytes:
// the panel's data connection and the PC's join by their one-time values, then whatever one
// sends arrives at the other as it was sent (the relay neither adds nor reads a record), a
// half-close arrives as one, a reset as a reset. A join value works once; one that comes too
// late, one never handed out and bytes sent before the join are refused.
void TestRelay::joinsOnceAndPassesBytesAsTheyAre()
{
    const quint16 port = m_relay->port();
    RelayClient panel, pc;
    QVERIFY(panel.ask(port, RelayClient::panel("SN1", "secret-1")));
    QVERIFY(pc.ask(port, "USER token-a\n"));
    auto joined = [](RawSocket &s, const QByteArray &join) {
        return s.send("TALVO 2\nJOIN " + join + "\n") ? s.line() : QByteArray("(not sent)");
    };
    auto fresh = [&](const QByteArray &join) {
        RawSocket s(port);
        return joined(s, join);
    };
    auto fields = [](const QByteArray &received, const char *verb) {
        return received.mid(received.indexOf(verb)).split('\n').value(0).split(' ');
    };
    // Stream `id` requested and `agent` joined as the panel's side: the PC's GRANTED fields,
    // none when a step failed; the panel's OPEN fields in *open.
    auto grant = [&](int id, RawSocket &agent, QList<QByteArray> *open = nullptr) -> QList<QByteArray> {
        panel.received.clear();
        pc.received.clear();
        pc.socket.write("STREAM " + QByteArray::number(id) + " SN1 127.0.0.1:7530\n");
        const QByteArray granted = "GRANTED " + QByteArray::number(id) + " ";
        if (!QTest::qWaitFor([&] { return panel.received.contains("OPEN "); }, 5000))
            return {};
        const QList<QByteArray> o = fields(panel.received, "OPEN ");
        if (o.size() != 5 || o[2] != "127.0.0.1:7530" || joined(agent, o[3]) != "OK"
            || !QTest::qWaitFor([&] { return pc.received.contains(granted); }, 5000))
            return {};
        if (open)
            *open = o;
        return fields(pc.received, "GRANTED ");
    };
    RawSocket agent(port);
    QList<QByteArray> open;
    const QList<QByteArray> granted = grant(1, agent, &open);
    QCOMPARE(granted.size(), 5);
    QCOMPARE(granted[3], open[4]); // the secret the agent got
    QCOMPARE(granted[4], QByteArray(64, 'e')); // the key the panel registered
    QVERIFY(granted[2] != open[3]);

    RawSocket stream(port);
    QCOMPARE(joined(stream, granted[2]), QByteArray("OK"));
    const QByteArray up = randomBytes(300000, 11), down = randomBytes(200000, 12);
    QVERIFY(stream.send(up));
    QCOMPARE(agent.read(up.size()), up);
    QVERIFY(agent.send(down));
    QCOMPARE(stream.read(down.size()), down);
    stream.shutdownSend();
    QCOMPARE(agent.end(), 1); // the PC's end arrives as an end
    QVERIFY(agent.send("after"));
    QCOMPARE(stream.read(5), QByteArray("after")); // and the other way still flows
    agent.shutdownSend();
    QCOMPARE(stream.end(), 1);
    QVERIFY(m_relay->process().waitForOutput("closed, 300000 bytes up, 200005 down (pc-closed)"));

    QVERIFY(fresh(granted[2]).startsWith("ERR PROTOCOL"));
    QVERIFY(m_relay->process().waitForOutput("stream already joined (replayed)"));
    QVERIFY(fresh(QByteArray(32, '0')).startsWith("ERR PROTOCOL"));
    QVERIFY(m_relay->process().waitForOutput("unknown stream"));
    RawSocket early(port);
    QVERIFY(early.send("TALVO 2\nJOIN " + QByteArray(32, '1') + "\nclient hello"));
    QCOMPARE(early.end(), 1);
    QVERIFY(m_relay->process().waitForOutput("sent bytes before its stream was joined"));

    // A reset from either end arrives as a reset at the other.
    for (bool fromPc : {true, false}) {
        RawSocket a(port);
        const QByteArray join = grant(2, a).value(2);
        RawSocket p(port);
        QVERIFY(!join.isEmpty() && joined(p, join) == "OK");
        QVERIFY(p.send("x") && a.read(1) == "x");
        (fromPc ? p : a).abort();
        QCOMPARE((fromPc ? a : p).end(), -1);
    }
    QVERIFY(m_relay->process().waitForOutput("aborted"));

    // Granted, and nobody joins within the handshake time: the panel's side is let go.
    RawSocket waiting(port);
    const QByteArray late = grant(3, waiting).value(2);
    QVERIFY(!late.isEmpty());
    QCOMPARE(waiting.end(), 1);
    QVERIFY(fresh(late).startsWith("ERR PROTOCOL"));
    QVERIFY(m_relay->process().waitForOutput("expired stream"));
    QVERIFY(m_relay->process().isRunning());
}

// A panel registering again replaces its old link at once, and the old link is told why.
// Streams waiting for SN2's data connection belong to PC links spread over the relay's
// threads, the panel's link to another one, and the registration that replaces the link to a
// third: each waiting PC must hear at once that the panel went, from its own thread, and the
// new link must get the next request, whose refusal reaches the PC with its reason.
void TestRelay::reRegisteringPanelReplacesOldLink()
{
    QTemporaryDir dir;
    RelayFixture relay(dir.path());
    QVERIFY(relay.start(0, "threads=4"));
    RelayClient first;
    QVERIFY(first.ask(relay.port(), RelayClient::panel("SN2", "secret-2")));
    QCOMPARE(first.firstLine(), QByteArray("OK"));
    first.received.clear();
    constexpr int kWaiting = 16;
    std::vector<std::unique_ptr<RelayClient>> pcs;
    for (int i = 0; i < kWaiting; ++i) {
        pcs.push_back(std::make_unique<RelayClient>());
        QVERIFY(pcs.back()->ask(relay.port(), "USER token-a\n"));
        pcs.back()->received.clear();
        pcs.back()->socket.write("STREAM 1 SN2 127.0.0.1:5900\n");
    }
    QVERIFY(QTest::qWaitFor([&] { return first.received.count("OPEN ") == kWaiting; }, 5000));
    RelayClient second;
    QVERIFY(second.ask(relay.port(), RelayClient::panel("SN2", "secret-2")));
    QCOMPARE(second.firstLine(), QByteArray("OK"));
    QVERIFY(first.closed(5000)); // at once, not after a heartbeat time-out
    QVERIFY2(first.received.contains("\nERR REPLACED "), first.received.constData()); // and told why
    QVERIFY(relay.process().waitForOutput("panel SN2 registered again"));
    for (auto &pc : pcs) { // well before the 10 s a panel has to answer
        QVERIFY(QTest::qWaitFor([&] { return pc->received.contains("\n") || pc->received.contains("REFUSED"); }, 3000));
        QVERIFY2(pc->received.startsWith("REFUSED 1 OFFLINE"), pc->received.constData());
    }
    second.received.clear();
    RelayClient &pc = *pcs.front();
    pc.received.clear();
    pc.socket.write("STREAM 2 SN2 127.0.0.1:5900\n");
    QVERIFY(second.waitForLine());
    const QList<QByteArray> open = second.firstLine().split(' ');
    QVERIFY2(open.size() == 5 && open[0] == "OPEN" && open[2] == "127.0.0.1:5900", second.received.constData());
    second.socket.write("FAIL " + open[1] + " TARGET\n");
    QVERIFY(QTest::qWaitFor([&] { return pc.received.contains("REFUSED 2 TARGET"); }, 5000));
    QVERIFY(relay.process().isRunning());
}

void TestRelay::silentLinkIsNoticed()
{
    // Heartbeat scaled down 100 times: PING every 100 ms, silence limit three intervals.
    QTemporaryDir dir;
    RelayFixture relay(dir.path());
    QVERIFY(relay.start(0, "heartbeat_ms=100"));
    RelayClient panel;
    QVERIFY(panel.ask(relay.port(), RelayClient::panel("SN1", "secret-1")));
    QVERIFY(QTest::qWaitFor([&] { return panel.received.contains("PING"); }, 3000));
    QVERIFY(panel.closed(3000)); // it never answered anything
    QVERIFY(relay.process().waitForOutput("panel SN1 gone"));

    RelayClient lively;
    QVERIFY(lively.ask(relay.port(), RelayClient::panel("SN2", "secret-2")));
    // Answering each PING keeps the link: eight intervals outlast the silence limit.
    QObject::connect(&lively.socket, &QSslSocket::readyRead, [&] { lively.socket.write("PING\n"); });
    QVERIFY(QTest::qWaitFor([&] { return lively.received.count("PING") >= 8
                                      || lively.socket.state() != QAbstractSocket::ConnectedState; },
                            5000));
    QCOMPARE(lively.socket.state(), QAbstractSocket::ConnectedState);
}

// A key without its certificate: refuse to start rather than change identity. That the pair
// is kept across restarts, test_tunnellib's relayRestartedListenersSurvive shows end to end.
void TestRelay::keyWithoutCertificateIsRefused()
{
    QTemporaryDir dir;
    RelayFixture relay(dir.path());
    QVERIFY(relay.start());
    relay.process().kill();
    QVERIFY(QFile::remove(dir.filePath("relay.crt")));
    QVERIFY(!relay.start());
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
    const QString inUse = QString("127.0.0.1:%1").arg(m_relay->port()), relay = "[relay]\nlisten=127.0.0.1:0\n";
    const QList<QPair<QString, QString>> cases = {
        {"[relay]\nlisten=127.0.0.1:0\nlisen=127.0.0.1:1\n", ini + ":3: [relay] lisen= is not a setting (listen="},
        {"[relay]\n; the port is too large\nlisten=0.0.0.0:70000\n", ini + ":3: [relay] listen=0.0.0.0:70000 is not HOST:PORT"},
        {"[relay]\nlisten=127.0.0.1:0\n[user]\nt=*\n", ini + ":3: [user] is not a section of this file"},
        {"[relay]\nlisten=127.0.0.1:0\nheartbeat_ms=fast\n", ini + ":3: [relay] heartbeat_ms=fast must be"},
        // Not 10 ms: a unit after the number is refused, not cut off.
        {"[relay]\nlisten=127.0.0.1:0\nheartbeat_ms=10s\n", ini + ":3: [relay] heartbeat_ms=10s must be"},
        {"listen=127.0.0.1:0\n", ini + ":1: listen= is outside any section"},
        {"[relay]\nlisten=" + inUse + "\n", "cannot listen on " + inUse + ": Address already in use"},
        {relay + "[cluster]\nredis=127.0.0.1:1\nsentinel=127.0.0.1:2\nmaster=m\nid=a\npeer=127.0.0.1:3\n",
         ini + ":4: [cluster] needs either redis="},
        {relay + "[cluster]\nsentinel=127.0.0.1:2,127.0.0.1:3\nid=a\npeer=127.0.0.1:3\n", "master="},
        // A colon would split the Redis keys the id is part of.
        {relay + "[cluster]\nredis=127.0.0.1:1\nid=a:b\npeer=127.0.0.1:3\n", ini + ":5: [cluster] id="},
        {relay + "[cluster]\nredis=127.0.0.1:1\nid=a\n", "peer=HOST:PORT"},
        {relay + "metrics=nowhere\n", ini + ":3: [relay] metrics="},
        {"[panel]\nsn=A\nsecret=s\nrelay=127.0.0.1:1,,127.0.0.1:2\nfingerprint=" + QString(64, 'a') + "\n",
         ini + ":4: [panel] relay="},
    };
    for (const auto &[text, expected] : cases) {
        QVERIFY(saveFile(ini, text.toUtf8()));
        const QString program = text.startsWith("[panel]") ? kPanelBinary : kRelayBinary;
        QProcess p;
        p.start(program, {"--config", ini});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 1);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.startsWith(QFileInfo(program).fileName() + ": ") && err.count('\n') == 1 && err.contains(expected),
                 qPrintable(err));
    }
}

// Best effort: ephemeral ports work in either namespace.
PRIVATE_NETWORK_TEST_MAIN_WITH(TestRelay, enterPrivateNetwork)

#include "test_relay.moc"
