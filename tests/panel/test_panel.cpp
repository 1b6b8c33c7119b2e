// Guards the panel agent against unlisted targets, mistyped configs and relays with an
// unpinned certificate, and its streams' own TLS: only a PC that proves the relay's
// per-stream secret inside the agent's TLS reaches a target. The relay and the PC are played
// here, on loopback: the real relay speaks to the agent only as this fake one does.
#include "TunnelFixture.h"
#include "panel/PanelConfig.h"
#include "panel/TargetMap.h"
#include "wire/EndToEnd.h"
#include "wire/Identity.h"
#include "wire/Messages.h"
#include "wire/Tls.h"

#include <QtTest>

#include <openssl/hmac.h>
#include <openssl/ssl.h>

namespace {

// One end of a TLS connection over a QTcpSocket, through OpenSSL memory BIOs: the relay's end
// of the agent's control link, and the PC's end of a stream, whose keying material exporter
// QSslSocket does not offer.
class Tls : public QObject
{
public:
    Tls(QTcpSocket *socket, SSL_CTX *ctx, bool server) : QObject(socket), m_socket(socket), m_ssl(SSL_new(ctx))
    {
        SSL_set_bio(m_ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
        server ? SSL_set_accept_state(m_ssl) : SSL_set_connect_state(m_ssl);
        connect(socket, &QTcpSocket::readyRead, this, &Tls::pump);
        pump();
    }
    ~Tls() override { SSL_free(m_ssl); }
    bool up() const { return SSL_is_init_finished(m_ssl); }
    void write(const QByteArray &data)
    {
        m_toSend += data;
        pump();
    }
    QByteArray peerKey() const
    {
        return QByteArray::fromStdString(wire::certificateFingerprint(SSL_get0_peer_certificate(m_ssl)));
    }
    // Written out from the protocol, not taken from wire/: HMAC-SHA256 keyed with the
    // secret's hex text over 32 bytes of the session's exported keying material.
    QByteArray proof(const QByteArray &secret) const
    {
        const char label[] = "EXPORTER-talvo-stream-proof";
        unsigned char exported[32], mac[EVP_MAX_MD_SIZE];
        unsigned len = 0;
        if (SSL_export_keying_material(m_ssl, exported, sizeof exported, label, sizeof label - 1, nullptr, 0, 0) != 1)
            return {};
        HMAC(EVP_sha256(), secret.constData(), secret.size(), exported, sizeof exported, mac, &len);
        return QByteArray(reinterpret_cast<const char *>(mac), int(len));
    }

    QByteArray received;

private:
    void pump()
    {
        const QByteArray in = m_socket->readAll();
        BIO_write(SSL_get_rbio(m_ssl), in.constData(), in.size());
        if (!up())
            SSL_do_handshake(m_ssl);
        char buf[16384];
        if (up()) {
            if (!m_toSend.isEmpty() && SSL_write(m_ssl, m_toSend.constData(), m_toSend.size()) > 0)
                m_toSend.clear();
            for (int n; (n = SSL_read(m_ssl, buf, sizeof buf)) > 0;)
                received.append(buf, n);
        }
        for (int n; (n = BIO_read(SSL_get_wbio(m_ssl), buf, sizeof buf)) > 0;)
            m_socket->write(buf, n);
        ERR_clear_error();
    }

    QTcpSocket *m_socket;
    SSL *m_ssl;
    QByteArray m_toSend;
};

// The relay as the agent meets it: a connection that starts with a TLS record is the
// control link, with the relay's own key pair, any other one a data connection, which the
// test answers and then plays the PC on.
class FakeRelay : public QTcpServer
{
public:
    explicit FakeRelay(const QString &dir)
    {
        const std::string key = (dir + "/relay.key").toStdString(), crt = (dir + "/relay.crt").toStdString();
        std::string fp, error;
        wire::ensureKeyAndCertificate(key, crt, "talvo-relay", nullptr, &error);
        wire::fileFingerprint(crt, &fp, &error);
        fingerprint = QString::fromStdString(fp);
        m_server = wire::makeServerContext(key, crt, &error);
        SSL_CTX_set_min_proto_version(m_pc.native_handle(), TLS1_3_VERSION);
        listen(QHostAddress::LocalHost, 0);
    }

    // The agent's next line on the control link, PINGs left out; empty after the timeout.
    QByteArray line(int timeoutMs = 5000)
    {
        QByteArray out;
        (void)QTest::qWaitFor([&] {
            for (int nl; control && (nl = control->received.indexOf('\n')) >= 0;) {
                out = control->received.left(nl);
                control->received.remove(0, nl + 1);
                if (out != "PING")
                    return true;
            }
            out.clear();
            return false;
        }, timeoutMs);
        return out;
    }
    void send(const QByteArray &line) { control->write(line + "\n"); }
    // The PC's TLS, after the relay's OK on data connection `data`, once it is up.
    Tls *pc(QTcpSocket *data)
    {
        if (!data)
            return nullptr;
        data->write("OK\n");
        auto *tls = new Tls(data, pcContext(), false);
        return QTest::qWaitFor([&] { return tls->up(); }, 5000) ? tls : nullptr;
    }
    SSL_CTX *pcContext() { return m_pc.native_handle(); }

    QString fingerprint;
    QPointer<Tls> control; // the latest
    QList<QTcpSocket *> data; // in the order they came

protected:
    void incomingConnection(qintptr fd) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(fd);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            socket->disconnect(this);
            if (socket->peek(1) == "\x16")
                control = new Tls(socket, m_server->native_handle(), true);
            else
                data.append(socket);
        });
    }

private:
    std::shared_ptr<asio::ssl::context> m_server;
    asio::ssl::context m_pc{asio::ssl::context::tls_client};
};

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

QByteArray freshSecret()
{
    return QByteArray::fromStdString(wire::randomHex(wire::msg::kSecretDigits / 2));
}

// An agent (a process) at a fake relay, with the echo target at panel-view 127.0.0.1:7530.
struct Panel
{
    QTemporaryDir dir;
    FakeRelay relay{dir.path()};
    Target target;
    ToolProcess agent;
    QString config;
    QByteArray key; // as registered

    // One I/O thread: the agent's descriptors, counted, are then the same after each stream.
    void launch(const QStringList &panelLines = {}, const QString &fingerprint = {})
    {
        config = writePanelConfig(dir.path(), "panel.ini", "SN1", "secret-1", relay.serverPort(),
                                  fingerprint.isEmpty() ? relay.fingerprint : fingerprint,
                                  {"127.0.0.1:7530=127.0.0.1:" + QString::number(target.serverPort())},
                                  QStringList{"threads=1"} + panelLines);
        agent.start(kPanelBinary, config);
    }
    // The hello and PANEL line, answered `answer`.
    bool registration(const QByteArray &answer = "OK")
    {
        const QByteArray hello = relay.line();
        const QList<QByteArray> words = relay.line().split(' ');
        if (hello != "TALVO 2" || words.size() != 4 || words[0] != "PANEL" || words[1] != "SN1" || words[2] != "secret-1")
            return false;
        key = words[3];
        relay.send(answer);
        return answer != "OK" || said("registered at");
    }
    bool start(const QStringList &panelLines = {})
    {
        launch(panelLines);
        return registration();
    }
    bool said(const QString &text, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return agent.output().contains(text); }, timeoutMs);
    }
    // OPEN (to the echo target by default); the agent's data connection once its JOIN came.
    QTcpSocket *open(quint64 id, const QByteArray &secret = freshSecret(), const QByteArray &target = "127.0.0.1:7530")
    {
        const QByteArray join = QByteArray::fromStdString(wire::randomHex(wire::msg::kJoinDigits / 2));
        const int before = relay.data.size();
        relay.send("OPEN " + QByteArray::number(id) + " " + target + " " + join + " " + secret);
        const QByteArray expected = "TALVO 2\nJOIN " + join + "\n";
        if (!QTest::qWaitFor([&] { return relay.data.size() > before && relay.data[before]->bytesAvailable() >= expected.size(); },
                             5000))
            return nullptr;
        return relay.data[before]->read(expected.size()) == expected ? relay.data[before] : nullptr;
    }
    int descriptors()
    {
        return QDir(QStringLiteral("/proc/%1/fd").arg(agent.pid()))
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
            .size();
    }
};

} // namespace

class TestPanel : public QObject
{
    Q_OBJECT
private slots:
    void targetsMapOnlyListedAddresses()
    {
        panel::TargetMap map;
        std::string error;
        QVERIFY(map.add("127.0.0.1:7530", "127.0.0.1:5900", &error));
        QVERIFY(map.add("*:502", "*:502", &error));
        QVERIFY(map.add("192.168.1.10:*", "10.0.0.5:*", &error));
        QVERIFY(!map.add("127.0.0.1", "127.0.0.1:1", &error));

        auto resolve = [&](const char *text) {
            const auto r = map.resolve(*wire::parseHostPort(text));
            return r ? QString::fromStdString(r->text()) : QString();
        };
        QCOMPARE(resolve("127.0.0.1:7530"), QString("127.0.0.1:5900"));
        QCOMPARE(resolve("192.168.0.7:502"), QString("192.168.0.7:502"));
        QCOMPARE(resolve("192.168.1.10:102"), QString("10.0.0.5:102"));
        QCOMPARE(resolve("127.0.0.1:7540"), QString()); // left to the pass-through hook
        QCOMPARE(resolve("127.0.0.1:22"), QString());
        QCOMPARE(resolve("localhost:7530"), QString()); // no name games: only what is listed
    }

    // A '*' host passed on as requested: the PLCs on the panel's network, not the panel's own
    // services (loopback, 0.0.0.0, link-local) nor whatever a name a PC sends resolves to.
    void wildcardsStayOffThePanelAndNames()
    {
        panel::TargetMap map;
        std::string error;
        QVERIFY(map.add("169.254.7.7:*", "*:*", &error)); // named: reachable
        QVERIFY(map.add("plc.lan:502", "plc.lan:502", &error)); // a name the rule gives
        QVERIFY(map.add("*:*", "*:*", &error));
        std::string refusal;
        auto resolve = [&](const char *text) {
            refusal.clear();
            const auto r = map.resolve(*wire::parseHostPort(text), &refusal);
            return r ? QString::fromStdString(r->text()) : QString();
        };
        QCOMPARE(resolve("10.1.2.3:22"), QString("10.1.2.3:22"));
        QCOMPARE(resolve("[2001:db8::1]:22"), QString("[2001:db8::1]:22"));
        QCOMPARE(resolve("169.254.7.7:80"), QString("169.254.7.7:80"));
        QCOMPARE(resolve("plc.lan:502"), QString("plc.lan:502"));
        for (const char *local : {"127.0.0.1:7540", "127.9.9.9:22", "0.0.0.0:22", "[::1]:22", "[::]:22",
                                  "[::ffff:127.0.0.1]:22", "169.254.1.1:80", "[fe80::1]:22"}) {
            QVERIFY2(resolve(local).isEmpty(), local);
            QVERIFY2(QString::fromStdString(refusal).contains("panel's own or a link-local"), local);
        }
        QVERIFY(resolve("localhost:22").isEmpty());
        QVERIFY2(QString::fromStdString(refusal).contains("resolve-names"), refusal.c_str());

        map.setWildcardNames(true);
        bool asRequested = false;
        QCOMPARE(QString::fromStdString(map.resolve(*wire::parseHostPort("plc2.lan:22"), nullptr, &asRequested)->text()),
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
        wrongCertificate.launch({}, QString(64, 'b'));
        QVERIFY(wrongCertificate.said("relay certificate does not match the fingerprint"));
        QVERIFY(wrongCertificate.said("retrying in"));

        Panel wrongSecret;
        wrongSecret.launch();
        QVERIFY(wrongSecret.registration("ERR SECRET unknown panel or wrong secret"));
        QVERIFY(wrongSecret.said("relay refused registration: ERR SECRET unknown panel or wrong secret; retrying in"));

        Panel newer;
        newer.launch();
        QVERIFY(newer.registration("ERR VERSION relay speaks protocol 3"));
        QVERIFY(newer.said("relay refused registration: this agent speaks protocol version 2, the relay answered: "
                           "relay speaks protocol 3; retrying in"));
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
        QVERIFY(p.start());
        QVERIFY(p.agent.output().contains("key fingerprint " + p.key + "\n"));
        QVERIFY(!(QFile::permissions(p.dir.filePath("panel.key")) & (QFile::ReadGroup | QFile::ReadOther)));

        const QByteArray secret = freshSecret();
        Tls *pc = p.relay.pc(p.open(1, secret));
        QVERIFY(pc);
        QCOMPARE(pc->peerKey(), p.key);
        pc->write(pc->proof(secret) + "hello");
        QTRY_COMPARE_WITH_TIMEOUT(pc->received, QByteArray("hello"), 5000);
        pc->write(" again");
        QTRY_COMPARE_WITH_TIMEOUT(pc->received, QByteArray("hello again"), 5000);
        QVERIFY(p.said("stream 1 to 127.0.0.1:7530 (127.0.0.1:" + QString::number(p.target.serverPort()) + ") open"));

        const QByteArray first = p.key;
        p.agent.kill();
        QVERIFY(p.start());
        QCOMPARE(p.key, first);
        QTemporaryDir elsewhere;
        p.agent.kill();
        QVERIFY(p.start({"state=" + elsewhere.path()}));
        QVERIFY(p.key != first);
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

    // A PC that cannot prove the per-stream secret (a forged proof, a replayed OPEN, no TLS
    // at all, a handshake cut off) gets no byte to the target, nor to the pass-through
    // service, and leaves no socket behind.
    void unprovenStreamsReachNothing()
    {
        Panel p;
        QVERIFY(p.start());
        const int idle = p.descriptors();

        const QByteArray secret = freshSecret();
        Tls *forger = p.relay.pc(p.open(1, secret));
        QVERIFY(forger);
        forger->write(forger->proof(freshSecret()) + "leak");
        QVERIFY(p.said("refused stream 1: forged proof"));

        p.relay.send("OPEN 2 127.0.0.1:7530 " + QByteArray(32, 'a') + " " + secret);
        QCOMPARE(p.relay.line(), QByteArray("FAIL 2 TARGET"));
        QVERIFY(p.said("refused stream 2: replayed per-stream secret"));

        QTcpSocket *garbage = p.open(3);
        QVERIFY(garbage);
        garbage->write("OK\nGET / HTTP/1.1\r\n\r\n");
        QVERIFY(p.said("refused stream 3: TLS handshake failed"));
        QTRY_COMPARE_WITH_TIMEOUT(garbage->state(), QAbstractSocket::UnconnectedState, 5000);

        // The PC's hello goes out, the agent's answer comes and is left unread.
        QTcpSocket *cut = p.open(4);
        QVERIFY(cut);
        cut->write("OK\n");
        cut->disconnect(new Tls(cut, p.relay.pcContext(), false));
        QTRY_VERIFY_WITH_TIMEOUT(cut->bytesAvailable() > 0, 5000);
        cut->abort();
        QVERIFY(p.said("refused stream 4: TLS handshake failed"));

        Tls *passThrough = p.relay.pc(p.open(5, freshSecret(), "127.0.0.1:7540"));
        QVERIFY(passThrough);
        passThrough->write(passThrough->proof(secret));
        QVERIFY(p.said("refused stream 5: forged proof"));

        QTRY_COMPARE_WITH_TIMEOUT(p.target.open, 0, 5000);
        QCOMPARE(p.target.connections, 3); // not for the replay
        QCOMPARE(p.target.received, QByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(p.descriptors(), idle, 5000);
    }

    // A PC that never starts its TLS, or never sends its proof, must not hold the target and
    // the agent's sockets beyond the per-stream secret's lifetime, nor be cut off before it.
    void lateStreamsExpire()
    {
        Panel p;
        QVERIFY(p.start());
        const int idle = p.descriptors();
        QElapsedTimer clock;
        clock.start();
        QTcpSocket *silent = p.open(1);
        QVERIFY(silent);
        silent->write("OK\n");
        Tls *noProof = p.relay.pc(p.open(2));
        QVERIFY(noProof);
        const int life = int(std::chrono::milliseconds(wire::kSecretLife).count());
        QVERIFY(p.said("refused stream 1: no TLS handshake before the per-stream secret expired", life + 5000));
        QVERIFY(p.said("refused stream 2: expired per-stream secret"));
        QVERIFY2(clock.elapsed() >= life, QByteArray::number(clock.elapsed()).constData());
        QTRY_COMPARE_WITH_TIMEOUT(silent->state(), QAbstractSocket::UnconnectedState, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(p.target.open, 0, 5000);
        QCOMPARE(p.target.received, QByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(p.descriptors(), idle, 5000);
    }

    // A data connection the relay cuts, answers with ERR, leaves unanswered or refuses is
    // reported at once (FAIL UNREACHABLE): the relay must not hold the PC for a stream the
    // agent gave up on, and the target connection goes too.
    void failedDataConnectionsAreReportedAtOnce()
    {
        Panel p;
        QVERIFY(p.start());
        QElapsedTimer clock;
        clock.start();
        QTcpSocket *data = p.open(1);
        QVERIFY(data);
        data->close();
        QCOMPARE(p.relay.line(), QByteArray("FAIL 1 UNREACHABLE"));
        QVERIFY(p.said("refused stream 1: relay 127.0.0.1:" + QString::number(p.relay.serverPort())
                       + " closed the data connection without an answer"));

        QVERIFY((data = p.open(2)));
        data->write("ERR PROTOCOL unknown join\n");
        QCOMPARE(p.relay.line(), QByteArray("FAIL 2 UNREACHABLE"));
        QVERIFY(p.said("refused stream 2: data connection refused by relay 127.0.0.1:"
                       + QString::number(p.relay.serverPort()) + ": ERR PROTOCOL unknown join"));
        QVERIFY(clock.elapsed() < 3000);

        clock.restart();
        QVERIFY(p.open(3));
        QCOMPARE(p.relay.line(8000), QByteArray("FAIL 3 UNREACHABLE"));
        QVERIFY(clock.elapsed() < 8000); // a relay waits 10 s
        QVERIFY(p.said("refused stream 3: no answer from relay"));

        clock.restart();
        p.relay.close();
        p.relay.send("OPEN 4 127.0.0.1:7530 " + QByteArray(32, 'a') + " " + freshSecret());
        QCOMPARE(p.relay.line(), QByteArray("FAIL 4 UNREACHABLE"));
        QVERIFY(clock.elapsed() < 3000);
        QVERIFY(p.said("refused stream 4: no data connection to relay"));
        QTRY_COMPARE_WITH_TIMEOUT(p.target.open, 0, 5000);
        QCOMPARE(p.target.connections, 4);
    }
};

// Best effort: ephemeral ports work in either namespace.
PRIVATE_NETWORK_TEST_MAIN_WITH(TestPanel, enterPrivateNetwork)

#include "test_panel.moc"
