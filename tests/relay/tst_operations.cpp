// Guards what an operator of a relay relies on: an audit trail that answers who reached what,
// when and how much, and a reload that changes users and panels without dropping what the
// new file still allows, while what it no longer allows ends at once.
#include "StreamClient.h"
#include "TunnelFixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>

class TestOperations : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void auditRecordsAStreamsLife();
    void reloadKeepsWhatStaysAllowedAndRevokesTheRest();
    void brokenReloadChangesNothing();

private:
    QList<QJsonObject> records();
    bool reload(const QString &from, const QString &to);
    bool openStream(StreamClient &pc, const QByteArray &token);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RelayFixture> m_relay;
    std::unique_ptr<EchoServer> m_echo;
    std::unique_ptr<ToolProcess> m_agent;
};

namespace {
const char kUsers[] = "audit=audit.jsonl\n"
                      "[user alice]\ntoken=alice-token-1\npanels=SN*\n"
                      "[user bob]\ntoken=bob-token-22\npanels=SN1\n";
} // namespace

void TestOperations::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_relay = std::make_unique<RelayFixture>(m_dir->path());
    QVERIFY(m_relay->start(0, kUsers));
    m_echo = std::make_unique<EchoServer>();
    m_agent = std::make_unique<ToolProcess>();
    QVERIFY(m_agent->start(kPanelBinary, writePanelConfig(m_dir->path(), "panel.ini", "SN1", "secret-1", m_relay->port(),
                                                          m_relay->fingerprint(),
                                                          {QString("127.0.0.1:7530=127.0.0.1:%1").arg(m_echo->serverPort())})));
    QVERIFY(m_relay->process().waitForOutput("panel SN1 registered"));
}

void TestOperations::cleanup()
{
    m_agent.reset();
    m_relay.reset();
    m_echo.reset();
    m_dir.reset();
}

QList<QJsonObject> TestOperations::records()
{
    QList<QJsonObject> out;
    for (const QByteArray &line : readFile(m_dir->filePath("audit.jsonl")).split('\n'))
        if (!line.isEmpty())
            out.append(QJsonDocument::fromJson(line).object());
    return out;
}

bool TestOperations::reload(const QString &from, const QString &to)
{
    const QString text = QString::fromUtf8(readFile(m_relay->configPath())).replace(from, to);
    const int before = m_relay->process().count("reload");
    return saveFile(m_relay->configPath(), text.toUtf8()) && ::kill(pid_t(m_relay->process().pid()), SIGHUP) == 0
        && QTest::qWaitFor([&] { return m_relay->process().count("reload") > before; }, 5000);
}

bool TestOperations::openStream(StreamClient &pc, const QByteArray &token)
{
    return aside([&] { return pc.open(m_relay->port(), "SN1", 7530, token) && pc.echoes("hello"); });
}

// A stream's life as records: the login, the open and its end with who ended it and the bytes
// both ways, all under one stream id; a refused login and a refused stream with their reasons;
// the panel coming online. The chain verifies, and no token is in the trail or the log.
void TestOperations::auditRecordsAStreamsLife()
{
    StreamClient pc, refused, intruder;
    QVERIFY(openStream(pc, "alice-token-1"));
    QVERIFY(aside([&] { return pc.echoes(QByteArray(1000, 'x')); }));
    QCOMPARE(aside([&] { return pc.finish(); }), 1);
    QVERIFY(aside([&] { return refused.login(m_relay->port(), "bob-token-22")
                               && refused.request("SN2", 7530).startsWith("REFUSED"); }));
    QVERIFY(aside([&] { return !intruder.login(m_relay->port(), "no-such-token"); }));
    QVERIFY(m_relay->process().waitForOutput("(pc-closed)"));
    QVERIFY(QTest::qWaitFor([&] { return records().size() >= 7; }, 5000));

    const auto all = records();
    auto find = [&](const QString &event, const QString &result = {}) {
        for (const auto &r : all)
            if (r["event"].toString() == event && (result.isEmpty() || r["result"].toString() == result))
                return r;
        return QJsonObject();
    };
    QCOMPARE(find("panel.online")["sn"].toString(), QString("SN1"));
    QCOMPARE(find("login", "ok")["user"].toString(), QString("alice"));
    QVERIFY(find("login", "refused")["source"].toString().startsWith("127.0.0.1:"));
    const QJsonObject open = find("stream.open", "ok"), end = find("stream.end");
    QCOMPARE(open["user"].toString(), QString("alice"));
    QCOMPARE(open["target"].toString(), QString("127.0.0.1:7530"));
    QVERIFY(!open["stream"].toString().isEmpty());
    QCOMPARE(end["stream"], open["stream"]);
    QCOMPARE(end["cause"].toString(), QString("pc-closed"));
    // Ciphertext: the payloads plus the stream's TLS and its proof, each way.
    QVERIFY(end["bytes_up"].toDouble() > 1005 && end["bytes_down"].toDouble() > 1005);
    QVERIFY(end.contains("duration_ms"));
    const QJsonObject no = find("stream.open", "refused");
    QCOMPARE(no["user"].toString(), QString("bob"));
    QVERIFY(no["reason"].toString().startsWith("NOT_ALLOWED"));
    for (const auto &r : all)
        QVERIFY(QDateTime::fromString(r["time"].toString(), Qt::ISODateWithMs).isValid());

    QProcess verify;
    verify.start(kRelayBinary, {"--verify-audit", m_dir->filePath("audit.jsonl")});
    QVERIFY(verify.waitForFinished(5000));
    QCOMPARE(verify.exitCode(), 0);
    const QByteArray written = readFile(m_dir->filePath("audit.jsonl")) + m_relay->process().output().toUtf8();
    for (const char *token : {"alice-token-1", "bob-token-22", "no-such-token", "secret-1"})
        QVERIFY2(!written.contains(token), token);
}

// SIGHUP with bob gone and alice's patterns unchanged: alice's stream goes on, bob's ends at
// once as revoked (a reset at the PC, not a clean end), his link closes, the panel does not
// register again, and the trail says so.
void TestOperations::reloadKeepsWhatStaysAllowedAndRevokesTheRest()
{
    StreamClient alice, bob;
    QVERIFY(openStream(alice, "alice-token-1"));
    QVERIFY(openStream(bob, "bob-token-22"));
    QVERIFY(reload("[user bob]\ntoken=bob-token-22\npanels=SN1\n", ""));
    QVERIFY(m_relay->process().waitForOutput("revoked 1 streams"));
    QCOMPARE(aside([&] { return bob.waitForEnd(); }), -1);
    QVERIFY(aside([&] { return alice.echoes("still here"); }));
    QCOMPARE(m_relay->process().count("panel SN1 registered"), 1);
    QVERIFY(QTest::qWaitFor([&] {
        for (const auto &r : records())
            if (r["event"] == "stream.end" && r["user"] == "bob" && r["cause"] == "revoked")
                return true;
        return false;
    }, 5000));
    bool reloaded = false;
    for (const auto &r : records())
        reloaded |= r["event"] == "config.reload" && r["result"] == "ok";
    QVERIFY(reloaded);
    StreamClient again;
    QVERIFY(aside([&] { return !again.login(m_relay->port(), "bob-token-22"); }));

    // The panel no longer listed: its link and the streams to it end, and it cannot come back.
    QVERIFY(reload("SN1=secret-1\n", ""));
    QCOMPARE(aside([&] { return alice.waitForEnd(); }), -1);
    QVERIFY(m_relay->process().waitForOutput("panel SN1 gone (revoked"));
    QVERIFY(m_relay->process().waitForOutput("refused panel registration for SN1"));
}

// A file with an error: nothing changes, the relay says where the error is, the streams go on
// and the old users still log in. A setting only a restart takes is named as such.
void TestOperations::brokenReloadChangesNothing()
{
    StreamClient bob;
    QVERIFY(openStream(bob, "bob-token-22"));
    QVERIFY(reload("[user bob]", "[user bob]\nbogus=1"));
    QVERIFY(m_relay->process().waitForOutput("reload refused"));
    QVERIFY(m_relay->process().output().contains(m_relay->configPath() + ":"));
    QVERIFY(aside([&] { return bob.echoes("unchanged"); }));
    StreamClient later;
    QVERIFY(aside([&] { return later.login(m_relay->port(), "bob-token-22"); }));
    QVERIFY(reload("bogus=1\n", ""));
    QVERIFY(reload("listen=127.0.0.1:0\n", "listen=127.0.0.1:0\nheartbeat_ms=20000\n"));
    QVERIFY(m_relay->process().waitForOutput("takes effect at the next restart"));
}

PRIVATE_NETWORK_TEST_MAIN_WITH(TestOperations, enterPrivateNetwork)

#include "tst_operations.moc"
