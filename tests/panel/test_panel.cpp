// Guards the panel agent against unlisted targets, mistyped configs and relays with an
// unpinned certificate, and its streams' own TLS: only a PC that proves the relay's
// per-stream secret inside the agent's TLS reaches a target. Streams go through the real
// relay; a stand-in relay plays one of another version, one that replays an OPEN and one
// whose data connections fail.
#include "RawSocket.h"
#include "StandInRelay.h"
#include "StreamClient.h"
#include "TunnelFixture.h"
#include "panel/PanelConfig.h"
#include "panel/TargetMap.h"
#include "wire/EndToEnd.h"
#include "wire/Messages.h"

#include <QtTest>

#include <openssl/ssl.h>

namespace {

// Echoes, and keeps count: a byte that a refused stream let through shows in `received`.
class Target : public QTcpServer
{
public:
    Target()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection()) {
                ++connections, ++open;
                connect(s, &QTcpSocket::readyRead, s, [this, s] { received += s->peek(1 << 20), s->write(s->readAll()); });
                connect(s, &QTcpSocket::disconnected, s, [this, s] { --open, s->deleteLater(); });
            }
        });
    }
    int connections = 0, open = 0;
    QByteArray received;
};

QByteArray freshHex(std::size_t digits)
{
    return QByteArray::fromStdString(wire::randomHex(digits / 2));
}

// A TLS client's first flight, for a handshake cut off after it.
QByteArray clientHello()
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL *ssl = SSL_new(ctx);
    SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_connect(ssl); // wants the server's answer, with its hello written
    char buf[4096];
    const int n = BIO_read(SSL_get_wbio(ssl), buf, sizeof buf);
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    return QByteArray(buf, qMax(n, 0));
}

// An agent (a process) as SN1 with the echo target at panel view 127.0.0.1:7530, at the real
// relay unless given another.
struct Panel
{
    QTemporaryDir dir;
    RelayFixture relay {dir.path()};
    Target target;
    ToolProcess agent;
    QString config;

    // One I/O thread: the agent's descriptors, counted, are then the same after each stream.
    bool start(const QStringList &panelLines = {}, const QString &secret = "secret-1", quint16 relayPort = 0,
               const QString &fingerprint = {})
    {
        if (!relayPort && !relay.port() && !relay.start())
            return false;
        config = writePanelConfig(dir.path(), "panel.ini", "SN1", secret, relayPort ? relayPort : relay.port(),
                                  fingerprint.isEmpty() ? relay.fingerprint() : fingerprint,
                                  {"127.0.0.1:7530=127.0.0.1:" + QString::number(target.serverPort())},
                                  QStringList {"threads=1"} + panelLines);
        return agent.start(kPanelBinary, config);
    }
    bool said(const QString &text, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return agent.output().contains(text); }, timeoutMs);
    }
    QByteArray key()
    {
        const int at = agent.output().indexOf("key fingerprint ");
        return at < 0 ? QByteArray() : agent.output().mid(at + 16, 64).toLatin1();
    }
    // Through the real relay: a PC granted a stream to panel view port `view`, and joined
    // on `raw` (bytes as they are) or, without one, on its own connection (for its TLS).
    bool grant(StreamClient &pc, quint16 view = 7530, RawSocket *raw = nullptr)
    {
        if (!pc.login(relay.port()) || !pc.request("SN1", view).startsWith("GRANTED "))
            return false;
        if (!raw)
            return pc.join(relay.port()) == "OK";
        return raw->connectTo(relay.port()) && raw->send("TALVO 2\nJOIN " + pc.grantedJoin + "\n")
            && raw->line() == "OK";
    }
    int descriptors()
    {
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(agent.pid()));
        return fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
    }
};

} // namespace

class TestPanel : public QObject
{
    Q_OBJECT
private slots:
    // Only what is listed is reachable; a '*' host passed on as requested reaches the PLCs on
    // the panel's network, not the panel's own services (loopback, 0.0.0.0, link-local) nor
    // whatever a name a PC sends resolves to.
    void targetsMapOnlyListedAddresses()
    {
        panel::TargetMap listed, wild;
        std::string refusal;
        QVERIFY(listed.add("127.0.0.1:7530", "127.0.0.1:5900", &refusal) && listed.add("*:502", "*:502", &refusal)
                && listed.add("192.168.1.10:*", "10.0.0.5:*", &refusal));
        QVERIFY(!listed.add("127.0.0.1", "127.0.0.1:1", &refusal));
        QVERIFY(wild.add("169.254.7.7:*", "*:*", &refusal)            // named: reachable
                && wild.add("plc.lan:502", "plc.lan:502", &refusal) // a name the rule gives
                && wild.add("*:*", "*:*", &refusal));
        auto resolve = [&](const panel::TargetMap &map, const char *text) {
            refusal.clear();
            const auto r = map.resolve(*wire::parseHostPort(text), &refusal);
            return r ? QString::fromStdString(r->text()) : QString();
        };
        QCOMPARE(resolve(listed, "127.0.0.1:7530"), QString("127.0.0.1:5900"));
        QCOMPARE(resolve(listed, "192.168.0.7:502"), QString("192.168.0.7:502"));
        QCOMPARE(resolve(listed, "192.168.1.10:102"), QString("10.0.0.5:102"));
        for (const char *unlisted : {"127.0.0.1:7540", "127.0.0.1:22", "localhost:7530"}) // no name games
            QVERIFY2(resolve(listed, unlisted).isEmpty(), unlisted);
        for (const char *plc : {"10.1.2.3:22", "[2001:db8::1]:22", "169.254.7.7:80", "plc.lan:502"})
            QCOMPARE(resolve(wild, plc), QString(plc));
        for (const char *local : {"127.0.0.1:7540", "127.9.9.9:22", "0.0.0.0:22", "[::1]:22", "[::]:22",
                                  "[::ffff:127.0.0.1]:22", "169.254.1.1:80", "[fe80::1]:22"}) {
            QVERIFY2(resolve(wild, local).isEmpty(), local);
            QVERIFY2(QString::fromStdString(refusal).contains("panel's own or a link-local"), local);
        }
        QVERIFY(resolve(wild, "localhost:22").isEmpty());
        QVERIFY2(QString::fromStdString(refusal).contains("resolve-names"), refusal.c_str());

        wild.setWildcardNames(true);
        bool asRequested = false;
        QCOMPARE(QString::fromStdString(wild.resolve(*wire::parseHostPort("plc2.lan:22"), nullptr, &asRequested)->text()),
                 QString("plc2.lan:22"));
        QVERIFY(asRequested); // the agent then checks what it resolves to:
        QVERIFY(!panel::TargetMap::mayReachAsRequested(asio::ip::make_address("127.0.0.1")));
        QVERIFY(panel::TargetMap::mayReachAsRequested(asio::ip::make_address("192.168.1.5")));
    }

    void configRefusesBadValues_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        const QString fp(64, 'a');
        QTest::newRow("no sn") << "[panel]\nsecret=s\nrelay=h:1\nfingerprint=" + fp << "sn= is missing";
        QTest::newRow("bad relay") << "[panel]\nsn=A\nsecret=s\nrelay=h\nfingerprint=" + fp << "p.ini:4: [panel] relay=h is not";
        QTest::newRow("bad target") << "[panel]\nsn=A\nsecret=s\nrelay=h:1\nfingerprint=" + fp + "\n[targets]\nfoo=bar"
                                    << "p.ini:7: [targets]";
        QTest::newRow("misspelt key") << "[panel]\nsn=A\nsecert=s" << "p.ini:3: [panel] secert= is not a setting";
        QTest::newRow("unknown section") << "[panel]\nsn=A\n[target]\na=b" << "p.ini:3: [target] is not a section";
        QTest::newRow("resolve-names") << "[panel]\nsn=A\nsecret=s\nrelay=h:1\nresolve-names=maybe\nfingerprint=" + fp
                                       << "p.ini:5: [panel] resolve-names= must be yes or no";
        QTest::newRow("empty state") << "[panel]\nsn=A\nsecret=s\nrelay=h:1\nstate=\nfingerprint=" + fp
                                     << "p.ini:5: [panel] state= must name a folder";
    }
    void configRefusesBadValues()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString path = dir.filePath("p.ini");
        QVERIFY(saveFile(path, text.toUtf8()));
        panel::PanelConfig config;
        std::string message;
        QVERIFY(!config.load(path.toStdString(), &message));
        QVERIFY2(QString::fromStdString(message).contains(error), message.c_str());
    }

    // A relay that shows another certificate, refuses the secret or speaks another protocol
    // version is logged (the version in one line naming both) and tried again.
    void refusedRegistrationsAreLoggedAndRetried()
    {
        Panel wrongCertificate;
        QVERIFY(wrongCertificate.start({}, "secret-1", 0, QString(64, 'b')));
        QVERIFY(wrongCertificate.said("relay certificate does not match the fingerprint"));
        QVERIFY(wrongCertificate.said("retrying in"));

        Panel wrongSecret;
        QVERIFY(wrongSecret.start({}, "guess"));
        QVERIFY(wrongSecret.said("relay refused registration: ERR SECRET wrong serial number or secret; retrying in"));

        Panel newer;
        StandInRelay relay(newer.dir.path());
        relay.greeting = "ERR VERSION relay speaks protocol 3";
        QVERIFY(newer.start({}, "secret-1", relay.serverPort(), relay.fingerprint));
        QVERIFY(newer.said("relay refused registration: this agent speaks protocol version 2, the relay answered: "
                           "relay speaks protocol 3; retrying in"));
        QCOMPARE(relay.hellos.value(0), QByteArray("TALVO 2"));
        QVERIFY(relay.requests.value(0).startsWith("PANEL SN1 secret-1 " + newer.key()));
        QCOMPARE(newer.agent.count("refused registration"), 1);
        QVERIFY(!newer.agent.output().contains("VERSION"));
        QVERIFY(newer.agent.isRunning());
    }

    // A PC must meet the very key the agent registered; its bytes, the first of them sent with
    // the proof, reach the target and come back; the key pair survives a restart and is
    // readable by its owner alone, and a half pair stops the start with one clear line.
    void provenStreamMeetsTheRegisteredKey()
    {
        Panel p;
        QVERIFY(p.start() && p.said("registered at"));
        const QByteArray key = p.key();
        QVERIFY(!(QFile::permissions(p.dir.filePath("panel.key")) & (QFile::ReadGroup | QFile::ReadOther)));
        StreamClient pc;
        QVERIFY(aside([&] {
            return p.grant(pc) && pc.key == key && pc.endToEnd(StreamClient::Proof::Right, "hello")
                && pc.read(5) == "hello" && pc.echoes(" again");
        }));
        QVERIFY(p.said("to 127.0.0.1:7530 (127.0.0.1:" + QString::number(p.target.serverPort()) + ") open"));

        p.agent.kill();
        QVERIFY(p.start() && p.said("registered at"));
        QCOMPARE(p.key(), key);
        QTemporaryDir elsewhere;
        p.agent.kill();
        QVERIFY(p.start({"state=" + elsewhere.path()}) && p.said("registered at"));
        QVERIFY(p.key() != key);
        QVERIFY(QFile::exists(elsewhere.filePath("panel.crt")));

        p.agent.kill();
        QVERIFY(QFile::remove(elsewhere.filePath("panel.key")));
        QProcess broken;
        broken.start(kPanelBinary, {"--config", p.config});
        QVERIFY(broken.waitForFinished(5000));
        QCOMPARE(broken.exitCode(), 1);
        const QByteArray error = broken.readAllStandardError();
        QVERIFY2(error.contains(elsewhere.filePath("panel.key").toUtf8()) && error.count('\n') == 1, error.constData());
    }

    // A PC that cannot prove the per-stream secret (a forged proof, no TLS at all, a handshake
    // cut off, a handshake or a proof that never comes) gets no byte to the target, nor to the
    // pass-through service, holds none of the agent's sockets beyond the secret's lifetime,
    // and is not cut off before it.
    void unprovenStreamsReachNothing()
    {
        Panel p;
        QVERIFY(p.start() && p.said("registered at"));
        const int idle = p.descriptors();
        QElapsedTimer clock;
        clock.start();
        StreamClient silent, noProof, forger, garbage, cut, passThrough;
        RawSocket silentData, garbageData, cutData;
        QVERIFY(aside([&] {
            return p.grant(silent, 7530, &silentData) && p.grant(noProof) && noProof.endToEnd(StreamClient::Proof::None)
                && p.grant(forger) && forger.endToEnd(StreamClient::Proof::Forged, "leak")
                && p.grant(garbage, 7530, &garbageData) && garbageData.send("GET / HTTP/1.1\r\n\r\n")
                && p.grant(cut, 7530, &cutData) && cutData.send(clientHello()) && cutData.read(1).size() == 1
                && p.grant(passThrough, 7540) && passThrough.endToEnd(StreamClient::Proof::Forged);
        }));
        cutData.abort(); // the agent's answer left unread
        QVERIFY(QTest::qWaitFor(
            [&] { return p.agent.count("TLS handshake failed") == 2 && p.agent.count("forged proof") == 2; }, 5000));
        QVERIFY(aside([&] { return garbageData.end() != 0; }));

        const int life = int(std::chrono::milliseconds(wire::kSecretLife).count());
        QVERIFY(p.said("no TLS handshake before the per-stream secret expired", life + 5000));
        QVERIFY(p.said("expired per-stream secret"));
        QVERIFY2(clock.elapsed() >= life, QByteArray::number(clock.elapsed()).constData());
        QVERIFY(aside([&] { return silentData.end() != 0; }));
        QTRY_COMPARE_WITH_TIMEOUT(p.target.open, 0, 5000);
        QCOMPARE(p.target.connections, 5);
        QCOMPARE(p.target.received, QByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(p.descriptors(), idle, 5000);
    }

    // A relay that replays an OPEN gets no second stream for its secret; a data connection it
    // cuts, answers with ERR, leaves unanswered or refuses is reported at once (FAIL
    // UNREACHABLE): the relay must not hold the PC for a stream the agent gave up on, and the
    // target connection goes too.
    void misbehavingRelayGetsNoStream()
    {
        Panel p;
        StandInRelay relay(p.dir.path());
        QVERIFY(p.start({}, "secret-1", relay.serverPort(), relay.fingerprint) && p.said("registered at"));
        const QString at = "relay 127.0.0.1:" + QString::number(relay.serverPort());
        // OPEN; the agent's data connection once its JOIN came.
        auto open = [&](int id, const QByteArray &secret = freshHex(wire::msg::kSecretDigits)) -> QTcpSocket * {
            const QByteArray join = freshHex(wire::msg::kJoinDigits);
            const int before = relay.data.size();
            relay.send("OPEN " + QByteArray::number(id) + " 127.0.0.1:7530 " + join + " " + secret);
            if (!QTest::qWaitFor([&] { return relay.data.size() > before; }, 5000))
                return nullptr;
            QTcpSocket *data = relay.data[before];
            const bool joined = StandInRelay::lineOf(data) == "TALVO 2" && StandInRelay::lineOf(data) == "JOIN " + join;
            return joined ? data : nullptr;
        };
        QElapsedTimer clock;
        clock.start();
        const QByteArray secret = freshHex(wire::msg::kSecretDigits);
        QTcpSocket *data = open(1, secret);
        QVERIFY(data);
        data->close();
        QCOMPARE(relay.line(), QByteArray("FAIL 1 UNREACHABLE"));
        QVERIFY(p.said("refused stream 1: " + at + " closed the data connection without an answer"));
        relay.send("OPEN 2 127.0.0.1:7530 " + QByteArray(32, 'a') + " " + secret);
        QCOMPARE(relay.line(), QByteArray("FAIL 2 TARGET"));
        QVERIFY(p.said("refused stream 2: replayed per-stream secret"));

        QVERIFY((data = open(3)));
        data->write("ERR PROTOCOL unknown join\n");
        QCOMPARE(relay.line(), QByteArray("FAIL 3 UNREACHABLE"));
        QVERIFY(p.said("refused stream 3: data connection refused by " + at + ": ERR PROTOCOL unknown join"));
        QVERIFY(clock.elapsed() < 3000);

        clock.restart();
        QVERIFY(open(4));
        QCOMPARE(relay.line(8000), QByteArray("FAIL 4 UNREACHABLE"));
        QVERIFY(clock.elapsed() < 8000); // a relay waits 10 s
        QVERIFY(p.said("refused stream 4: no answer from relay"));

        clock.restart();
        relay.close();
        relay.send("OPEN 5 127.0.0.1:7530 " + QByteArray(32, 'a') + " " + freshHex(wire::msg::kSecretDigits));
        QCOMPARE(relay.line(), QByteArray("FAIL 5 UNREACHABLE"));
        QVERIFY(clock.elapsed() < 3000);
        QVERIFY(p.said("refused stream 5: no data connection to relay"));
        QTRY_COMPARE_WITH_TIMEOUT(p.target.open, 0, 5000);
        QCOMPARE(p.target.connections, 4);
    }
};

// Best effort: ephemeral ports work in either namespace.
PRIVATE_NETWORK_TEST_MAIN_WITH(TestPanel, enterPrivateNetwork)

#include "test_panel.moc"
