// The relay rule, the envelope and the bounded hand-over from the capture thread.
#include "BridgeTestSupport.h"

#include "bridge/LinuxVethAdapter.h"
#include "bridge/PCapOperator.h"
#include "bridge/RelayRule.h"

#include <QSignalSpy>
#include <QtTest>


namespace {
const QByteArray kPanel = QByteArray::fromHex("021122334455");
const QByteArray kOther = QByteArray::fromHex("02aabbccddee");
const QByteArray kBroadcast = QByteArray::fromHex("ffffffffffff");

QByteArray frame(const QByteArray &dst, const QByteArray &src, quint16 etherType, int len = 60)
{
    QByteArray f = dst + src;
    f.append(char(etherType >> 8)).append(char(etherType & 0xFF));
    // A zero payload is of no length beyond the header: carried whole, padding and all.
    f.append(QByteArray(qMax(0, len - f.size()), '\0'));
    return f;
}

const uchar *bytes(const QByteArray &f)
{
    return reinterpret_cast<const uchar *>(f.constData());
}

struct Bridge
{
    QStringList commands;
    // Never asked for a device: the relay path needs no adapter.
    PCapOperator op{std::make_unique<LinuxVethAdapter>(QStringLiteral("/nonexistent")),
                    std::make_unique<RecordingRunner>(&commands)};
    Bridge() { op.regedit("02:11:22:33:44:55", "192.168.1.10"); }
};
}

class TestBridgeRelay : public QObject
{
    Q_OBJECT

private slots:
    void relayRule_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<bool>("passes");
        QTest::newRow("ARP from the panel MAC") << frame(kBroadcast, kPanel, 0x0806) << true;
        QTest::newRow("IPv4 from the panel MAC") << frame(kOther, kPanel, 0x0800) << true;
        QTest::newRow("ARP from another station") << frame(kBroadcast, kOther, 0x0806) << false;
        QTest::newRow("IPv4 from another station") << frame(kBroadcast, kOther, 0x0800) << false;
        QTest::newRow("IPv4 to the panel MAC") << frame(kPanel, kOther, 0x0800) << false;
        QTest::newRow("IPv6 from another station") << frame(kOther, kOther, 0x86DD) << true;
        QTest::newRow("802.1Q from another station") << frame(kBroadcast, kOther, 0x8100) << true;
        QTest::newRow("bare header") << frame(kBroadcast, kOther, 0x86DD, 14) << true;
        QTest::newRow("13 bytes") << frame(kBroadcast, kPanel, 0x86DD).left(13) << false;
    }
    void relayRule()
    {
        QFETCH(QByteArray, frame);
        QFETCH(bool, passes);
        std::array<quint8, 6> mac;
        std::copy(kPanel.begin(), kPanel.end(), mac.begin());
        QCOMPARE(RelayRule::passes(bytes(frame), frame.size(), mac), passes);
    }

    // Only frames that pass reach the tunnel, enveloped: a 60-byte frame becomes 68 bytes.
    void relayedFramesAreEnveloped()
    {
        Bridge b;
        QSignalSpy spy(&b.op, &PCapOperator::sendRcv);
        const QByteArray dropped = frame(kBroadcast, kOther, 0x0800);
        const QByteArray tooShort = frame(kBroadcast, kPanel, 0x0806).left(13);
        const QByteArray marker = frame(kBroadcast, kPanel, 0x0806);
        b.op.relayFrame(bytes(dropped), dropped.size());
        b.op.relayFrame(bytes(tooShort), tooShort.size());
        b.op.relayFrame(nullptr, 0);
        b.op.relayFrame(bytes(marker), marker.size());
        QVERIFY(spy.wait(2000));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toByteArray().size(), 68);
        QCOMPARE(spy.at(0).at(0).toByteArray(), "PCP#" + marker + "END#");
    }


    // When the GUI thread does not take the frames, the queue stops at its bound instead
    // of growing; the overflow is dropped and reported once delivery resumes.
    void backlogIsBounded()
    {
        Bridge b;
        LogCapture log;
        int count = 0;
        connect(&b.op, &PCapOperator::sendRcv, this, [&](const QByteArray &) { ++count; });
        const QByteArray f = frame(kBroadcast, kPanel, 0x0800, 1514);
        const int frames = 3 * 1024 * 1024 / f.size();
        for (int i = 0; i < frames; ++i)
            b.op.relayFrame(bytes(f), f.size());
        const int fits = int(PCapOperator::kMaxQueuedBytes / (f.size() + 8));
        QTRY_COMPARE_WITH_TIMEOUT(count, fits, 5000);
        QVERIFY(log.lines().contains(QStringLiteral("PCapOperator: tunnel not keeping up, %1 frames dropped")
                                         .arg(frames - fits)));
        // Once drained, frames flow again.
        b.op.relayFrame(bytes(f), f.size());
        QTRY_COMPARE_WITH_TIMEOUT(count, fits + 1, 5000);
    }


};

QTEST_GUILESS_MAIN(TestBridgeRelay)
#include "tst_bridge_relay.moc"
