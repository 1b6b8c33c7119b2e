// The Windows build of the tool under Wine, with the peers on Linux: the real relay, agent,
// a Modbus TCP PLC, a Modbus RTU slave on the panel's serial port, and Linux's own Modbus
// master, reaching them through what the Windows tool opened. COM30/COM31 of the Wine
// prefix are a Linux pseudo-terminal pair.
#include "Bytes.h"
#include "RealPanel.h"
#include "WindowTest.h"
#include "base/AppDir.h"
#include "devices/VirtualPortsManager.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTcpSocket>

class TestWineChannels : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QTemporaryDir m_ports;
    QProcess m_rtuSlave, m_plc, m_tool;
    QByteArray m_said;
    RealPanel m_panel;
    EchoServer m_configService;

    // Sends a command to the Windows tool and waits for its answer line.
    // Wine's console ends lines with CR LF.
    QByteArray said() { return m_tool.readAllStandardOutput().replace('\r', ""); }
    QString command(const QByteArray &line, const QByteArray &answer, int ms = 30000)
    {
        m_said.clear();
        m_tool.write(line + "\n");
        int at = -1;
        (void)QTest::qWaitFor([&] { m_said += said(); return (at = m_said.indexOf(answer)) >= 0 && m_said.indexOf('\n', at) > 0; }, ms);
        return at < 0 ? "(no answer: " + m_said + m_tool.readAllStandardError() + ")"
                      : QString::fromUtf8(m_said.mid(at + answer.size(), m_said.indexOf('\n', at) - at - answer.size()))
                            .trimmed();
    }

private slots:
    void initTestCase()
    {
        SKIP_WITHOUT_PRIVATE_NETWORK();
        const QString out = TALVO_WINDOWS_OUT, prefix = m_dir.path() + "/prefix";
        QVERIFY2(QFile::exists(out + "/wine_channel.exe"), qPrintable(out));
        QVERIFY2(QFile::exists(TALVO_WINE_PREFIX "/system.reg"), "no Wine prefix: the wine_prefix fixture did not run");
        // Wine makes its sockets in the prefix's wineserver: a prefix of our own starts one
        // in this private network, where the relay and the agent are.
        QCOMPARE(QProcess::execute("cp", {"-a", TALVO_WINE_PREFIX, prefix}), 0);
        qputenv("WINEPREFIX", prefix.toLocal8Bit());
        qputenv("WINEDEBUG", "-all");
        AppDir::setOverride(m_dir.path());
        qputenv("TALVO_VSERIAL_DIR", m_ports.path().toLocal8Bit());
        QVERIFY(VirtualPortsManager::createPair("PANEL1", "PLC1"));
        QVERIFY(VirtualPortsManager::createPair("PANEL2", "PLC2"));
        QVERIFY(VirtualPortsManager::createPair("COM30", "COM31"));
        // Wine maps COMn to whatever dosdevices/comn links to.
        for (const char *com : {"com30", "com31"}) {
            const QString link = prefix + "/dosdevices/" + com;
            QFile::remove(link);
            QVERIFY(QFile::link(VirtualPortsManager::portLocation(QString(com).toUpper()), link));
        }
        m_rtuSlave.start("/usr/bin/python3", {TALVO_SIM_DIR "/rtu_slave.py", VirtualPortsManager::portLocation("PLC1"),
                                              "--baud", "19200"});
        QVERIFY(QTest::qWaitFor([&] { return m_rtuSlave.canReadLine(); }, 10000));
        const quint16 plcPort = freePort();
        m_plc.start("/usr/bin/python3", {TALVO_SIM_DIR "/plc_sim.py", "tcp", QStringLiteral("127.0.0.1:%1").arg(plcPort)});
        QVERIFY(m_plc.waitForStarted());
        m_panel.start(m_dir.path(),
                      {QStringLiteral("127.0.0.1:12345=127.0.0.1:%1").arg(m_configService.serverPort()),
                       QStringLiteral("192.168.1.10:11740=127.0.0.1:%1").arg(plcPort), "[passthrough]",
                       "COM1=" + VirtualPortsManager::portLocation("PANEL1"), "COM1.baud=19200",
                       "COM2=" + VirtualPortsManager::portLocation("PANEL2"), "COM2.baud=19200"});
        m_panel.writeToolConfig(m_dir.path());

        m_tool.setWorkingDirectory(m_dir.path());
        m_tool.start(TALVO_WINE64, {out + "/wine_channel.exe"});
        QVERIFY2(QTest::qWaitFor([&] { return (m_said += said()).contains("ready\n"); }, 90000),
                 qPrintable(m_said + m_tool.readAllStandardError()));
    }

    void hmiChannelCarriesData()
    {
        QCOMPARE(command("open HMI", "opened "), QStringLiteral("Success|HMI Tunnel is ready. -- 127.0.0.1:12345."));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, 12345);
        QVERIFY(client.waitForConnected(5000));
        const QByteArray sent = randomBytes(1024 * 1024);
        client.write(sent);
        QVERIFY(readAtLeast(client, sent.size(), 30000) == sent);
        QCOMPARE(command("close", "closed"), QString());
    }

    // Linux's Modbus master reaches a TCP PLC through the PLC channel, and an RTU slave
    // through the COM channel: the engine's COM31 is Wine's serial port over a
    // pseudo-terminal, the master uses COM30. Register i holds (i + first) * 10: pymodbus's
    // blocks are one off from the wire's addresses, the RTU slave's are not.
    void modbusMasterReachesPlc_data()
    {
        QTest::addColumn<QByteArray>("channel");
        QTest::addColumn<QString>("link"); // mbpoll's options for it
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("first");
        QTest::newRow("TCP PLC") << QByteArray("PLC") << "-m tcp -p 11740" << "127.0.0.1" << 1;
        QTest::newRow("RTU slave through COM")
            << QByteArray("COM1") << "-m rtu -b 19200 -P none -o 2" << VirtualPortsManager::portLocation("COM30") << 0;
    }
    void modbusMasterReachesPlc()
    {
        QFETCH(QByteArray, channel);
        QFETCH(QString, link);
        QFETCH(QString, device);
        QFETCH(int, first);
        QCOMPARE(command("open " + channel, "opened ").section('|', 0, 0), QStringLiteral("Success"));
        const Result r = runWhileServing(QStandardPaths::findExecutable("mbpoll"),
                                         (link + " -a 1 -t 4 -0 -1 -r 0 -c 5").split(' ') << device, 30000);
        for (int i = 0; i < 5; ++i)
            QVERIFY2(r.exitCode == 0 && r.output.contains(QStringLiteral("[%1]: \t%2\n").arg(i).arg((i + first) * 10)),
                     qPrintable(r.output));
        QCOMPARE(command("close", "closed"), QString());
    }

    // Bursts larger than the Windows port's reads and than one overlapped write, both ways.
    void comChannelCarriesBursts()
    {
        QSerialPort plc, plcSoftware;
        plc.setPortName(VirtualPortsManager::portLocation("PLC2"));
        plcSoftware.setPortName(VirtualPortsManager::portLocation("COM30"));
        QVERIFY(plc.open(QIODevice::ReadWrite));
        QCOMPARE(command("open COM2", "opened ").section('|', 0, 0), QStringLiteral("Success"));
        QVERIFY(plcSoftware.open(QIODevice::ReadWrite));
        const QByteArray request = randomBytes(20000, 1);
        const QByteArray answer = randomBytes(20000, 2).replace('#', '$'); // no '#': the engine reads tags
        plcSoftware.write(request);
        QVERIFY(readAtLeast(plc, request.size(), 30000) == request);
        plc.write(answer);
        QVERIFY(readAtLeast(plcSoftware, answer.size(), 30000) == answer);
        plcSoftware.close();
        QCOMPARE(command("close", "closed"), QString());
    }

    void cleanupTestCase()
    {
        m_tool.write("quit\n");
        if (!m_tool.waitForFinished(15000))
            m_tool.kill();
        QProcess::execute(QFileInfo(TALVO_WINE64).absolutePath() + "/wineserver", {"-k"});
        for (QProcess *p : {&m_rtuSlave, &m_plc}) {
            p->kill();
            p->waitForFinished(5000);
        }
    }
};

PRIVATE_NETWORK_APP_MAIN(TestWineChannels, enterPrivateNetwork, QApplication)

#include "tst_wine_channels.moc"
