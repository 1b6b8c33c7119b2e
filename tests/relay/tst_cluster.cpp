// Relays as one cluster on a real redis-server that the test starts on a free port: a
// panel on one relay is reachable through the others, end to end and as ciphertext in both,
// a relay killed outright costs its panels seconds, a Redis restarted empty is filled again,
// and neither a stranger with another certificate, a request without the cluster's key nor a
// forged registry entry is ever followed.
#include "ProcessMemory.h"
#include "RawSocket.h"
#include "Shell.h"
#include "StreamClient.h"
#include "TunnelFixture.h"
#include "relay/ClusterNode.h"
#include "tunnel/pgDllTunnel.h"
#include "wire/EndToEnd.h"
#include "wire/Messages.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

const QString kHost = QStringLiteral("127.0.0.1");

// One command to the test's Redis through redis-cli (a process of its own, bounded): the
// reply as redis-cli prints it, empty for a missing key.
QByteArray redis(quint16 port, const QList<QByteArray> &args)
{
    QStringList argv{"-h", kHost, "-p", QString::number(port)};
    for (const QByteArray &a : args)
        argv << QString::fromLatin1(a);
    QProcess cli;
    cli.start(QStringLiteral("redis-cli"), argv);
    if (!cli.waitForFinished(2000)) {
        cli.kill();
        cli.waitForFinished(2000);
        return "(no answer)";
    }
    return cli.readAllStandardOutput().trimmed();
}

// A redis-server of the test's own, up once it answers.
bool startRedis(QProcess &p, quint16 port, const QString &dir, const QStringList &more = {})
{
    p.start(QStringLiteral("redis-server"),
            QStringList{"--port", QString::number(port), "--bind", kHost, "--save", "", "--appendonly", "no", "--dir", dir}
                + more);
    return p.waitForStarted(5000) && QTest::qWaitFor([&] { return redis(port, {"PING"}) == "PONG"; }, 5000);
}

// A metrics endpoint's answer, read until it holds `until` or, without one, until the
// endpoint closes; an answer left open ends in "(left open)".
QByteArray askHttp(quint16 port, const QByteArray &request, const char *until = nullptr)
{
    QTcpSocket http;
    http.connectToHost(kHost, port);
    if (!http.waitForConnected(3000))
        return "(no connection)";
    http.write(request);
    QByteArray page;
    const bool done = QTest::qWaitFor([&] {
        page += http.readAll();
        return until ? page.contains(until) : http.state() == QAbstractSocket::UnconnectedState;
    }, 5000);
    return page + http.readAll() + (done ? "" : "(left open)");
}

// A PC's stream through the relay at `port` to the echo target behind `sn` (127.0.0.1:7530 as
// the panel sees it), end to end with the agent, echoing `text`; the relay's answer to the
// request in *answer, a grant without its secrets. The echo target runs on the test's thread,
// hence aside().
bool openEcho(StreamClient &pc, quint16 port, const QByteArray &sn, const QByteArray &text,
              QByteArray *answer = nullptr)
{
    return aside([&] {
        const QByteArray a = pc.login(port) ? pc.request(sn, 7530) : QByteArray("(no login)");
        if (answer)
            *answer = a.startsWith("GRANTED ") ? a.left(a.indexOf(' ', 8)) : a;
        return a.startsWith("GRANTED ") && pc.join(port) == "OK" && pc.endToEnd() && pc.echoes(text);
    });
}

} // namespace

class TestCluster : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void panelOnOneRelayIsReachableFromTheOthers();
    void forwardedStreamIsCiphertextInBothRelays();
    void relayRequestsNeedTheClusterKey();
    void forwardingRelayIsNotCountedPerSource();
    void metricsEndpointReadsBoundedRequests();
    void strangersAndForgedEntriesAreNotFollowed();
    void sentinelNamesTheRegistry();
    void leavingRelayKeepsNewerHoldersEntry();
    void redisRestartedEmptyIsFilledAgain();
    void killedRelaysPanelsMoveToTheOthers();

private:
    bool startRelay(std::unique_ptr<RelayFixture> &relay, const QString &id, quint16 port, const QString &settings = {},
                    QString cluster = {}, bool ownKey = false);
    QString redisLines() const { return QStringLiteral("redis=127.0.0.1:%1\nexpiry_ms=2000\n").arg(m_redisPort); }
    bool startAgent(ToolProcess &agent, const QString &name, const QByteArray &sn, const QList<int> &relays,
                    const QString &fingerprint, const QString &host = kHost);
    QByteArray holderOf(const QByteArray &sn) { return redis(m_redisPort, {"GET", "talvo:panel:" + sn}); }

    QTemporaryDir m_dir;
    QProcess m_redis;
    quint16 m_redisPort = 0;
    quint16 m_ports[3] = {};
    quint16 m_metricsPorts[3] = {};
    std::unique_ptr<RelayFixture> m_relays[3];
    std::unique_ptr<EchoServer> m_echo;
    ToolProcess m_agent; // SN1, on relay 0 first
};

// A relay in a folder named by its id: `settings` for [relay], the cluster's key and
// certificate (made by the first relay) unless `ownKey`, and in [cluster] its id, its address
// for the others and `cluster`: by default the suite's Redis with a short expiry, which keeps
// the wait for a killed relay's leftovers short.
bool TestCluster::startRelay(std::unique_ptr<RelayFixture> &relay, const QString &id, quint16 port,
                             const QString &settings, QString cluster, bool ownKey)
{
    const QString key = QStringLiteral("key=%1/cluster.key\ncertificate=%1/cluster.crt\n").arg(m_dir.path());
    relay = std::make_unique<RelayFixture>(m_dir.filePath(id));
    return QDir(m_dir.path()).mkpath(id)
        && relay->start(port, settings + (ownKey ? QString() : key) + "[cluster]\nid=" + id + "\npeer=127.0.0.1:"
                                  + QString::number(port) + "\n" + (cluster.isEmpty() ? redisLines() : cluster));
}

bool TestCluster::startAgent(ToolProcess &agent, const QString &name, const QByteArray &sn, const QList<int> &relays,
                             const QString &fingerprint, const QString &host)
{
    QStringList list;
    for (int port : relays)
        list << QStringLiteral("%1:%2").arg(host).arg(port);
    const QString path = m_dir.filePath(name);
    saveFile(path, QStringLiteral("[panel]\nsn=%1\nsecret=secret-%2\nrelay=%3\nfingerprint=%4\n[targets]\n"
                                   "127.0.0.1:7530=127.0.0.1:%5\n")
                        .arg(QString::fromLatin1(sn), QString::fromLatin1(sn.right(1)), list.join(','), fingerprint)
                        .arg(m_echo->serverPort())
                        .toUtf8());
    return agent.start(kPanelBinary, path) && agent.waitForOutput(QStringLiteral("registered at"));
}

void TestCluster::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("redis-server")).isEmpty())
        QSKIP("redis-server is not installed (scripts/debian-packages)");
    m_echo = std::make_unique<EchoServer>();
    m_redisPort = freePort();
    QVERIFY(startRedis(m_redis, m_redisPort, m_dir.path()));
    for (int i = 0; i < 3; ++i) {
        m_ports[i] = freePort();
        m_metricsPorts[i] = freePort();
        const QString settings = QStringLiteral("metrics=127.0.0.1:%1\naudit=audit.jsonl\n").arg(m_metricsPorts[i]);
        QVERIFY2(startRelay(m_relays[i], "relay-" + QString::number(i), m_ports[i], settings),
                 qPrintable(m_relays[i]->process().output()));
    }
    QCOMPARE(m_relays[1]->fingerprint(), m_relays[0]->fingerprint());
    for (int i = 0; i < 3; ++i) // a member with nothing to do yet announces itself after a moment
        QTRY_VERIFY_WITH_TIMEOUT(!redis(m_redisPort, {"GET", "talvo:relay:relay-" + QByteArray::number(i)}).isEmpty(),
                                 5000);
    QVERIFY(startAgent(m_agent, "sn1.ini", "SN1", {m_ports[0], m_ports[1], m_ports[2]}, m_relays[0]->fingerprint()));
    QTRY_COMPARE_WITH_TIMEOUT(holderOf("SN1"), "relay-0 127.0.0.1:" + QByteArray::number(m_ports[0]), 5000);
}

void TestCluster::cleanupTestCase()
{
    m_agent.kill();
    for (auto &r : m_relays)
        r.reset();
    m_redis.kill();
    m_redis.waitForFinished(5000);
}

void TestCluster::panelOnOneRelayIsReachableFromTheOthers()
{
    // Through the tunnel library with a dead relay first in its list: it moves on, asks
    // relay 2 whether SN1 may be reached (held by relay 0), and streams through it.
    const QString cfg = m_dir.filePath("demoTunnel.cfg");
    const QString text = QStringLiteral("[tunnel]\nrelay=127.0.0.1:%1,127.0.0.1:%2\nfingerprint=%3\ntoken=token-a\n");
    QVERIFY(saveFile(cfg, text.arg(freePort()).arg(m_ports[2]).arg(m_relays[0]->fingerprint()).toUtf8()));
    char info[256] = {};
    QCOMPARE(TunnelInit(cfg.toLocal8Bit().constData(), info, sizeof info), int(TUNNEL_OK));
    QCOMPARE(TunnelStart(cfg.toLocal8Bit().constData(), info, 0, 0), int(TUNNEL_OK));
    int state = -1;
    QTRY_VERIFY_WITH_TIMEOUT(TunnelGetState(nullptr, &state) == TUNNEL_OK, 10000);
    const quint16 local = freePort();
    char error[TUNNEL_ERROR_TEXT_SIZE] = {};
    const QByteArray localText = "127.0.0.1:" + QByteArray::number(local);
    QCOMPARE(TunnelAddConnect("", "SN1", 0, 0, "127.0.0.1:7530", localText.constData(), error), int(TUNNEL_OK));
    LocalClient pc;
    QVERIFY(pc.connectTo(local));
    QVERIFY(pc.echoes("through two relays", 5000));
    pc.socket.close();
    TunnelStop();

    QProcess status;
    status.start(kRelayBinary, {"--status", "--config", m_relays[1]->configPath()});
    QVERIFY(status.waitForFinished(5000));
    const QByteArray listed = status.readAllStandardOutput();
    QVERIFY2(listed.contains("SN1 relay-0 127.0.0.1:" + QByteArray::number(m_ports[0])), listed.constData());
    QVERIFY2(listed.contains("relays (3)"), listed.constData());
    // Each member's hash of its users and panels: the same on all three, whose files differ
    // only in what is each relay's own (id=, peer=, ports).
    QStringList hashes;
    for (auto it = QRegularExpression(" config ([0-9a-f]{16})\n").globalMatch(QString::fromLatin1(listed)); it.hasNext();)
        hashes << it.next().captured(1);
    QCOMPARE(hashes.size(), 3);
    QCOMPARE(hashes.count(hashes.value(0)), 3);
}

// A stream forwarded from relay 1 to the holder, relay 0: a marker that went through many
// times both ways is in the agent's memory (the control that the search works) and in
// neither relay's. While the stream is open, relay 1's metrics show it and the bytes it carried
// so far, not only once it ends.
void TestCluster::forwardedStreamIsCiphertextInBothRelays()
{
    const QByteArray marker = "plant-secret-" + QByteArray::fromStdString(wire::randomHex(24));
    StreamClient pc;
    QVERIFY(openEcho(pc, m_ports[1], "SN1", "first"));
    QVERIFY(aside([&] {
        for (int i = 0; i < 200; ++i)
            if (!pc.echoes(marker.repeated(40)))
                return false;
        return true;
    }));
    QVERIFY2(countInMemory(m_agent.pid(), marker) > 0, "the search finds nothing even where the plaintext is");
    for (int i : {0, 1})
        QVERIFY2(countInMemory(m_relays[i]->process().pid(), marker) == 0, qPrintable(QString("relay %1").arg(i)));
    QVERIFY(m_relays[1]->process().waitForOutput("forwarded"));
    const QByteArray page = askHttp(m_metricsPorts[1], "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "talvo_relay_registry_up 1");
    for (const char *open : {"talvo_relay_forwarded_streams_total [1-9]", "talvo_relay_streams_open 1",
                             "talvo_relay_bytes_total{direction=\"up\"} [1-9]",
                             "talvo_relay_bytes_total{direction=\"down\"} [1-9]"})
        QVERIFY2(QRegularExpression(open).match(QString::fromLatin1(page)).hasMatch(), page.constData());
    // Both relays record the stream's opening under one id, so an operator can follow it.
    auto streamIds = [&](int i) {
        QSet<QString> ids;
        for (const QByteArray &line : readFile(m_dir.filePath(QString("relay-%1/audit.jsonl").arg(i))).split('\n')) {
            const QJsonObject r = QJsonDocument::fromJson(line).object();
            if (r["event"] == "stream.open" && r["result"] == "ok" && r["sn"] == "SN1")
                ids.insert(r["stream"].toString());
        }
        return ids;
    };
    QVERIFY(QTest::qWaitFor([&] { return streamIds(0).intersects(streamIds(1)); }, 5000));
}

// A relay-to-relay request is a member's by its MAC with the cluster's link key alone: a
// FORWARD or a JOIN signed with another key is refused, the very same signed right is taken,
// and a join the holder keeps for a member is no PC's to take without one.
void TestCluster::relayRequestsNeedTheClusterKey()
{
    std::string key, error;
    QVERIFY2(relay::clusterLinkKey(m_dir.filePath("cluster.key").toStdString(), &key, &error), error.c_str());
    const std::string otherKey(32, 'k');
    auto signedLine = [](auto message, const std::string &key, const std::string &text) {
        message.mac = relay::ClusterNode::sign(key, text);
        return QByteArray::fromStdString(message.encode()) + "\n";
    };
    const wire::msg::Forward forward {"SN1", "127.0.0.1:7530", wire::randomHex(32), {}};
    RelayClient forged, member;
    QVERIFY(forged.ask(m_ports[0], signedLine(forward, otherKey, forward.signedText())));
    QVERIFY2(forged.firstLine().startsWith("ERR SECRET"), forged.received.constData());
    QVERIFY(m_relays[0]->process().waitForOutput("refused relay-to-relay request from"));
    QVERIFY(member.ask(m_ports[0], signedLine(forward, key, forward.signedText())));
    const QList<QByteArray> held = member.firstLine().split(' ');
    QVERIFY2(held.size() == 3 && held[0] == "HELD", member.received.constData());

    const wire::msg::Join join {held[1].toStdString(), {}};
    RawSocket wrongMac(m_ports[0]), noMac(m_ports[0]), rightMac(m_ports[0]);
    ToolProcess &log = m_relays[0]->process();
    const int unsignedBefore = log.count("not signed with the cluster's key");
    QVERIFY(wrongMac.send("TALVO 2\n" + signedLine(join, otherKey, join.encode())));
    QVERIFY(wrongMac.line().startsWith("ERR SECRET"));
    QVERIFY(QTest::qWaitFor([&] { return log.count("not signed with the cluster's key") > unsignedBefore; }, 5000));
    QVERIFY(noMac.send("TALVO 2\n" + QByteArray::fromStdString(join.encode()) + "\n"));
    QVERIFY(noMac.line().startsWith("ERR PROTOCOL"));
    QVERIFY(m_relays[0]->process().waitForOutput("stream only another relay of the cluster may join"));
    QVERIFY(rightMac.send("TALVO 2\n" + signedLine(join, key, join.encode())));
    QCOMPARE(rightMac.line(), QByteArray("OK"));
}

// A member carries the streams of many PCs from one address: the holder must not count them
// against max_per_source, or one busy relay would cut off every PC behind it. The holder's
// panels dial it from addresses of their own: their own streams do count against theirs.
void TestCluster::forwardingRelayIsNotCountedPerSource()
{
    SKIP_WITHOUT_PRIVATE_NETWORK();
    for (const char *address : {"127.0.0.2", "127.0.0.3"}) // the destination picks the source
        QVERIFY(sh(QStringLiteral("ip addr add %1/32 dev lo").arg(address)) == 0);
    constexpr int kMaxPerSource = 5, kPerPanel = 3;
    std::unique_ptr<RelayFixture> holder;
    const quint16 port = freePort();
    const QString settings = QStringLiteral("listen=0.0.0.0:%1\nmax_per_source=%2\n").arg(port).arg(kMaxPerSource);
    QVERIFY(startRelay(holder, "relay-h", port, settings, redisLines() + "[panels]\nSN5=secret-5\nSN6=secret-6\n"));
    ToolProcess agents[2];
    QVERIFY(startAgent(agents[0], "sn5.ini", "SN5", {port}, holder->fingerprint(), "127.0.0.2"));
    QVERIFY(startAgent(agents[1], "sn6.ini", "SN6", {port}, holder->fingerprint(), "127.0.0.3"));
    QTRY_VERIFY_WITH_TIMEOUT(holderOf("SN5").startsWith("relay-h ") && holderOf("SN6").startsWith("relay-h "), 5000);

    StreamClient pcs[2 * kPerPanel];
    static_assert(2 * kPerPanel > kMaxPerSource, "more streams than the holder takes from one address");
    for (int i = 0; i < 2 * kPerPanel; ++i) {
        QByteArray answer;
        QVERIFY2(openEcho(pcs[i], m_ports[1], i % 2 ? "SN6" : "SN5", "stream " + QByteArray::number(i), &answer),
                 qPrintable(QString("stream %1: %2").arg(i).arg(QString::fromLatin1(answer))));
    }
    for (auto &pc : pcs) // all of them open at once
        QVERIFY(aside([&] { return pc.echoes("still"); }));
    QVERIFY(!holder->process().output().contains("max_per_source"));
    for (auto &agent : agents)
        agent.kill();
    QTRY_VERIFY_WITH_TIMEOUT(holderOf("SN5").isEmpty() && holderOf("SN6").isEmpty(), 5000);
}

void TestCluster::metricsEndpointReadsBoundedRequests()
{
    const QList<QPair<QByteArray, QByteArray>> cases = {
        {QByteArray(2048, 'x'), "HTTP/1.1 431"}, // no end of head within the bound: answered, not read on
        {"GET /health HTTP/1.0\r\n\r\n", "ok registry up"},
    };
    for (const auto &[request, answer] : cases) {
        const QByteArray page = askHttp(m_metricsPorts[0], request);
        QVERIFY2(page.contains(answer) && !page.endsWith("(left open)"), page.constData());
    }
}

void TestCluster::strangersAndForgedEntriesAreNotFollowed()
{
    // A relay with a key of its own joins the same Redis: its panel must stay out of
    // reach of the cluster, whose links accept only the cluster's certificate.
    std::unique_ptr<RelayFixture> rogue;
    QVERIFY(startRelay(rogue, "rogue", freePort(), {}, {}, true));
    QVERIFY(rogue->fingerprint() != m_relays[0]->fingerprint());
    ToolProcess agent2;
    QVERIFY(startAgent(agent2, "sn2.ini", "SN2", {rogue->port()}, rogue->fingerprint()));
    QTRY_VERIFY_WITH_TIMEOUT(holderOf("SN2").startsWith("rogue "), 5000);
    StreamClient toRogue;
    QByteArray answer;
    QVERIFY(!openEcho(toRogue, m_ports[1], "SN2", "x", &answer));
    QVERIFY2(answer.startsWith("REFUSED 1 OFFLINE"), answer.constData());
    QVERIFY(m_relays[1]->process().waitForOutput("refused: its certificate is not the cluster's"));
    QVERIFY(!rogue->process().output().contains("forwarded"));

    // Entries naming an address that is no live member's there lead nowhere.
    QTcpServer trap;
    QVERIFY(trap.listen(QHostAddress::LocalHost, 0));
    const QByteArray trapAt = "127.0.0.1:" + QByteArray::number(trap.serverPort());
    for (const QByteArray &entry : {"ghost " + trapAt, "relay-0 " + trapAt}) {
        QCOMPARE(redis(m_redisPort, {"SET", "talvo:panel:SN9", entry, "PX", "60000"}), QByteArray("OK"));
        StreamClient s;
        QVERIFY(!openEcho(s, m_ports[1], "SN9", "x", &answer));
        QVERIFY2(answer.startsWith("REFUSED 1 OFFLINE"), answer.constData());
    }
    QVERIFY(m_relays[1]->process().waitForOutput("which is no live member there; not followed"));
    QVERIFY(!trap.hasPendingConnections() && !trap.waitForNewConnection(200));
    redis(m_redisPort, {"DEL", "talvo:panel:SN9"});
}

void TestCluster::sentinelNamesTheRegistry()
{
    if (QStandardPaths::findExecutable(QStringLiteral("redis-sentinel")).isEmpty())
        QSKIP("redis-sentinel is not installed (scripts/debian-packages)");
    // A master and its replica of their own (a failover here must not touch the cluster
    // the other cases share), watched by one Sentinel.
    const quint16 master = freePort(), replica = freePort(), sentinelPort = freePort();
    auto role = [](quint16 port) { return redis(port, {"INFO", "replication"}); };
    QProcess m, r, sentinel;
    QVERIFY(startRedis(m, master, m_dir.path()));
    QVERIFY(startRedis(r, replica, m_dir.path(), {"--replicaof", kHost, QString::number(master)}));
    QTRY_VERIFY_WITH_TIMEOUT(role(replica).contains("master_link_status:up"), 10000);
    const QString conf = m_dir.filePath("sentinel.conf");
    const QString monitor = QStringLiteral("port %1\nbind 127.0.0.1\nsentinel monitor talvo 127.0.0.1 %2 1\n");
    QVERIFY(saveFile(conf, monitor.arg(sentinelPort).arg(master).toUtf8()));
    sentinel.start(QStringLiteral("redis-sentinel"), {conf});
    QVERIFY(sentinel.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(redis(sentinelPort, {"PING"}) == "PONG", 5000);
    // The first Sentinel of the list is down: the relay asks the next.
    std::unique_ptr<RelayFixture> viaSentinel;
    const quint16 port = freePort();
    const QString sentinels = QStringLiteral("sentinel=127.0.0.1:%1,127.0.0.1:%2\n").arg(freePort()).arg(sentinelPort);
    QVERIFY(startRelay(viaSentinel, "relay-s", port, {}, sentinels + "master=talvo\n"));
    QTRY_COMPARE_WITH_TIMEOUT(redis(master, {"GET", "talvo:relay:relay-s"}), "127.0.0.1:" + QByteArray::number(port),
                              5000);
    // Failover: the replica becomes the master, the old master its replica. A panel that
    // registers afterwards must land in the new master, found through the Sentinel again.
    QByteArray failover; // "NOGOODSLAVE" until the Sentinel has seen the replica
    QTRY_VERIFY2_WITH_TIMEOUT((failover = redis(sentinelPort, {"SENTINEL", "FAILOVER", "talvo"})) == "OK"
                                  || failover.startsWith("INPROG"),
                              failover, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(role(replica).contains("role:master") && role(master).contains("role:slave"), 15000);
    ToolProcess agent;
    QVERIFY(startAgent(agent, "sn9-sentinel.ini", "SN9", {port}, viaSentinel->fingerprint()));
    QTRY_VERIFY_WITH_TIMEOUT(redis(replica, {"GET", "talvo:panel:SN9"}).startsWith("relay-s "), 15000);
    agent.kill();
    for (QProcess *p : {&sentinel, &r, &m}) {
        p->kill();
        p->waitForFinished(5000);
    }
}

void TestCluster::leavingRelayKeepsNewerHoldersEntry()
{
    // The panel moved to relay 1 before relay 0 saw its old link end: relay 0's removal
    // must leave relay 1's entry alone.
    ToolProcess before, after;
    QVERIFY(startAgent(before, "sn2-before.ini", "SN2", {m_ports[0]}, m_relays[0]->fingerprint()));
    QTRY_VERIFY_WITH_TIMEOUT(holderOf("SN2").startsWith("relay-0 "), 5000);
    QVERIFY(startAgent(after, "sn2-after.ini", "SN2", {m_ports[1]}, m_relays[0]->fingerprint()));
    QTRY_VERIFY_WITH_TIMEOUT(holderOf("SN2").startsWith("relay-1 "), 5000);
    before.kill();
    QVERIFY(m_relays[0]->process().waitForOutput("panel SN2 gone"));
    // Relay 0's lookups queue behind its removal: this one sees what the removal left.
    StreamClient s;
    QByteArray answer;
    QVERIFY2(openEcho(s, m_ports[0], "SN2", "still at relay 1", &answer), answer.constData());
    QVERIFY(holderOf("SN2").startsWith("relay-1 "));
}

void TestCluster::redisRestartedEmptyIsFilledAgain()
{
    m_redis.kill();
    QVERIFY(m_redis.waitForFinished(5000));
    // Meanwhile the holder goes on serving its own panel.
    StreamClient local;
    QByteArray answer;
    QVERIFY2(openEcho(local, m_ports[0], "SN1", "while Redis is away", &answer), answer.constData());
    QVERIFY(m_relays[0]->process().waitForOutput("cluster registry lost"));

    QVERIFY(startRedis(m_redis, m_redisPort, m_dir.path()));
    QElapsedTimer since;
    since.start();
    QTRY_COMPARE_WITH_TIMEOUT(holderOf("SN1"), "relay-0 127.0.0.1:" + QByteArray::number(m_ports[0]), 5000);
    for (int i = 0; i < 3; ++i)
        QTRY_VERIFY_WITH_TIMEOUT(!redis(m_redisPort, {"GET", "talvo:relay:relay-" + QByteArray::number(i)}).isEmpty(),
                                 qMax<qint64>(1, 5000 - since.elapsed()));
    QVERIFY(aside([&] { return local.echoes("and after"); }));
    StreamClient forwarded;
    QVERIFY2(openEcho(forwarded, m_ports[2], "SN1", "forwarded", &answer), answer.constData());
}

void TestCluster::killedRelaysPanelsMoveToTheOthers()
{
    // A stream between the surviving relays must not notice.
    ToolProcess agent9;
    QVERIFY(startAgent(agent9, "sn9.ini", "SN9", {m_ports[2]}, m_relays[0]->fingerprint()));
    QTRY_VERIFY_WITH_TIMEOUT(holderOf("SN9").startsWith("relay-2 "), 5000);
    StreamClient bystander;
    QVERIFY(openEcho(bystander, m_ports[1], "SN9", "before"));
    m_relays[0]->process().kill();
    QElapsedTimer since;
    since.start();
    QVERIFY(m_agent.waitForOutput(QStringLiteral("registered at 127.0.0.1:%1").arg(m_ports[1]), 3000));
    for (int i : {1, 2}) {
        bool reached = false;
        while (!reached && since.elapsed() < 3000) {
            StreamClient s;
            reached = openEcho(s, m_ports[i], "SN1", "moved");
        }
        QVERIFY2(reached, qPrintable(QStringLiteral("SN1 not reachable via relay %1 within 3 s").arg(i)));
    }
    // The killed relay's membership runs out with its expiry (2 s); nothing names it then.
    QTRY_VERIFY_WITH_TIMEOUT(redis(m_redisPort, {"EXISTS", "talvo:relay:relay-0"}) == "0", 5000);
    QVERIFY(!holderOf("SN1").startsWith("relay-0"));
    QVERIFY(aside([&] { return bystander.echoes("undisturbed"); }));
}

// A namespace of its own, where the test may give its panels loopback addresses of their own.
PRIVATE_NETWORK_TEST_MAIN_WITH(TestCluster, enterPrivateNetwork)
#include "tst_cluster.moc"
