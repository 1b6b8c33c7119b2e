// Guards every channel end to end against lost or changed bytes and wrong tips: the window
// with the real tunnel library, relay and agent, a real serial pair and a Modbus RTU master.
#include "Bytes.h"
#include "FakeBridge.h"
#include "FakeWait.h"
#include "RealPanel.h"
#include "WindowTest.h"
#include "base/AppDir.h"
#include "devices/VirtualPortsManager.h"

#include <QSerialPort>
#include <QStandardPaths>

class TestChannelEndToEnd : public WindowTest
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QTemporaryDir m_ports; // the virtual serial ports' names: COM30/COM31 and the panel's devices
    QProcess m_rtuSlave;   // a Modbus RTU slave behind the panel's COM2
    RealPanel m_panel;
    EchoServer m_configService;
    BridgeLog m_bridgeLog;
    QScopedPointer<PCapOperator> m_bridge;
    FakeWait m_wait;

private slots:
    void initTestCase()
    {
        SKIP_WITHOUT_PRIVATE_NETWORK();
        AppDir::setOverride(m_dir.path());
        // The panel's serial device is one end of a virtual pair; the PLC holds the other.
        qputenv("TALVO_VSERIAL_DIR", m_ports.path().toLocal8Bit());
        QVERIFY(VirtualPortsManager::createPair("PANEL1", "PLC1"));
        QVERIFY(VirtualPortsManager::createPair("PANEL2", "PLC2"));
        // Started before any channel exists, so that this child cannot hold one of the tunnel
        // library's listening sockets (test_tunnellib checks they are not inherited).
        if (QProcess::execute("/usr/bin/python3", {"-c", "import serial"}) == 0) {
            m_rtuSlave.start("/usr/bin/python3", {TALVO_RTU_SLAVE, VirtualPortsManager::portLocation("PLC2"), "--baud", "19200"});
            QVERIFY(QTest::qWaitFor([&] { return m_rtuSlave.canReadLine() || m_rtuSlave.state() == QProcess::NotRunning; }, 10000));
            QVERIFY2(m_rtuSlave.readLine() == "ready\n", m_rtuSlave.readAllStandardError().constData());
        }
        QVERIFY(m_configService.isListening());
        m_panel.start(m_dir.path(),
                      {QStringLiteral("127.0.0.1:12345=127.0.0.1:%1").arg(m_configService.serverPort()),
                       "[passthrough]", "announce-mac=02:54:56:00:04:12", "announce-ip=192.168.1.20",
                       "COM1=" + VirtualPortsManager::portLocation("PANEL1"), "COM1.baud=19200",
                       "COM2=" + VirtualPortsManager::portLocation("PANEL2"), "COM2.baud=19200"});
        m_panel.writeToolConfig(m_dir.path());

        m_bridge.reset(makeFakeBridge(&m_bridgeLog, nullptr));
        m_w.reset(new PLCDownloadAssistant);
        m_w->setBridge(m_bridge.data());
        m_w->setEventWait(&m_wait);
        m_w->changeLanguage(0);
    }

    void ethernetChannelReachesDeviceReady()
    {
        request("eth0");
        QTRY_COMPARE_WITH_TIMEOUT(caption(), QStringLiteral("Success"), 10000);
        // The announcement configured the bridge adapter with the panel's addresses.
        QCOMPARE(m_bridgeLog.configures, 1);
        // The stand-in adapter offers no capture device, and the operator is told so rather
        // than left with "Please operate on PLC software" and a bridge that never runs.
        QCOMPARE(tip(), QStringLiteral("No capture device found for the bridge adapter"));
        closeChannel();
        QCOMPARE(caption(), QStringLiteral("Start Tunnel"));
        QCOMPARE(m_bridgeLog.removals, 1);
        QVERIFY(m_panel.agent.waitForOutput("PC disconnected"));
    }

    // A port the panel lacks is refused with the agent's text; COM30 on the PC then reaches
    // the PLC on the panel's COM1 and back, in bursts larger than a frame and the ports' buffers.
    void serialChannelCarriesBytes()
    {
        request("COM3");
        QTRY_COMPARE_WITH_TIMEOUT(tip(), QStringLiteral("Device COM is null!"), 10000);
        QCOMPARE(caption(), QStringLiteral("Connecting Device"));
        closeChannel();

        QSerialPort plc(VirtualPortsManager::portLocation("PLC1"));
        QVERIFY2(plc.open(QIODevice::ReadWrite), qPrintable(plc.errorString()));
        request("COM1");
        QTRY_COMPARE_WITH_TIMEOUT(caption(), QStringLiteral("Success"), 10000);
        // The operator reads where COM30 is; the panel's own device path stays on the panel.
        QCOMPARE(tip(), "COM#COM1 ready -- " + VirtualPortsManager::portLocation("COM30"));
        QVERIFY(m_panel.agent.waitForOutput("serial COM1 (" + VirtualPortsManager::portLocation("PANEL1") + "): open at 19200 8N1"));
        QSerialPort plcSoftware(VirtualPortsManager::portLocation("COM30"));
        QVERIFY2(plcSoftware.open(QIODevice::ReadWrite), qPrintable(plcSoftware.errorString()));

        const QByteArray request = randomBytes(100000);
        plcSoftware.write(request);
        QVERIFY(readAtLeast(plc, request.size()) == request);

        // The engine judges each read from the panel by the tags in it ("COM#", "PLC#"), so
        // data that held them would be taken for messages: this answer holds no '#'.
        const QByteArray answer = randomBytes(100000, 2).replace('#', '$');
        plc.write(answer);
        QVERIFY(readAtLeast(plcSoftware, answer.size()) == answer);
        plcSoftware.close();
        closeChannel();
        QVERIFY(m_panel.agent.waitForOutput("PC disconnected"));
    }

    // A real Modbus master on COM30 asks a simulated RTU slave behind the panel's COM2.
    void modbusMasterReachesRtuSlave()
    {
        const QString mbpoll = QStandardPaths::findExecutable("mbpoll");
        if (mbpoll.isEmpty())
            QSKIP("mbpoll is not installed (Debian package mbpoll)");
        if (m_rtuSlave.state() != QProcess::Running)
            QSKIP("pyserial is not installed (Debian package python3-serial)");

        request("COM2");
        QTRY_COMPARE_WITH_TIMEOUT(caption(), QStringLiteral("Success"), 10000);
        const QString com30 = VirtualPortsManager::portLocation("COM30");
        auto poll = [&](const QStringList &extra) {
            const QStringList rtu{"-m", "rtu", "-b", "19200", "-P", "none", "-a", "1", "-t", "4", "-0", "-1", "-o", "2"};
            const Result master = runWhileServing(mbpoll, rtu + extra, 20000);
            return master.exitCode == 0 ? master.output : "failed: " + master.output;
        };
        QString out = poll({"-r", "0", "-c", "5", com30});
        for (int i = 0; i < 5; ++i)
            QVERIFY2(out.contains(QStringLiteral("[%1]: \t%2\n").arg(i).arg(i * 10)), qPrintable(out));
        out = poll({"-r", "7", com30, "4321"});
        QVERIFY2(out.contains("Written 1 references"), qPrintable(out));
        out = poll({"-r", "6", "-c", "3", com30});
        QVERIFY2(out.contains("[6]: \t60\n") && out.contains("[7]: \t4321\n") && out.contains("[8]: \t80\n"),
                 qPrintable(out));
        closeChannel();
        QByteArray said;
        QTRY_COMPARE_WITH_TIMEOUT((said += m_rtuSlave.readAll()).count("request 01"), 3, 5000);
    }

    void hmiChannelCarriesData()
    {
        request("HMI");
        QCOMPARE(tip(), QStringLiteral("HMI Tunnel is ready. -- 127.0.0.1:12345."));
        LocalClient client;
        QVERIFY(client.connectTo(12345));
        QVERIFY(client.echoes(randomBytes(3 << 20)));
        closeChannel();
    }

    void cleanupTestCase()
    {
        m_rtuSlave.kill();
        m_rtuSlave.waitForFinished(5000);
    }
};

PRIVATE_NETWORK_APP_MAIN(TestChannelEndToEnd, enterPrivateNetwork, QApplication)

#include "tst_channel_e2e.moc"
