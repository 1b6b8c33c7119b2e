// The relay and the agent under what an attacker or a mistake can throw at them: a flood of
// bare connects at a low descriptor limit, many streams opened and closed, a target that
// stops reading, two agents with one SN. Each case measures the processes from /proc.
#include "BenchProcess.h"
#include "StreamClient.h"
#include "TunnelFixture.h"

#include <QScopeGuard>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <sys/resource.h>

// Bare TCP connects to a relay, held open.
static std::vector<std::unique_ptr<QTcpSocket>> connects(quint16 port, int count)
{
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < count; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    return sockets;
}

class TestReliability : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<RelayFixture> m_relay;
    ToolProcess m_agent;
    EchoServer m_echo;
    QTcpServer m_deaf; // listens, never accepts: a target that reads nothing

    bool streamEchoes()
    {
        StreamClient pc;
        return aside([&] { return pc.open(m_relay->port(), "SN1", m_echo.serverPort()) && pc.echoes("ping"); });
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QSslSocket::supportsSsl());
        m_relay = std::make_unique<RelayFixture>(m_dir.path());
        QVERIFY(m_relay->start());
        QVERIFY(m_deaf.listen(QHostAddress::LocalHost));
        m_deaf.pauseAccepting();
        const QString cfg = writePanelConfig(m_dir.path(), "panel.ini", "SN1", "secret-1", m_relay->port(),
                                             m_relay->fingerprint(),
                                             {QStringLiteral("127.0.0.1:%1=127.0.0.1:%1").arg(m_echo.serverPort()),
                                              QStringLiteral("127.0.0.1:%1=127.0.0.1:%1").arg(m_deaf.serverPort())});
        QVERIFY(m_agent.start(kPanelBinary, cfg) && m_agent.waitForOutput("registered at"));
    }

    // Streams' buffers, TLS state and bookkeeping must not stay with the processes once the
    // streams are gone: glibc keeps freed heap unless trimmed, its per-thread cache and Asio's
    // socket records pin pages of it even then.
    void memoryComesBackAfterStreams()
    {
        const qint64 relayPid = m_relay->process().pid(), agentPid = m_agent.pid();
        // What each holds once its heap is trimmed (the daemons do that every 5 s on their own).
        const auto settledRss = [&](qint64 pid, ToolProcess &log) {
            const int before = log.count("heap trimmed on request");
            ::kill(pid, SIGUSR1);
            const bool trimmed = QTest::qWaitFor([&] { return log.count("heap trimmed on request") > before; }, 5000);
            return trimmed ? bench::rssKbOf(pid_t(pid)) : -1;
        };
        for (int i = 0; i < 3; ++i) // first use allocates for good (TLS tables, resolver)
            QVERIFY(streamEchoes());
        const long long relayIdle = settledRss(relayPid, m_relay->process()), agentIdle = settledRss(agentPid, m_agent);
        QVERIFY(relayIdle > 0 && agentIdle > 0);

        constexpr int kStreams = 300;
        const QByteArray payload(32 * 1024, 'x');
        std::vector<std::unique_ptr<StreamClient>> streams;
        // All open at once, each with its payload on the way before any comes back.
        const int echoed = aside([&] {
            for (int i = 0; i < kStreams; ++i) {
                streams.push_back(std::make_unique<StreamClient>());
                if (!streams.back()->open(m_relay->port(), "SN1", m_echo.serverPort()) || !streams.back()->send(payload))
                    return i;
            }
            return int(std::count_if(streams.begin(), streams.end(), [&](auto &s) { return s->read(payload.size()) == payload; }));
        }, 120000);
        QCOMPARE(echoed, kStreams);
        const long long relayBusy = bench::rssKbOf(pid_t(relayPid)), agentBusy = bench::rssKbOf(pid_t(agentPid));
        // Streams the PC drops may end as aborts (a reset passed on), which end them just the same.
        auto ended = [&] { return m_relay->process().count(" closed, ") + m_relay->process().count(" aborted, "); };
        auto agentEnded = [&] { return m_agent.count(" closed, ") + m_agent.count(" aborted ("); };
        const int endedBefore = ended(), agentEndedBefore = agentEnded();
        streams.clear();
        QVERIFY(QTest::qWaitFor([&] { return ended() - endedBefore >= kStreams; }, 30000));
        QVERIFY(QTest::qWaitFor([&] { return agentEnded() - agentEndedBefore >= kStreams; }, 30000));
        const long long relayAfter = settledRss(relayPid, m_relay->process()), agentAfter = settledRss(agentPid, m_agent);
        qInfo("RSS KiB idle/busy/after: relay %lld/%lld/%lld, agent %lld/%lld/%lld", relayIdle, relayBusy, relayAfter,
              agentIdle, agentBusy, agentAfter);
        // Freed memory that is not handed back leaves a process near its busy size (about twice
        // idle here). What stays is kept for good and does not grow with more streams: Asio's
        // descriptor records and heap pages pinned by long-lived objects, up to 10 % of the
        // agent's idle size in runs before and after this bound was set.
        QVERIFY2(relayAfter <= relayIdle * 115 / 100, "the relay's RSS did not come back within 15 % of idle");
        QVERIFY2(agentAfter <= agentIdle * 115 / 100, "the agent's RSS did not come back within 15 % of idle");
    }

    // At a descriptor limit of 64, 300 bare connects held for 2 s: the relay must neither spin
    // nor flood its log, and must serve a real client as soon as the flood is over.
    void descriptorFloodIsShedCheaply()
    {
        const pid_t pid = pid_t(m_relay->process().pid());
        const rlimit low {64, 64};
        QCOMPARE(::prlimit(pid, RLIMIT_NOFILE, &low, nullptr), 0); // for the cases after this one too
        const int linesBefore = m_relay->process().output().count('\n');
        const double cpuBefore = bench::cpuSecondsOf(pid);
        QElapsedTimer clock;
        clock.start();
        auto sockets = connects(m_relay->port(), 300);
        QTest::qWait(2000); // held open: what an attacker does, not a condition to wait for
        const double seconds = clock.elapsed() / 1000.0;
        const double cpu = (bench::cpuSecondsOf(pid) - cpuBefore) / seconds;
        const double linesPerSecond = (m_relay->process().output().count('\n') - linesBefore) / seconds;
        sockets.clear();
        clock.restart();
        QVERIFY(streamEchoes());
        QVERIFY2(cpu < 0.2, qPrintable(QString::number(cpu)));
        QVERIFY2(linesPerSecond < 10, qPrintable(QString::number(linesPerSecond)));
        QVERIFY(clock.elapsed() < 2000);
        QVERIFY(m_relay->process().output().contains("pausing accepts")); // the limit was reached
    }

    // One source cannot hold more than its share of connections, nor hold them silent for the
    // whole handshake time: the sixth is closed at once, the five after the first-byte time.
    void connectionCapsCloseBeforeTls()
    {
        QTemporaryDir dir;
        RelayFixture relay(dir.path());
        QVERIFY(relay.start(0, "max_per_source=5\nhandshake_timeout_ms=10000"));
        const auto held = connects(relay.port(), 6);
        for (const auto &s : held)
            QVERIFY(s->waitForConnected(3000));
        QVERIFY(QTest::qWaitFor([&] { return held[5]->state() == QAbstractSocket::UnconnectedState; }, 2000));
        QVERIFY(relay.process().waitForOutput("(max_per_source)"));
        QVERIFY(held[0]->state() == QAbstractSocket::ConnectedState);
        QElapsedTimer silent;
        silent.start();
        QVERIFY(QTest::qWaitFor([&] { return held[0]->state() == QAbstractSocket::UnconnectedState; }, 6000));
        QVERIFY2(silent.elapsed() < 4500, "a silent connection waited for the whole handshake time");
        QVERIFY(relay.process().output().contains("closed before TLS"));
    }

    // A target that stops reading while its PC keeps sending: a second stream through the same
    // panel must go on echoing, and when the stalled stream's PC is cut off, relay and agent must
    // both end it although neither reads from it any more (each waits to write towards the target).
    void stalledReaderBesideLiveStream()
    {
        auto stalled = std::make_unique<StreamClient>();
        QVERIFY(aside([&] { return stalled->open(m_relay->port(), "SN1", m_deaf.serverPort()); }));
        // Sent in 1 MiB records from a thread of its own until the send blocks, 64 MiB at most:
        // more than the buffers on the way can hold.
        constexpr qint64 kMost = 64 << 20;
        std::atomic<qint64> sent {0};
        auto sender = std::async(std::launch::async, [&] {
            const QByteArray chunk(1 << 20, 's');
            while (sent < kMost && stalled->send(chunk))
                sent += chunk.size();
        });
        // Left by a failed check, the future's end would wait on a send that may never return:
        // cutting the stream first returns it at once.
        const auto stopSender = qScopeGuard([&] {
            if (stalled)
                stalled->cut();
            sender.wait();
        });
        QVERIFY(QTest::qWaitFor([&] { return sent >= (8 << 20); }, 10000));

        StreamClient live;
        const QByteArray payload(256 * 1024, 'l');
        QVERIFY2(aside([&] { return live.open(m_relay->port(), "SN1", m_echo.serverPort()) && live.echoes(payload); }, 10000),
                 "the live stream stalled too");
        QVERIFY2(sent < kMost, "the target that reads nothing took everything");

        const int relayEnded = m_relay->process().count(" aborted, "), agentEnded = m_agent.count(" aborted (");
        stalled->cut();
        sender.wait();
        stalled.reset(); // the reset goes out
        QVERIFY2(QTest::qWaitFor([&] { return m_relay->process().count(" aborted, ") > relayEnded; }, 5000),
                 "the relay kept the stream of a PC that was cut off");
        QVERIFY2(QTest::qWaitFor([&] { return m_agent.count(" aborted (") > agentEnded; }, 5000),
                 "the agent kept the stream the relay had cut off");
    }

    // Two agents with one SN: each replaced one is told so and keeps away for the longest
    // back-off, instead of the two evicting each other many times a second.
    void twoAgentsWithOneSnBackOff()
    {
        ToolProcess first, second;
        for (ToolProcess *agent : {&first, &second}) {
            const QString ini = agent == &first ? "a.ini" : "b.ini";
            QVERIFY(agent->start(kPanelBinary, writePanelConfig(m_dir.path(), ini, "SN2", "secret-2", m_relay->port(),
                                                                m_relay->fingerprint(), {})));
            QVERIFY(agent->waitForOutput("registered at"));
        }
        QTest::qWait(10000); // the fight, watched for its length
        const int registrations = first.count("registered at") + second.count("registered at");
        QVERIFY2(registrations <= 6, qPrintable(QString::number(registrations)));
        QVERIFY(first.output().contains("another instance holds SN SN2"));
        QCOMPARE(m_relay->process().count("panel SN2 registered again"), 1); // once per 30 s
    }
};

// Best effort: ephemeral ports work in either namespace.
PRIVATE_NETWORK_TEST_MAIN_WITH(TestReliability, enterPrivateNetwork)

#include "tst_reliability.moc"
