// Guards OpenTun against hostile address text and a second call reconfiguring the process's one device.
#include "Shell.h"

#include "devices/OpenTun.h"

#include <QtTest>

class TestOpenTun : public QObject
{
    Q_OBJECT

private slots:
    // One function, since the record is process-wide: what fails before the first
    // success, the success, and what a second call returns.
    void openTunLifeCycle()
    {
        SKIP_WITHOUT_PRIVATE_NETWORK();
        if (!QFile::exists("/dev/net/tun"))
            QSKIP("no /dev/net/tun here");
        QVERIFY(!OpenTun("10.3.0.2", "255.255.255.0", "not an address"));
        QVERIFY(!OpenTun("10.3.0.300", "255.255.255.0", "10.3.0.1"));
        QVERIFY(!OpenTun("10.3.0", "255.255.255.0", "10.3.0.1"));
        QVERIFY(!OpenTun("10.3.0.0002", "255.255.255.0", "10.3.0.1"));
        QVERIFY(!OpenTun(nullptr, "255.255.255.0", "10.3.0.1"));
        QVERIFY(shOutput("ip -o link show").indexOf("talvotun") < 0);

        TapDevice *device = OpenTun("010.003.000.002", "255.255.255.0", "10.3.0.1");
        QVERIFY(device);
        QVERIFY(device->handle > 0);
        QCOMPARE(device->mtu, static_cast<unsigned short>(1500));
        QVERIFY(shOutput("ip -o -4 addr show dev talvotun0").contains("inet 10.3.0.2/24"));
        QVERIFY(shOutput("ip route show dev talvotun0").contains("10.3.0.0/24"));
        QVERIFY(isUp("talvotun0"));

        // Already open: the same record, nothing reconfigured.
        QCOMPARE(OpenTun("10.9.9.9", "255.0.0.0", "10.9.9.1"), device);
        QVERIFY(shOutput("ip -o -4 addr show dev talvotun0").contains("inet 10.3.0.2/24"));
        QVERIFY(shOutput("ip -o link show").count("talvotun") == 1);
    }
};

PRIVATE_NETWORK_TEST_MAIN(TestOpenTun)
#include "tst_opentun.moc"
