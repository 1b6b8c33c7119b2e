// The tool runs without privilege; setup-adapter grants the bridge helper its capabilities,
// and the helper captures and runs the adapter's commands for an ordinary user, and nothing
// else for anyone.
#include "Shell.h"

#include <QTemporaryDir>
#include <QtTest>

class TestBridgeCaps : public QObject
{
    Q_OBJECT

private slots:
    void unprivilegedToolThroughTheHelper()
    {
        SKIP_WITHOUT_PRIVATE_NETWORK();
        QTemporaryDir dir;
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                              | QFile::ReadOther | QFile::ExeOther);
        const QString probe = dir.filePath("talvo-hmi-tunnel");
        const QString helper = dir.filePath("talvo-bridge-helper");
        QVERIFY(QFile::copy(CAPS_PROBE, probe));
        QVERIFY(QFile::copy(BRIDGE_HELPER, helper));
        QCOMPARE(sh(QStringLiteral(TALVO_SOURCE_DIR "/scripts/setup-adapter ") + helper + " >/dev/null"), 0);
        QVERIFY2(shOutput("getcap " + helper).contains("cap_net_admin,cap_net_raw=ep"), "no file capabilities");

        const QString asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        const QString out = shOutput(asNobody + probe + " 'ip link set dev talvo0 address 02:00:00:00:00:0b'");
        QVERIFY2(out.contains("tool CapEff:\t0000000000000000"), qPrintable(out));
        QVERIFY2(out.contains("pcap installed: 1"), qPrintable(out));
        QVERIFY2(out.contains("capture: open"), qPrintable(out));
        QVERIFY(shOutput("ip -o link show dev talvo0").contains("02:00:00:00:00:0b"));

        // Anything but the adapter's own commands and capture device is refused, whoever asks.
        for (const QString &refused :
             {QStringLiteral("ip link set dev lo down"), QStringLiteral("ip link set dev talvo0 address '02:00:00:00:00:0b;id'"),
              QStringLiteral("ip addr add 10.0.0.1/8 broadcast 10.255.255.255 dev talvo0"),
              QStringLiteral("ip route replace 0.0.0.0/0 via 192.168.1.234 dev talvo0 metric 1"),
              QStringLiteral("ip route replace 192.168.1.0/24 via 192.168.1.0234 dev talvo0 metric 291"),
              QStringLiteral("capture lo --fd 3"), QStringLiteral("capture talvo0p --fd 1"), QStringLiteral("rm -rf /")})
            QVERIFY2(sh(asNobody + helper + ' ' + refused + " 2>/dev/null") == 2, qPrintable(refused));

        // Without the grant the same user is told the bridge cannot capture.
        QCOMPARE(sh(QStringLiteral(TALVO_SOURCE_DIR "/scripts/setup-adapter --remove ") + helper + " >/dev/null"), 0);
        QVERIFY(!QFile::exists("/sys/class/net/talvo0"));
        const QString plain = shOutput(asNobody + probe);
        QVERIFY2(plain.contains("pcap installed: 0"), qPrintable(plain));
        QVERIFY2(!plain.contains("capture: open"), qPrintable(plain));
    }
};

PRIVATE_NETWORK_TEST_MAIN(TestBridgeCaps)
#include "tst_bridge_caps.moc"
