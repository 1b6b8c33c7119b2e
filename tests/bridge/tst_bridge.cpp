// Guards the bridge against hanging commands, wrong or injected adapter commands, and lost or unbounded relaying.
// No network needed: sysfs and the registry are stand-ins, commands are recorded; they run
// for real in tst_bridge_capture.
#include "BridgeTestSupport.h"
#include "Files.h"
#include "TestWire.h"

#include "bridge/LinuxVethAdapter.h"
#include "bridge/PCapOperator.h"
#include "bridge/ProcessCommandRunner.h"
#include "bridge/RelayRule.h"
#include "bridge/TapRegistry.h"
#include "bridge/WindowsTapAdapter.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QByteArray kPanel = QByteArray::fromHex("021122334455");
const QByteArray kOther = QByteArray::fromHex("02aabbccddee");
const QByteArray kBroadcast = QByteArray::fromHex("ffffffffffff");
const QString kTap = QStringLiteral("TAP-Windows Adapter V9");

const uchar *bytes(const QByteArray &f)
{
    return reinterpret_cast<const uchar *>(f.constData());
}

// A shell that takes each line whole, as the Windows interpreter does.
ProcessCommandRunner::Interpreter shell(const QString &program = QStringLiteral("/bin/sh"))
{
    return [program](QProcess &process, const QString &cmd) {
        process.setProgram(program);
        process.setArguments({QStringLiteral("-c"), cmd});
    };
}

struct Bridge
{
    explicit Bridge(std::unique_ptr<BridgeAdapter> adapter)
        : op(std::move(adapter), std::make_unique<RecordingRunner>(&commands))
    {
    }
    QStringList commands;
    PCapOperator op;
};

// A sysfs stand-in and a bridge helper that answers its capability check, or refuses it.
struct Machine
{
    explicit Machine(const QStringList &interfaces, bool granted = true)
    {
        for (const QString &i : interfaces)
            QDir(dir.path()).mkpath("net/" + i);
        saveFile(dir.filePath("helper"), granted ? "#!/bin/sh\n[ \"$1\" = check ]\n" : "#!/bin/sh\nexit 3\n");
        QFile::setPermissions(dir.filePath("helper"), QFile::ReadOwner | QFile::ExeOwner);
    }
    std::unique_ptr<BridgeAdapter> adapter() const
    {
        return std::make_unique<LinuxVethAdapter>(dir.filePath("net"), dir.filePath("helper"));
    }
    QTemporaryDir dir;
};

QString slashed(QString path)
{
    return path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

// A registry stand-in: keys are groups of one INI file.
class FakeRegistry
{
public:
    void set(const QString &key, const QString &name, const QVariant &value)
    {
        QSettings(m_file, QSettings::IniFormat).setValue(slashed(key) + '/' + name, value);
    }
    QVariant value(const QString &key, const QString &name) const
    {
        return QSettings(m_file, QSettings::IniFormat).value(slashed(key) + '/' + name);
    }
    void adapter(const QString &subkey, const QString &desc, const QString &id, const QStringList &upperBind = {})
    {
        const QString key = TapRegistry::classKey() + '\\' + subkey;
        if (!desc.isNull())
            set(key, "DriverDesc", desc);
        set(key, "NetCfgInstanceId", id);
        if (!upperBind.isEmpty())
            set(key + "\\Linkage", "UpperBind", upperBind);
    }
    // refusedKey: a key that cannot be written, as HKLM is for a user without the rights.
    std::unique_ptr<BridgeAdapter> adapter(WindowsTapAdapter::LibraryCheck captureLibrary = {},
                                           const QString &refusedKey = QString()) const
    {
        const QString file = m_file;
        return std::make_unique<WindowsTapAdapter>(
            [file, refusedKey](const QString &path) {
                // No folder can be made below a device file, not even by root.
                auto s = std::make_unique<QSettings>(path == refusedKey ? QStringLiteral("/dev/null/r.ini") : file,
                                                     QSettings::IniFormat);
                s->beginGroup(slashed(path));
                return s;
            },
            std::move(captureLibrary));
    }

private:
    QTemporaryDir m_dir;
    QString m_file = m_dir.filePath(QStringLiteral("registry.ini"));
};

// Two TAP adapters, look-alikes before them; the first TAP's connection name is one that
// a formatting mistake would change.
void typicalMachine(FakeRegistry &reg)
{
    reg.adapter("0000", "Intel(R) Ethernet Connection", "{AAAA}", {"Tcpip", "Win10Pcap", "Tcpip6"});
    reg.adapter("0001", kTap + " #2", "{LOOK1}");
    reg.adapter("0002", "tap-windows adapter v9", "{LOOK2}");
    reg.adapter("0004", kTap, "{TAP-FIRST}");
    reg.adapter("0010", kTap, "{TAP-SECOND}");
    reg.set(TapRegistry::classKey() + "\\Properties", "Security", "x");
    reg.set(TapRegistry::networkKey() + "\\{TAP-FIRST}\\Connection", "Name", "Local Area %2");
}
} // namespace

class TestBridge : public QObject
{
    Q_OBJECT

private slots:
    // The runner's text: both streams, trimmed, up to a zero byte, UTF-8, whatever the exit
    // code. A command that hangs, or an interpreter that never starts, must not hold the tool up.
    void runner()
    {
        ProcessCommandRunner runner(ProcessCommandRunner::kStartTimeoutMs, ProcessCommandRunner::kFinishTimeoutMs, shell());
        QCOMPARE(runner.execute("printf '  out\\n'; echo err >&2; printf '\\n\\n'; exit 3"), " execute cmd out\nerr");
        QCOMPARE(runner.execute("printf '\\303\\251t\\303\\251\\000def'"), QString::fromUtf8(" execute cmd été"));
        ProcessCommandRunner hanging(ProcessCommandRunner::kStartTimeoutMs, 200, shell());
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(hanging.execute("sleep 30"), QStringLiteral(" execute sleep 30 waitForFinished failed"));
        QVERIFY(timer.elapsed() < 10000);
        ProcessCommandRunner missing(2000, 2000, shell("/nonexistent/interpreter"));
        QCOMPARE(missing.execute("true"), QStringLiteral(" execute true waitForStarted failed"));
    }

    // The veth pair counts only whole, capture only with the helper's capability granted;
    // the TAP adapter only by its exact description, the capture binding by its exact name.
    void adapterDetection()
    {
        const struct { const char *name; QStringList interfaces; bool granted, tap, pcap; } rows[] = {
            {"pair, helper granted", {"lo", "talvo0", "talvo0p"}, true, true, true},
            {"helper not granted", {"talvo0", "talvo0p"}, false, true, false},
            {"peer missing", {"talvo0"}, true, false, true},
            {"no pair", {"lo", "eth0"}, false, false, false}};
        for (const auto &r : rows) {
            Machine m(r.interfaces, r.granted);
            Bridge b(m.adapter());
            QVERIFY2(b.op.isTapInstalled() == r.tap && b.op.isPcapInstalled() == r.pcap, r.name);
        }
        const struct { const char *name; QString desc; QStringList upperBind; bool tap, pcap; } tapRows[] = {
            {"exact description, bound among others", kTap, {"Tcpip", "Win10Pcap"}, true, true},
            {"description with an instance number", kTap + " #2", {"Win10Pcap"}, false, true},
            {"description in other case", "TAP-WINDOWS ADAPTER V9", {"Tcpip"}, false, false},
            {"binding that merely begins with the name", kTap, {"Win10PcapX"}, true, false},
            {"no values at all", QString(), {}, false, false}};
        for (const auto &r : tapRows) {
            FakeRegistry reg;
            reg.adapter("0000", "Intel(R) Ethernet Connection", "{AAAA}", {"Tcpip"});
            reg.adapter("0001", r.desc, "{X}", r.upperBind);
            Bridge b(reg.adapter());
            QVERIFY2(b.op.isTapInstalled() == r.tap && b.op.isPcapInstalled() == r.pcap, r.name);
        }

        // A binding whose library is gone captures nothing: the window must offer the
        // installer rather than let the channel fail later without a word.
        FakeRegistry reg;
        reg.adapter("0000", kTap, "{X}", {"Tcpip", "Win10Pcap"});
        QString problem = "the capture library wpcap.dll is not installed";
        Bridge b(reg.adapter([&problem] { return problem; }));
        LogCapture log;
        QVERIFY(b.op.isTapInstalled());
        QVERIFY(!b.op.isPcapInstalled());
        QVERIFY(log.lines().join('\n').contains(problem));
        problem.clear();
        QVERIFY(b.op.isPcapInstalled());
    }

    // Announcements come from the network: anything but six hex groups and four decimal
    // octets is refused before a command line, the registry or the capture filter. Good ones
    // are written out in the form ip takes: no leading zeros, which ip would read as octal;
    // the capture filter keeps the address as announced. Routes go once, after a configuration.
    void linuxAnnouncements()
    {
        Machine m({"talvo0", "talvo0p"});
        Bridge b(m.adapter());
        QSignalSpy messages(&b.op, &PCapOperator::message);
        const QString mac = "00:11:22:33:44:55", ip = "192.168.1.10";
        for (const auto &[badMac, badIp] : std::initializer_list<std::pair<QString, QString>>{
                 {mac, "10.0.0"}, {mac, "192.168.1.300"}, {mac, "192.168.1.10;reboot"},
                 {"00:11:22:33:44:55:66", ip}, {"00:11:22:33:44:5`", ip}}) {
            b.op.regedit(badMac, badIp);
            QVERIFY2(b.commands.isEmpty() && !b.op.getRouteAdded() && messages.isEmpty()
                         && b.op.captureFilter().isEmpty(),
                     qPrintable(badMac + ' ' + badIp));
        }
        b.op.regedit("0:1a:2B:33:44:55", "192.168.010.10");
        QVERIFY(b.commands.contains("ip link set dev talvo0 address 00:1A:2B:33:44:55"));
        QVERIFY(b.commands.contains("ip addr add 192.168.10.10/24 broadcast 192.168.10.255 dev talvo0"));
        QVERIFY(b.op.captureFilter().endsWith("((src host 192.168.010.10) or (src host 192.168.010.255))))"));
        QCOMPARE(startingWith(b.commands, "ip route replace "), 5);
        b.commands.clear();
        b.op.routeDelete();
        QCOMPARE(startingWith(b.commands, "ip route del "), 5);
        b.commands.clear();
        b.op.routeDelete();
        QCOMPARE(startingWith(b.commands, "ip route del "), 0);
    }

    // No adapter, or no right to write the adapter's MAC: the channel cannot work, so nothing
    // is run and the operator is told why.
    void unusableAdapterRunsNothingAndSaysSo()
    {
        Machine machine({"lo"});
        FakeRegistry none, refused;
        none.adapter("0000", "Intel(R) Ethernet Connection", "{AAAA}");
        typicalMachine(refused);
        Bridge onLinux(machine.adapter()), onWindows(none.adapter()),
            withoutRights(refused.adapter(WindowsTapAdapter::LibraryCheck(), TapRegistry::classKey() + "\\0004"));
        for (const auto &[b, why] : std::initializer_list<std::pair<Bridge *, QString>>{
                 {&onLinux, LinuxVethAdapter::missingAdapterText()},
                 {&onWindows, WindowsTapAdapter::missingAdapterText()},
                 {&withoutRights, WindowsTapAdapter::registryRefusedText()}}) {
            QSignalSpy messages(&b->op, &PCapOperator::message);
            b->op.regedit("00:11:22:33:44:55", "192.168.1.10");
            QVERIFY(b->commands.isEmpty());
            QVERIFY(!b->op.getRouteAdded());
            QCOMPARE(messages.count(), 1);
            QCOMPARE(messages.at(0).at(0).toString(), why);
        }
    }

    // Only the first TAP adapter is the capture device and is configured; its connection
    // name is taken literally, a "%2" in it not replaced by an address byte.
    void tapAdapterChosenAndConfigured()
    {
        FakeRegistry reg, none;
        typicalMachine(reg);
        none.adapter("0000", "Intel(R) Ethernet Connection", "{AAAA}");
        Bridge b(reg.adapter()), without(none.adapter());
        const int result = b.op.initPcap();
        if (result == -1)
            QSKIP("the capture library cannot list devices here");
        QCOMPARE(result, 1);
        QCOMPARE(b.op.device(), QStringLiteral("{TAP-FIRST}"));
        LogCapture log;
        QSignalSpy messages(&without.op, &PCapOperator::message);
        QCOMPARE(without.op.initPcap(), -2);
        QCOMPARE(messages.count(), 1);
        // Each label keeps its trailing blank, so a value follows two blanks.
        QVERIFY(log.lines().contains(R"(device ===  "lo" "")"));

        // The driver's MAC value is the announced text without colons, its case kept.
        b.op.regedit("0:a:B:c:D:e", "10.0.0.5");
        QCOMPARE(reg.value(TapRegistry::classKey() + "\\0004", "MAC").toString(), QStringLiteral("000a0B0c0D0e"));
        QVERIFY(log.lines().contains(R"(************** strmac  "000a0B0c0D0e")"));
        QCOMPARE(log.count("PCapOperator::regedit  ipaddr ==  "), 4);
        QVERIFY(log.lines().contains("PCapOperator::regedit  macaddr ==  11"));
        QVERIFY(!reg.value(TapRegistry::classKey() + "\\0010", "MAC").isValid());
        QVERIFY(b.commands.contains(
            "netsh interface ip set address name=\"Local Area %2\" source=static addr=10.0.0.5 mask=255.255.255.0 "));
        const QStringList routes{"10.0.0.0 mask 255.255.255.0", "10.0.0.234 mask 255.255.255.255",
                                 "10.0.0.255 mask 255.255.255.255", "224.0.0.0 mask 240.0.0.0",
                                 "255.255.255.255 mask 255.255.255.255"};
        for (const QString &r : routes)
            QVERIFY2(b.commands.contains("route add " + r + " 10.0.0.234 metric 291 "), qPrintable(r));
        b.commands.clear();
        b.op.routeDelete();
        for (const QString &r : routes)
            QVERIFY(b.commands.contains("route delete " + r + " 10.0.0.234 "));
        QCOMPARE(b.commands.size(), routes.size() + 1);
    }

    // Of other stations' frames ARP and IPv4 stay local; nothing shorter than a header goes.
    void relayRule()
    {
        std::array<quint8, 6> mac;
        std::copy(kPanel.begin(), kPanel.end(), mac.begin());
        const struct { const char *name; QByteArray frame; bool passes; } rows[] = {
            {"ARP from the panel MAC", ethernetFrame(kBroadcast, kPanel, 0x0806), true},
            {"IPv4 from the panel MAC", ethernetFrame(kOther, kPanel, 0x0800), true},
            {"ARP from another station", ethernetFrame(kBroadcast, kOther, 0x0806), false},
            {"IPv4 to the panel MAC", ethernetFrame(kPanel, kOther, 0x0800), false},
            {"IPv6 from another station", ethernetFrame(kOther, kOther, 0x86DD), true},
            {"802.1Q from another station", ethernetFrame(kBroadcast, kOther, 0x8100), true},
            {"bare header", ethernetFrame(kBroadcast, kOther, 0x86DD, {}, 14), true},
            {"13 bytes", ethernetFrame(kBroadcast, kPanel, 0x86DD).left(13), false}};
        for (const auto &r : rows)
            QVERIFY2(RelayRule::passes(bytes(r.frame), r.frame.size(), mac) == r.passes, r.name);
    }

    // Only frames that pass reach the tunnel, enveloped: a 60-byte frame becomes 68 bytes.
    // When the GUI thread does not take them, the queue stops at its bound instead of
    // growing; the overflow is dropped and reported once delivery resumes.
    void relayedFramesEnvelopedAndBounded()
    {
        Bridge b(std::make_unique<LinuxVethAdapter>(QStringLiteral("/nonexistent")));
        b.op.regedit("02:11:22:33:44:55", "192.168.1.10");
        LogCapture log;
        QList<QByteArray> sent;
        connect(&b.op, &PCapOperator::sendRcv, this, [&](const QByteArray &e) { sent.append(e); });
        const QByteArray dropped = ethernetFrame(kBroadcast, kOther, 0x0800);
        const QByteArray marker = ethernetFrame(kBroadcast, kPanel, 0x0806);
        b.op.relayFrame(bytes(dropped), dropped.size());
        b.op.relayFrame(nullptr, 0);
        b.op.relayFrame(bytes(marker), marker.size());
        QTRY_VERIFY_WITH_TIMEOUT(!sent.isEmpty(), 2000);
        QCOMPARE(sent, QList<QByteArray>{"PCP#" + marker + "END#"});

        const QByteArray f = ethernetFrame(kBroadcast, kPanel, 0x0800, {}, 1514);
        const int frames = 3 * 1024 * 1024 / f.size();
        for (int i = 0; i < frames; ++i)
            b.op.relayFrame(bytes(f), f.size());
        const int fits = int(PCapOperator::kMaxQueuedBytes / (f.size() + 8));
        QTRY_COMPARE_WITH_TIMEOUT(sent.size(), 1 + fits, 5000);
        QVERIFY(log.lines().contains(QStringLiteral("PCapOperator: tunnel not keeping up, %1 frames dropped")
                                         .arg(frames - fits)));
        b.op.relayFrame(bytes(f), f.size());
        QTRY_COMPARE_WITH_TIMEOUT(sent.size(), fits + 2, 5000);
    }
};

QTEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
