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
    // A stand-in for the bridge helper that answers its capability check.
    Machine(const QStringList &interfaces, bool granted = true)
    {
        for (const QString &i : interfaces)
            QDir(dir.path()).mkpath("net/" + i);
        QFile helper(dir.filePath("helper"));
        helper.open(QIODevice::WriteOnly);
        helper.write(granted ? "#!/bin/sh\n[ \"$1\" = check ]\n" : "#!/bin/sh\nexit 3\n");
        helper.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    }
    QTemporaryDir dir;
};

struct Bridge
{
    explicit Bridge(const Machine &m)
        : op(std::make_unique<LinuxVethAdapter>(m.dir.filePath("net"), m.dir.filePath("helper")),
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
        QTest::addColumn<bool>("granted");
        QTest::addColumn<bool>("tap");
        QTest::addColumn<bool>("pcap");
        QTest::newRow("pair, helper granted") << QStringList{"lo", "talvo0", "talvo0p"} << true << true << true;
        QTest::newRow("helper not granted") << QStringList{"talvo0", "talvo0p"} << false << true << false;
        QTest::newRow("peer missing") << QStringList{"talvo0"} << true << false << true;
        QTest::newRow("no pair") << QStringList{"lo", "eth0"} << false << false << false;
    }
    void adapterAndCapabilities()
    {
        QFETCH(QStringList, interfaces);
        QFETCH(bool, granted);
        QFETCH(bool, tap);
        QFETCH(bool, pcap);
        Machine m(interfaces, granted);
        Bridge b(m);
        QCOMPARE(b.op.isTapInstalled(), tap);
        QCOMPARE(b.op.isPcapInstalled(), pcap);
    }

    void captureDeviceIsThePeerOnly()
    {
        Machine m({"talvo0", "talvo0p"});
        LinuxVethAdapter adapter(m.dir.filePath("net"), m.dir.filePath("helper"));
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
