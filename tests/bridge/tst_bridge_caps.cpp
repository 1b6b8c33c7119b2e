// The set-up script grants the executable the network capabilities, and the commands the
// bridge runs get them too, so an ordinary user can bring up an Ethernet channel.
#include "BridgeNamespace.h"

#include <QTemporaryDir>
#include <QtTest>

class TestBridgeCaps : public QObject
{
    Q_OBJECT

private slots:
    void unprivilegedUserWithGrantedCapabilities()
    {
        SKIP_WITHOUT_PRIVATE_NETWORK();
        for (const char *tool : {"setcap", "setpriv", "ip"})
            if (QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}).isEmpty())
                QSKIP(qPrintable(QStringLiteral("needs %1").arg(tool)));
        QTemporaryDir dir;
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                              | QFile::ReadOther | QFile::ExeOther);
        const QString probe = dir.filePath("talvo-hmi-tunnel");
        QVERIFY(QFile::copy(CAPS_PROBE, probe));
        QCOMPARE(sh(QStringLiteral(TALVO_SOURCE_DIR "/scripts/setup-adapter ") + probe + " >/dev/null"), 0);
        if (!shOutput("getcap " + probe).contains("cap_net_admin"))
            QSKIP("this file system keeps no file capabilities");

        const QString out = shOutput(
            "setpriv --reuid=65534 --regid=65534 --clear-groups " + probe
            + " 'ip link set dev talvo0 address 02:00:00:00:00:0b && echo changed'"
              " 'grep CapAmb /proc/self/status'");
        QVERIFY2(out.contains("pcap installed: 1"), qPrintable(out));
        QVERIFY2(out.contains("capture: open"), qPrintable(out));
        QVERIFY2(out.contains(" execute cmd changed"), qPrintable(out));
        QVERIFY2(out.contains("CapAmb:\t0000000000003000"), qPrintable(out));
        QVERIFY(shOutput("ip -o link show dev talvo0").contains("02:00:00:00:00:0b"));

        // Without the grant the same user is told the bridge cannot capture.
        QCOMPARE(sh(QStringLiteral(TALVO_SOURCE_DIR "/scripts/setup-adapter --remove ") + probe + " >/dev/null"), 0);
        QVERIFY(!QFile::exists("/sys/class/net/talvo0"));
        const QString plain = shOutput("setpriv --reuid=65534 --regid=65534 --clear-groups " + probe);
        QVERIFY2(plain.contains("pcap installed: 0"), qPrintable(plain));
    }
};

PRIVATE_NETWORK_TEST_MAIN(TestBridgeCaps)
#include "tst_bridge_caps.moc"
