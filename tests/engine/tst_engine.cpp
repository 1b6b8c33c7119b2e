// Guards the engine's channel against hangs, lost reconnections, undersized frame lengths and hostile panels.
#include "Bytes.h"
#include "FakeTunnel.h"
#include "FakeWait.h"
#include "PrivateNetwork.h"
#include "engine/PLCDownloadPassThrough.h"
#include "framing/TunnelFraming.h"

#include "devices/VirtualPortsManager.h"

#include <QSerialPort>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using State = PLCDownloadPassThrough::State;
Q_DECLARE_METATYPE(PLCDownloadPassThrough::State)

// The engine's life cycle against a stand-in for the panel's pass-through service on the
// fixed port, in a network of the test's own.
class TestEngine : public QObject
{
    Q_OBJECT

    std::shared_ptr<TunnelScript> m_script;
    FakeWait m_wait;
    QScopedPointer<QTcpServer> m_panel;

    // Both ends live on this thread: wait with the event loop running, never blocking it.
    QTcpSocket *nextPanelConnection(int ms = 5000)
    {
        if (!QTest::qWaitFor([&] { return m_panel->hasPendingConnections(); }, ms))
            return nullptr;
        return m_panel->nextPendingConnection();
    }
    void makeEngine(PLCDownloadPassThrough &engine)
    {
        engine.setTunnelClients(FakeTunnel::factory(m_script));
        engine.setEventWait(&m_wait);
        engine.setDeviceSn("SN1");
    }
    static QList<int> states(const QSignalSpy &spy)
    {
        QList<int> list;
        for (const auto &args : spy)
            list << args.at(0).toInt();
        return list;
    }
    // Brings an Ethernet-mode engine to DeviceConnecting; returns the panel's end.
    QTcpSocket *connectEthernet(PLCDownloadPassThrough &engine)
    {
        makeEngine(engine);
        engine.setPcapDevice("eth0");
        engine.connectDevice();
        QTcpSocket *panel = nextPanelConnection();
        if (panel)
            readAtLeast(*panel, 13);
        const bool connecting = QTest::qWaitFor(
            [&] { return engine.state() == PLCDownloadPassThrough::DeviceConnecting; }, 5000);
        return connecting ? panel : nullptr;
    }

private slots:
    void initTestCase()
    {
        SKIP_WITHOUT_PRIVATE_NETWORK();
        qRegisterMetaType<PLCDownloadPassThrough::State>();
    }
    void init()
    {
        m_script = std::make_shared<TunnelScript>();
        m_wait.waits.clear();
        m_wait.during = nullptr;
        m_panel.reset(new QTcpServer);
        QVERIFY(m_panel->listen(QHostAddress::LocalHost, PLCDownloadPassThrough::kTunnelPort));
    }

    void ethernetChannelToDeviceReady()
    {
        PLCDownloadPassThrough engine;
        QSignalSpy stateSpy(&engine, &PLCDownloadPassThrough::stateChanged);
        QSignalSpy macIp(&engine, &PLCDownloadPassThrough::sendPcpMacIpAddr);
        QTcpSocket *panel = connectEthernet(engine);
        QVERIFY(panel);
        QCOMPARE(states(stateSpy), (QList<int>{1, 3, 2}));
        QVERIFY(m_wait.waits.isEmpty()); // tunnel already running: no wait
        QCOMPARE(m_script->calls, (QStringList{"SetDevId SN1", "TunnelState", "ConnectDelHmi", "ConnectAddHmi"}));

        panel->write("PCPMACIP#00:11:22:33:44:55#192.168.1.10#");
        QVERIFY(macIp.wait(5000));
        QCOMPARE(macIp.first().at(0).toString(), QStringLiteral("00:11:22:33:44:55"));
        QCOMPARE(macIp.first().at(1).toString(), QStringLiteral("192.168.1.10"));
        QCOMPARE(int(engine.state()), int(PLCDownloadPassThrough::DeviceReady));

        QCOMPARE(engine.connectDevice(), false); // already connected

        // Frames both ways.
        QList<QByteArray> injected, oneByOne;
        connect(&engine, &PLCDownloadPassThrough::framesToPcap, this,
                [&](const QVector<QByteArray> &frames) { injected << frames.toList(); });
        connect(&engine, &PLCDownloadPassThrough::sendDatatoPcap, this,
                [&](unsigned char *buf, int len) { oneByOne << QByteArray(reinterpret_cast<char *>(buf), len); });
        std::string nine;
        for (int i = 0; i < 9; ++i) {
            const std::string frame(64, char('a' + i)); // of no type whose length is known
            framing::appendEthernetEnvelope(nine, reinterpret_cast<const unsigned char *>(frame.data()), frame.size());
        }
        panel->write(nine.data(), qint64(nine.size()));
        QTRY_COMPARE_WITH_TIMEOUT(injected.size(), 9, 5000);
        QCOMPARE(injected.last(), QByteArray(64, 'i'));
        QCOMPARE(oneByOne, injected); // the one-frame signal carries the same, in order

        engine.pcapSockeTunnelWrite("PCP#frameEND#");
        QCOMPARE(readAtLeast(*panel, 13), QByteArray("PCP#frameEND#"));

        // A burst larger than the tunnel may hold in one turn: what fits the bound leaves,
        // whole and in order, the rest is dropped and reported, nothing grows past it.
        const QByteArray big = "PCP#" + QByteArray(1514, 'f') + "END#";
        const int burst = int(3 * PLCDownloadPassThrough::kMaxUnsentFrameBytes / big.size());
        const int fits = int(PLCDownloadPassThrough::kMaxUnsentFrameBytes / big.size()) + 1;
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("tunnel not keeping up, frames dropped 1$"));
        // One line for the write that carries them all; its label ends in two blanks.
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("pcapSockeTunnelWrite _socketTunnel sendsize ==   %1")
                                                         .arg(fits * big.size())));
        for (int i = 0; i < burst; ++i) {
            QByteArray frame = big;
            frame.replace(4, 8, QByteArray::number(10000000 + i));
            engine.pcapSockeTunnelWrite(frame);
        }
        const QByteArray carried = readAtLeast(*panel, fits * big.size());
        QCOMPARE(carried.size(), fits * big.size());
        QVERIFY(carried.mid((fits - 1) * big.size() + 4, 8) == QByteArray::number(10000000 + fits - 1));
        engine.pcapSockeTunnelWrite("PCP#frameEND#");
        QCOMPARE(readAtLeast(*panel, 13), QByteArray("PCP#frameEND#"));

        // As the window does: the engine's own close request closes it once more, nested.
        connect(&engine, &PLCDownloadPassThrough::closeChannal, &engine, &PLCDownloadPassThrough::disconnectDevice);
        engine.setStopReconnect(true);
        engine.disconnectDevice();
        QCOMPARE(readAtLeast(*panel, 14), QByteArray("PLC#disconnect"));
        QCOMPARE(int(engine.state()), int(PLCDownloadPassThrough::Idle));
        QVERIFY(states(stateSpy).contains(int(PLCDownloadPassThrough::Disconnecting)));
    }

    void tunnelStartAndForwardingFailures()
    {
        {
            m_script->state = 1; // not running, start works: one wait of 2000 ms
            PLCDownloadPassThrough engine;
            QVERIFY(connectEthernet(engine));
            QCOMPARE(m_wait.waits, QList<int>{2000});
            QVERIFY(m_script->calls.contains("StarTunnel"));
        }
        m_script = std::make_shared<TunnelScript>();
        m_script->state = 1;
        m_script->start = 7;
        for (const char *expected : {"1", "0"}) {
            PLCDownloadPassThrough engine;
            makeEngine(engine);
            QSignalSpy messages(&engine, &PLCDownloadPassThrough::message);
            QSignalSpy closes(&engine, &PLCDownloadPassThrough::closeChannal);
            engine.setPcapDevice("eth0");
            QVERIFY(engine.connectDevice());
            QCOMPARE(messages.size(), 1);
            QCOMPARE(messages.first().at(0).toString(), QString(expected));
            QCOMPARE(closes.size(), 1);
            QCOMPARE(int(engine.state()), int(PLCDownloadPassThrough::NetworkConnecting));
            m_script->state = 0; // next round: the tunnel runs, the forwarding fails
            m_script->add = 10;
        }
        QVERIFY(!m_panel->hasPendingConnections());
    }

    // A panel that sends junk, or an announcement without an IP, is timed out once, not
    // taken for ready; a late good answer still completes the channel.
    void hostileOrSilentPanel()
    {
        PLCDownloadPassThrough engine;
        engine.setConnectTimeout(300);
        QSignalSpy messages(&engine, &PLCDownloadPassThrough::message);
        QTcpSocket *panel = connectEthernet(engine);
        QVERIFY(panel);
        QSignalSpy macIp(&engine, &PLCDownloadPassThrough::sendPcpMacIpAddr);
        panel->write(randomBytes(1 << 20, 7));
        panel->write("PCPMACIP#x#");
        QTRY_VERIFY_WITH_TIMEOUT(messages.size() >= 2, 5000);
        QCOMPARE(messages.last().at(0).toString(), QStringLiteral("2"));
        QVERIFY(!messages.wait(400)); // the timer is single-shot
        QCOMPARE(macIp.size(), 0);
        QCOMPARE(int(engine.state()), int(PLCDownloadPassThrough::DeviceConnecting));

        panel->write("PCPMACIP#aa#1.2.3.4");
        QTRY_COMPARE_WITH_TIMEOUT(int(engine.state()), int(PLCDownloadPassThrough::DeviceReady), 5000);
    }

    void droppedSocketReconnects()
    {
        PLCDownloadPassThrough engine;
        QSignalSpy messages(&engine, &PLCDownloadPassThrough::message);
        QTcpSocket *panel = connectEthernet(engine);
        QVERIFY(panel);
        // The window closes the channel when asked; do the same here.
        connect(&engine, &PLCDownloadPassThrough::closeChannal, &engine, &PLCDownloadPassThrough::disconnectDevice);
        panel->disconnectFromHost();
        QTcpSocket *again = nextPanelConnection();
        QVERIFY(again);
        QCOMPARE(m_wait.waits, QList<int>{10000});
        QVERIFY(std::any_of(messages.begin(), messages.end(),
                            [](const QList<QVariant> &m) { return m.at(0) == "Tunnel socket is disconnected!"; }));
        QCOMPARE(readAtLeast(*again, 13), QByteArray("COM#PCAP#eth0"));
    }

    // The operator's close during the reconnection wait cancels the reconnection.
    void closeDuringTheWaitCancelsReconnection()
    {
        PLCDownloadPassThrough engine;
        QTcpSocket *panel = connectEthernet(engine);
        QVERIFY(panel);
        connect(&engine, &PLCDownloadPassThrough::closeChannal, &engine, &PLCDownloadPassThrough::disconnectDevice);
        m_wait.during = [&](int) { engine.setStopReconnect(true); engine.disconnectDevice(); };
        const int callsBefore = m_script->calls.size();
        panel->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(m_wait.waits.size(), 1, 5000);
        QCOMPARE(m_script->calls.size(), callsBefore); // no new forwarding was asked for
        QCOMPARE(int(engine.state()), int(PLCDownloadPassThrough::Idle));
        QVERIFY(!nextPanelConnection(100));
    }

    // The serial mode over a real pair of virtual ports, made through the pair library found
    // beside the executable: the PLC software's side is COM30.
    void serialChannel()
    {
        QTemporaryDir ports;
        qputenv("TALVO_VSERIAL_DIR", ports.path().toLocal8Bit());
        PLCDownloadPassThrough engine;
        makeEngine(engine);
        engine.setComPort("COM2");
        QVERIFY(engine.connectDevice());
        QTcpSocket *panel = nextPanelConnection();
        QVERIFY(panel);
        // The port announcement was written while connecting, so it goes first.
        QCOMPARE(readAtLeast(*panel, 17), QByteArray("COM#COM2COM#PCAP#"));
        QCOMPARE(int(engine.state()), int(PLCDownloadPassThrough::DeviceConnecting));
        panel->write("COM#COM2 ready 9600");
        QTRY_COMPARE_WITH_TIMEOUT(int(engine.state()), int(PLCDownloadPassThrough::DeviceReady), 5000);

        QSerialPort plcSoftware(VirtualPortsManager::portLocation("COM30"));
        QVERIFY2(plcSoftware.open(QIODevice::ReadWrite), qPrintable(plcSoftware.errorString()));
        QVERIFY(plcSoftware.setBaudRate(250000)); // non-standard, and not the engine's end's rate
        plcSoftware.write(QByteArray("\x01\x03\x00", 3));
        QCOMPARE(readAtLeast(*panel, 15), QByteArray("PLC#SK010003\x01\x03\x00", 15));

        panel->write("PLC#\x05\x06");
        QVERIFY(QTest::qWaitFor([&] { return plcSoftware.bytesAvailable() >= 2 || plcSoftware.waitForReadyRead(10); }, 5000));
        QCOMPARE(plcSoftware.readAll(), QByteArray("\x05\x06"));

        connect(&engine, &PLCDownloadPassThrough::closeChannal, &engine, &PLCDownloadPassThrough::disconnectDevice);
        engine.setStopReconnect(true);
        engine.disconnectDevice();
        QVERIFY(!QFile::exists(VirtualPortsManager::portLocation("COM31"))); // the pair is gone
        qunsetenv("TALVO_VSERIAL_DIR");
    }
};

PRIVATE_NETWORK_TEST_MAIN_WITH(TestEngine, enterPrivateNetwork)
#include "tst_engine.moc"
