// The veth side of discovery and configuration, against a sysfs stand-in and a runner that
// records the command lines. The same commands run for real in tst_bridge_capture.
#include "BridgeTestSupport.h"

#include "bridge/LinuxVethAdapter.h"
#include "bridge/PCapOperator.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
struct Machine
{
    Machine(const QStringList &interfaces, const QByteArray &capEff = "0000003fffffffff")
    {
        for (const QString &i : interfaces)
            QDir(dir.path()).mkpath("net/" + i);
        QFile status(dir.filePath("status"));
        status.open(QIODevice::WriteOnly);
        status.write("Name:\ttalvo\nCapInh:\t0000000000000000\nCapEff:\t" + capEff + "\nCapBnd:\t0\n");
    }
    QTemporaryDir dir;
};

struct Bridge
{
    explicit Bridge(const Machine &m)
        : op(std::make_unique<LinuxVethAdapter>(m.dir.filePath("net"), m.dir.filePath("status")),
             std::make_unique<RecordingRunner>(&commands))
    {
    }
    QStringList commands;
    PCapOperator op;
};

const QStringList kRoutes = {"192.168.1.0/24", "192.168.1.234/32", "192.168.1.255/32", "224.0.0.0/4",
                             "255.255.255.255/32"};
}

class TestBridgeLinux : public QObject
{
    Q_OBJECT

private slots:
    void adapterAndCapabilities_data()
    {
        QTest::addColumn<QStringList>("interfaces");
        QTest::addColumn<QByteArray>("capEff");
        QTest::addColumn<bool>("tap");
        QTest::addColumn<bool>("pcap");
        QTest::newRow("pair and root") << QStringList{"lo", "talvo0", "talvo0p"} << QByteArray("000001ffffffffff") << true << true;
        QTest::newRow("raw without admin") << QStringList{"talvo0", "talvo0p"} << QByteArray("0000000000002000") << true << false;
        QTest::newRow("peer missing") << QStringList{"talvo0"} << QByteArray("000001ffffffffff") << false << true;
        QTest::newRow("no pair") << QStringList{"lo", "eth0"} << QByteArray("garbage") << false << false;
    }
    void adapterAndCapabilities()
    {
        QFETCH(QStringList, interfaces);
        QFETCH(QByteArray, capEff);
        QFETCH(bool, tap);
        QFETCH(bool, pcap);
        Machine m(interfaces, capEff);
        Bridge b(m);
        QCOMPARE(b.op.isTapInstalled(), tap);
        QCOMPARE(b.op.isPcapInstalled(), pcap);
    }

    void captureDeviceIsThePeerOnly()
    {
        Machine m({"talvo0", "talvo0p"});
        LinuxVethAdapter adapter(m.dir.filePath("net"), m.dir.filePath("status"));
        QVERIFY(adapter.registeredCaptureDevice().isEmpty());
        QVERIFY(adapter.isCaptureDevice("talvo0p", QString()));
        QVERIFY(!adapter.isCaptureDevice("talvo0", QString()));
    }

    void regeditAndRouteDeleteCommands()
    {
        Machine m({"talvo0", "talvo0p"});
        Bridge b(m);
        QSignalSpy messages(&b.op, &PCapOperator::message);
        b.op.regedit("0:1a:2B:33:44:55", "192.168.001.10");

        QStringList expected{
            "ip link set dev talvo0 down",
            "ip link set dev talvo0 address 00:1A:2B:33:44:55",
            "ip -4 addr flush dev talvo0",
            "ip addr add 192.168.1.10/24 broadcast 192.168.1.255 dev talvo0",
            "ip link set dev talvo0p up",
            "ip link set dev talvo0 up"};
        for (const QString &r : kRoutes)
            expected << "ip route replace " + r + " via 192.168.1.234 dev talvo0 metric 291";
        QCOMPARE(b.commands, expected);
        QVERIFY(b.op.getRouteAdded());
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("3"));

        b.commands.clear();
        b.op.routeDelete();
        expected.clear();
        for (const QString &r : kRoutes)
            expected << "ip route del " + r + " via 192.168.1.234 dev talvo0 metric 291";
        expected << "ip link set dev talvo0 down";
        QCOMPARE(b.commands, expected);
        QVERIFY(!b.op.getRouteAdded());
    }

    void missingAdapterRunsNothingAndSaysSo()
    {
        Machine m({"lo"});
        Bridge b(m);
        QSignalSpy messages(&b.op, &PCapOperator::message);
        b.op.regedit("00:11:22:33:44:55", "192.168.1.10");
        QVERIFY(b.commands.isEmpty());
        QVERIFY(!b.op.getRouteAdded());
        QCOMPARE(messages.count(), 1);
        QVERIFY(messages.at(0).at(0).toString().contains("setup-adapter"));
    }

};

QTEST_GUILESS_MAIN(TestBridgeLinux)
#include "tst_bridge_linux.moc"
