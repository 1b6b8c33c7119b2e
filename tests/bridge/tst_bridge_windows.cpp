// The TAP-Windows side of discovery and configuration, run against an INI file laid out
// like the registry keys and a runner that records the command lines.
#include "BridgeTestSupport.h"

#include "bridge/PCapOperator.h"
#include "bridge/TapRegistry.h"
#include "bridge/WindowsTapAdapter.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QString slashed(QString path)
{
    return path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

// A registry stand-in: keys are groups of one INI file.
class FakeRegistry
{
public:
    FakeRegistry() : m_file(m_dir.filePath(QStringLiteral("registry.ini"))) {}

    void set(const QString &key, const QString &name, const QVariant &value)
    {
        QSettings s(m_file, QSettings::IniFormat);
        s.setValue(slashed(key) + QLatin1Char('/') + name, value);
    }
    void adapter(const QString &subkey, const QString &desc, const QString &id = QString(),
                 const QStringList &upperBind = {})
    {
        const QString key = TapRegistry::classKey() + QLatin1Char('\\') + subkey;
        if (!desc.isNull())
            set(key, QStringLiteral("DriverDesc"), desc);
        if (!id.isNull())
            set(key, QStringLiteral("NetCfgInstanceId"), id);
        if (!upperBind.isEmpty())
            set(key + QStringLiteral("\\Linkage"), QStringLiteral("UpperBind"), upperBind);
    }
    void connection(const QString &id, const QString &name)
    {
        set(TapRegistry::networkKey() + QLatin1Char('\\') + id + QStringLiteral("\\Connection"),
            QStringLiteral("Name"), name);
    }
    QVariant value(const QString &key, const QString &name) const
    {
        QSettings s(m_file, QSettings::IniFormat);
        return s.value(slashed(key) + QLatin1Char('/') + name);
    }
    TapRegistry::SettingsFactory factory() const
    {
        const QString file = m_file;
        return [file](const QString &path) {
            auto s = std::make_unique<QSettings>(file, QSettings::IniFormat);
            s->beginGroup(slashed(path));
            return s;
        };
    }

private:
    QTemporaryDir m_dir;
    QString m_file;
};

const QString kTap = QStringLiteral("TAP-Windows Adapter V9");

// Two TAP adapters, the first listed without an instance id; look-alikes before them.
void typicalMachine(FakeRegistry &reg)
{
    reg.adapter("0000", "Intel(R) Ethernet Connection", "{AAAA}", {"Tcpip", "Win10Pcap", "Tcpip6"});
    reg.adapter("0001", kTap + " #2", "{LOOK1}");
    reg.adapter("0002", "tap-windows adapter v9", "{LOOK2}");
    reg.adapter("0003", kTap);
    reg.adapter("0004", kTap, "{TAP-SECOND}");
    reg.adapter("0010", kTap, "{TAP-THIRD}");
    reg.set(TapRegistry::classKey() + "\\Properties", "Security", "x");
    reg.connection("{TAP-SECOND}", "Ethernet 3");
}

struct Bridge
{
    explicit Bridge(const FakeRegistry &reg)
        : op(std::make_unique<WindowsTapAdapter>(reg.factory()), std::make_unique<RecordingRunner>(&commands))
    {
    }
    QStringList commands;
    PCapOperator op;
};

QStringList routeAdds(const QString &n, const QString &gw)
{
    return {"route add " + n + ".0 mask 255.255.255.0 " + gw + " metric 291 ",
            "route add " + n + ".234 mask 255.255.255.255 " + gw + " metric 291 ",
            "route add " + n + ".255 mask 255.255.255.255 " + gw + " metric 291 ",
            "route add 234.0.0.0 mask 240.0.0.0 " + gw + " metric 291 ",
            "route add 255.255.255.255 mask 255.255.255.255 " + gw + " metric 291 "};
}
}

class TestBridgeWindows : public QObject
{
    Q_OBJECT

private slots:
    void tapAndPcapDetection_data()
    {
        QTest::addColumn<QString>("desc");
        QTest::addColumn<QStringList>("upperBind");
        QTest::addColumn<bool>("tap");
        QTest::addColumn<bool>("pcap");
        QTest::newRow("exact description, bound among others")
            << kTap << QStringList{"Tcpip", "Win10Pcap"} << true << true;
        QTest::newRow("description with an instance number") << kTap + " #2" << QStringList{"Win10Pcap"} << false << true;
        QTest::newRow("description in other case") << "TAP-WINDOWS ADAPTER V9" << QStringList{"Tcpip"} << false << false;
        QTest::newRow("binding that merely begins with the name") << kTap << QStringList{"Win10PcapX"} << true << false;
        QTest::newRow("no values at all") << QString() << QStringList() << false << false;
    }
    void tapAndPcapDetection()
    {
        QFETCH(QString, desc);
        QFETCH(QStringList, upperBind);
        QFETCH(bool, tap);
        QFETCH(bool, pcap);
        FakeRegistry reg;
        reg.adapter("0000", "Intel(R) Ethernet Connection", "{AAAA}", {"Tcpip"});
        reg.adapter("0001", desc, "{X}", upperBind);
        Bridge b(reg);
        QCOMPARE(b.op.isTapInstalled(), tap);
        QCOMPARE(b.op.isPcapInstalled(), pcap);
    }

    void initPcapTakesFirstTapWithInstanceIdFromRegistry()
    {
        FakeRegistry reg;
        typicalMachine(reg);
        Bridge b(reg);
        LogCapture log;
        const int result = b.op.initPcap();
        if (result == -1)
            QSKIP("the capture library cannot list devices here");
        QCOMPARE(result, 1);
        QCOMPARE(b.op.device(), QStringLiteral("{TAP-SECOND}"));
        QCOMPARE(log.count("device ==="), 0);
    }

    void initPcapWithoutTapFindsNoDevice()
    {
        FakeRegistry reg;
        reg.adapter("0000", "Intel(R) Ethernet Connection", "{AAAA}");
        Bridge b(reg);
        LogCapture log;
        const int result = b.op.initPcap();
        if (result == -1)
            QSKIP("the capture library cannot list devices here");
        QCOMPARE(result, -2); // no device here is described as TAP-Windows
        QVERIFY(b.op.device().isEmpty());
        QVERIFY(log.lines().contains("initPcap 000"));
        QVERIFY(!log.lines().contains("initPcap 111"));
    }

    // The first TAP adapter listed is configured even though it has no instance id: its
    // connection name is then empty, and the commands run all the same.
    void regeditConfiguresFirstTapAdapter()
    {
        FakeRegistry reg;
        typicalMachine(reg);
        Bridge b(reg);
        QSignalSpy messages(&b.op, &PCapOperator::message);
        LogCapture log;

        b.op.regedit("00:11:22:33:44:55", "192.168.1.10");

        const QString tapKey = TapRegistry::classKey() + "\\0003";
        QCOMPARE(reg.value(tapKey, "MAC").toString(), QStringLiteral("001122334455"));
        QCOMPARE(reg.value(tapKey, "MediaStatus").toString(), QStringLiteral("1"));
        QVERIFY(!reg.value(TapRegistry::classKey() + "\\0004", "MAC").isValid());

        const QString enable = "netsh interface set interface \"\" admin=enable ";
        const QStringList expected = QStringList{
            enable,
            "netsh interface ip set address name=\"\" source=static addr=192.168.1.10 mask=255.255.255.0 ",
            "netsh interface set interface \"\" admin=disable "}
            + routeAdds("192.168.1", "192.168.1.234") + QStringList{enable};
        QCOMPARE(b.commands, expected);
        QVERIFY(b.op.getRouteAdded());
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("3"));
        QCOMPARE(b.op.captureFilter(),
                 QStringLiteral("((ether dst FF:FF:FF:FF:FF:FF) or (not ip) or ((ip) and ((src host 192.168.1.10) or (src host 192.168.1.255))))"));
        QVERIFY(log.lines().contains("system start 3"));
        QVERIFY(log.lines().contains("PCapOperator::regedit  ipaddr == 192"));
        QVERIFY(log.lines().contains("PCapOperator::regedit  macaddr == 85"));
    }

    void connectionNameComesFromNetworkKey()
    {
        FakeRegistry reg;
        reg.adapter("0000", kTap, "{TAP}");
        // A "%2" in the name must stay as it is, not take an address byte.
        reg.connection("{TAP}", "Local Area %2");
        Bridge b(reg);
        b.op.regedit("0:a:B:c:D:e", "10.0.0.5");
        QCOMPARE(reg.value(TapRegistry::classKey() + "\\0000", "MAC").toString(), QStringLiteral("000A0B0C0D0E"));
        QCOMPARE(b.commands.value(0), QStringLiteral("netsh interface set interface \"Local Area %2\" admin=enable "));
        QCOMPARE(b.commands.value(1), QStringLiteral(
            "netsh interface ip set address name=\"Local Area %2\" source=static addr=10.0.0.5 mask=255.255.255.0 "));
    }

    void routeDeleteRunsOnceAfterRegedit()
    {
        FakeRegistry reg;
        typicalMachine(reg);
        Bridge b(reg);
        QCOMPARE(b.op.routeDelete(), 1);
        QVERIFY(b.commands.isEmpty());

        b.op.regedit("00:11:22:33:44:55", "192.168.1.10");
        b.commands.clear();
        QCOMPARE(b.op.routeDelete(), 1);
        const QString gw = "192.168.1.234";
        QCOMPARE(b.commands, (QStringList{
            "route delete 192.168.1.0 mask 255.255.255.0 " + gw + " ",
            "route delete 192.168.1.234 mask 255.255.255.255 " + gw + " ",
            "route delete 192.168.1.255 mask 255.255.255.255 " + gw + " ",
            "route delete 234.0.0.0 mask 240.0.0.0 " + gw + " ",
            "route delete 255.255.255.255 mask 255.255.255.255 " + gw + " ",
            "netsh interface set interface \"\" admin=disable "}));
        QVERIFY(!b.op.getRouteAdded());
        b.commands.clear();
        QCOMPARE(b.op.routeDelete(), 1);
        QVERIFY(b.commands.isEmpty());
    }

    void noTapAdapterRunsNothingAndSaysSo()
    {
        FakeRegistry reg;
        reg.adapter("0000", "Intel(R) Ethernet Connection", "{AAAA}");
        Bridge b(reg);
        QSignalSpy messages(&b.op, &PCapOperator::message);
        b.op.regedit("00:11:22:33:44:55", "192.168.1.10");
        QVERIFY(b.commands.isEmpty());
        QVERIFY(!b.op.getRouteAdded());
        QCOMPARE(messages.count(), 1);
        QVERIFY(messages.at(0).at(0).toString().contains("not found"));
    }

    // Announcements come from the network: anything but six hex groups and four decimal
    // octets is refused before the registry, a command line or the capture filter.
    void refusedAnnouncementChangesNothing_data()
    {
        QTest::addColumn<QString>("mac");
        QTest::addColumn<QString>("ip");
        const QString mac = "00:11:22:33:44:55";
        const QString ip = "192.168.1.10";
        QTest::newRow("three ip parts") << mac << "10.0.0";
        QTest::newRow("octet 300") << mac << "192.168.1.300";
        QTest::newRow("shell in ip") << mac << "192.168.1.10;reboot";
        QTest::newRow("three mac groups") << "00:11:22" << ip;
        QTest::newRow("seven mac groups") << "00:11:22:33:44:55:66" << ip;
        QTest::newRow("not hex") << "zz:11:22:33:44:55" << ip;
        QTest::newRow("shell in mac") << "00:11:22:33:44:5`" << ip;
    }
    void refusedAnnouncementChangesNothing()
    {
        QFETCH(QString, mac);
        QFETCH(QString, ip);
        FakeRegistry reg;
        typicalMachine(reg);
        Bridge b(reg);
        QSignalSpy messages(&b.op, &PCapOperator::message);
        const QString filterBefore = b.op.captureFilter();
        b.op.regedit(mac, ip);
        QVERIFY(b.commands.isEmpty());
        QVERIFY(!reg.value(TapRegistry::classKey() + "\\0003", "MAC").isValid());
        QVERIFY(!b.op.getRouteAdded());
        QCOMPARE(messages.count(), 0);
        QCOMPARE(b.op.captureFilter(), filterBefore);
    }
};

QTEST_GUILESS_MAIN(TestBridgeWindows)
#include "tst_bridge_windows.moc"
