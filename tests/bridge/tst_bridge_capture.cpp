// Guards the bridge against lost, echoed or corrupted frames, stop/restart races and a vanished adapter.
// On a real veth pair in a private namespace, made by the set-up script; commands run for real.
#include "BridgeTestSupport.h"
#include "Shell.h"
#include "TestWire.h"

#include "bridge/LinuxVethAdapter.h"
#include "bridge/PCapOperator.h"
#include "bridge/ProcessCommandRunner.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

namespace {
const QByteArray kPanelMac = QByteArray::fromHex("02000000000a");
const QByteArray kPlcMac = QByteArray::fromHex("020000000005");
const QByteArray kBroadcast = QByteArray::fromHex("ffffffffffff");
const QString kSetup = QStringLiteral(TALVO_SOURCE_DIR "/scripts/setup-adapter /nonexistent/talvo-hmi-tunnel");

struct Bridge
{
    PCapOperator op{std::make_unique<LinuxVethAdapter>(), std::make_unique<ProcessCommandRunner>()};
    void inject(const QByteArray &f) { op.sendPacket(reinterpret_cast<const uchar *>(f.constData()), f.size()); }
    void stop()
    {
        op.setBRun(false);
        QTRY_VERIFY_WITH_TIMEOUT(op.isFinished(), 2000);
    }
};

// The adapter up with a panel's addresses, the capture device chosen.
bool configured(Bridge &b)
{
    sh("ip link set dev talvo0 up");
    b.op.regedit("02:00:00:00:00:0A", "192.168.7.10");
    return b.op.initPcap() == 1;
}

// This process's child of that command name (as /proc shows it, cut to 15 characters), or 0.
pid_t childNamed(const QByteArray &comm)
{
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const int open = text.indexOf('('), close = text.lastIndexOf(')');
        const QList<QByteArray> rest = text.mid(close + 2).split(' ');
        if (open > 0 && rest.size() > 1 && text.mid(open + 1, close - open - 1) == comm
            && rest.at(1).toLongLong() == getpid())
            return pid_t(entry.toLong());
    }
    return 0;
}

// Waits until the bridge hands on a frame `match` accepts, in its envelope. The stack's own
// traffic on talvo0 (IPv6 neighbour discovery) may come in between.
bool arrived(QSignalSpy &frames, const std::function<bool(const QByteArray &)> &match)
{
    for (int seen = 0;; ++seen) {
        if (seen == frames.count() && !frames.wait(3000))
            return false;
        const QByteArray envelope = frames.at(seen).at(0).toByteArray();
        if (envelope.startsWith("PCP#") && envelope.endsWith("END#") && match(envelope.mid(4, envelope.size() - 8)))
            return true;
    }
}
}

class TestBridgeCapture : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        SKIP_WITHOUT_PRIVATE_NETWORK();
        if (QStandardPaths::findExecutable("ip", {"/usr/sbin", "/sbin", "/usr/bin"}).isEmpty())
            QSKIP("needs the ip command (package iproute2)");
        sh("ip link set lo up");
        QCOMPARE(sh(kSetup + " >/dev/null 2>&1"), 0);
    }
    void cleanup()
    {
        if (privateNetworkSkipReason().isEmpty())
            sh("ip link del talvo0 2>/dev/null");
    }

    void setupScriptIsIdempotent()
    {
        const QString index = shOutput("cat /sys/class/net/talvo0/ifindex");
        QVERIFY(!index.isEmpty());
        QCOMPARE(sh(kSetup + " >/dev/null 2>&1"), 0);
        QCOMPARE(shOutput("cat /sys/class/net/talvo0/ifindex"), index);
        QVERIFY(isUp("talvo0p"));
        if (!QStandardPaths::findExecutable("ethtool", {"/usr/sbin", "/sbin"}).isEmpty())
            QVERIFY(shOutput("ethtool -k talvo0").contains("tx-checksumming: off"));
        // Half a pair is replaced by a whole one.
        sh("ip link del talvo0");
        sh("ip link add talvo0 type veth peer name stray0");
        QCOMPARE(sh(kSetup + " >/dev/null 2>&1"), 0);
        QVERIFY(QFile::exists("/sys/class/net/talvo0p"));
    }

    // The stack side's frames are captured; an injected frame reaches the stack side and is
    // not captured back. A start while running ends the running capture, closing its
    // device, first; a running capture keeps the panel it was started for.
    void captureInjectAndRestart()
    {
        Bridge b;
        QSignalSpy messages(&b.op, &PCapOperator::message);
        QVERIFY(configured(b));
        QCOMPARE(messages.value(0).value(0).toString(), QStringLiteral("3"));
        QCOMPARE(b.op.device(), QStringLiteral("talvo0p"));
        // The panel's addresses, the other routes and their removal on talvo0 are checked end
        // to end by tst_ethernet_e2e.
        QVERIFY(shOutput("ip route show 224.0.0.0/4").contains("via 192.168.7.234 dev talvo0 metric 291"));
        LogCapture log;
        QSignalSpy frames(&b.op, &PCapOperator::sendRcv);
        Wire stackSide("talvo0");
        QVERIFY2(stackSide.isOpen(), qPrintable(stackSide.error()));

        b.op.setBRun(true);
        QVERIFY(b.op.isRunning());
        b.op.setBRun(true);
        QVERIFY(b.op.isRunning());
        QCOMPARE(log.count("PCapOperator::run out while adhandle 111 ==  0x"), 1);
        QTRY_COMPARE_WITH_TIMEOUT(log.count(" PCapOperator::run()"), 2, 1000);

        const QString filter = b.op.captureFilter();
        b.op.regedit("02:00:00:00:00:0B", "192.168.8.10");
        QCOMPARE(b.op.captureFilter(), filter);
        QVERIFY(shOutput("ip -o link show dev talvo0").contains("02:00:00:00:00:0a"));

        const QByteArray injected = ethernetFrame(kBroadcast, kPlcMac, 0x88B5, "from the panel");
        b.inject(injected);
        QVERIFY(stackSide.waitFor([&](const QByteArray &f) { return f == injected; }, 3000));
        const QByteArray marker = ethernetFrame(kBroadcast, kPanelMac, 0x88B5, "after restart");
        QVERIFY(stackSide.send(marker));
        bool echoed = false;
        QVERIFY(arrived(frames, [&](const QByteArray &f) {
            echoed = echoed || f == injected;
            return f == marker;
        }));
        QVERIFY(!echoed);

        b.stop();
        QCOMPARE(log.count("PCapOperator::run out while adhandle 111 ==  0x"), 2);
        // No device open any more: injection is a no-op, not a crash.
        b.inject(marker);
    }

    void stopWhileFramesFlow()
    {
        Bridge b;
        QVERIFY(configured(b));
        QSignalSpy frames(&b.op, &PCapOperator::sendRcv);
        std::atomic<bool> flood{true};
        std::thread sender([&] {
            Wire stackSide("talvo0");
            const QByteArray f = ethernetFrame(kBroadcast, kPanelMac, 0x88B5, "flood", 1514);
            while (flood)
                stackSide.send(f);
        });
        // A failed check returns early; a thread still joinable then aborts the whole program.
        const auto stopFlood = qScopeGuard([&] {
            flood = false;
            sender.join();
        });
        for (int round = 0; round < 3; ++round) {
            b.op.setBRun(true);
            QVERIFY(frames.wait(3000));
            const QByteArray back = ethernetFrame(kPlcMac, kPanelMac, 0x88B5, "inject while stopping");
            b.op.setBRun(false);
            for (int i = 0; i < 100 && !b.op.isFinished(); ++i)
                b.inject(back);
            QTRY_VERIFY_WITH_TIMEOUT(b.op.isFinished(), 1000);
        }
    }

    // A megabyte burst from the stack side is carried whole. Then a helper that stops taking
    // frames (stopped, or starved of CPU): what the tool injects is held up to its bound,
    // then dropped with a log line, and the GUI thread never blocks; once the helper goes
    // on, frames cross both ways again.
    void burstCarriedAndStalledHelperBounded()
    {
        Bridge b;
        QVERIFY(configured(b));
        LogCapture log;
        int captured = 0;
        // The stack's own IPv6 chatter from the panel MAC is carried too; only ours counts.
        connect(&b.op, &PCapOperator::sendRcv, this, [&](const QByteArray &e) {
            captured += etherTypeOf(e.mid(4)) == 0x88B5 ? 1 : 0;
        });
        b.op.setBRun(true);
        const int frames = 700; // 1514 bytes each: about 1 MB
        {
            Wire stackSide("talvo0");
            for (int i = 0; i < frames; ++i)
                QVERIFY(stackSide.send(ethernetFrame(kBroadcast, kPanelMac, 0x88B5, QByteArray::number(i), 1514)));
        }
        QTRY_COMPARE_WITH_TIMEOUT(captured, frames, 10000);

        const pid_t helper = childNamed("talvo-bridge-he");
        QVERIFY(helper > 0);
        QCOMPARE(::kill(helper, SIGSTOP), 0);
        // About 19 MB, several times the socket's buffer and the tool's bound together.
        const QVector<QByteArray> batch(64, ethernetFrame(kPlcMac, kPanelMac, 0x88B5, "held", 1514));
        for (int i = 0; i < 200; ++i)
            b.op.sendPackets(batch);
        QVERIFY(log.count("CaptureDevice: the capture helper does not keep up, frames to inject dropped") >= 1);
        QCOMPARE(::kill(helper, SIGCONT), 0);

        Wire stackSide("talvo0");
        QVERIFY(stackSide.isOpen());
        const QByteArray marker = ethernetFrame(kBroadcast, kPlcMac, 0x88B5, "after the stall");
        bool seen = false;
        for (int i = 0; i < 20 && !seen; ++i) {
            b.inject(marker);
            seen = stackSide.waitFor([&](const QByteArray &f) { return f == marker; }, 500);
        }
        QVERIFY(seen);
        QVERIFY(stackSide.send(ethernetFrame(kBroadcast, kPanelMac, 0x88B5, "captured again")));
        QTRY_VERIFY_WITH_TIMEOUT(captured > frames, 3000);
        b.stop();
    }

    // The adapter missing at start, vanishing while captured, coming back: reported, retried,
    // and never a read from a closed device.
    void adapterMissingOrVanishing()
    {
        Bridge b;
        sh("ip link del talvo0");
        LogCapture log;
        QCOMPARE(b.op.initPcap(), -2);
        QVERIFY(log.lines().contains("initPcap 000"));

        QCOMPARE(sh(kSetup + " >/dev/null 2>&1"), 0);
        QVERIFY(configured(b));
        sh("ip link del talvo0");

        QSignalSpy messages(&b.op, &PCapOperator::message);
        QSignalSpy frames(&b.op, &PCapOperator::sendRcv);
        b.op.setBRun(true);
        // The label, the reason, the handle that is not there, the device.
        QCOMPARE(log.lines().filter(QRegularExpression(R"(^pcapLink error ===  ".+" 0x0 "talvo0p"$)")).size(), 1);
        QCOMPARE(messages.count(), 1);
        QVERIFY(messages.at(0).at(0).toString().contains("talvo0p"));
        QTRY_VERIFY_WITH_TIMEOUT(log.count("PCapOperator::run adhandle == null") >= 1, 2000);

        QCOMPARE(sh(kSetup + " >/dev/null 2>&1"), 0);
        sh("ip link set dev talvo0 up");
        Wire stackSide("talvo0");
        const QByteArray f = ethernetFrame(kBroadcast, kPanelMac, 0x88B5, "back again");
        QTRY_VERIFY_WITH_TIMEOUT((stackSide.send(f), frames.count() > 0), 5000);

        sh("ip link del talvo0");
        QTRY_VERIFY_WITH_TIMEOUT(log.count("PCapOperator::run: capture read failed") + log.count("pcapLink error ===") >= 2, 3000);
        b.stop();
    }
};

PRIVATE_NETWORK_TEST_MAIN(TestBridgeCapture)
#include "tst_bridge_capture.moc"
