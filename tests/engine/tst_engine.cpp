// Guards the engine's channel against hangs, lost reconnections, undersized frame lengths and hostile panels.
#include "Bytes.h"
#include "FakeTunnel.h"
#include "FakeWait.h"
#include "PrivateNetwork.h"
#include "devices/VirtualPortsManager.h"
#include "engine/PLCDownloadPassThrough.h"
#include "framing/TunnelFraming.h"

#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using P = PLCDownloadPassThrough;

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
        const bool came = QTest::qWaitFor([&] { return m_panel->hasPendingConnections(); }, ms);
        return came ? m_panel->nextPendingConnection() : nullptr;
    }
    void makeEngine(P &engine)
    {
        engine.setTunnelClients(FakeTunnel::factory(m_script));
        engine.setEventWait(&m_wait);
        engine.setDeviceSn("SN1");
    }
    // As the window does: the engine's own close request closes the channel, nested.
    static void closeOnRequest(P &engine) { connect(&engine, &P::closeChannal, &engine, &P::disconnectDevice); }
    // Brings an Ethernet-mode engine to DeviceConnecting; returns the panel's end.
    QTcpSocket *connectEthernet(P &engine)
    {
        makeEngine(engine);
        engine.setPcapDevice("eth0");
        engine.connectDevice();
        QTcpSocket *panel = nextPanelConnection();
        if (panel)
            readAtLeast(*panel, 13);
        return QTest::qWaitFor([&] { return engine.state() == P::DeviceConnecting; }, 5000) ? panel : nullptr;
    }

private slots:
    void initTestCase() { SKIP_WITHOUT_PRIVATE_NETWORK(); }
    void init()
    {
        m_script = std::make_shared<TunnelScript>();
        m_wait = FakeWait();
        m_panel.reset(new QTcpServer);
        QVERIFY(m_panel->listen(QHostAddress::LocalHost, P::kTunnelPort));
    }

    // The Ethernet channel from connection to close. A panel that first sends junk, or an
    // announcement without an IP, is timed out once, not taken for ready; its late good
    // answer still completes the channel.
    void ethernetChannel()
    {
        QList<int> states; // outlives the engine, which reports its last state as it goes
        P engine;
        engine.setConnectTimeout(300);
        connect(&engine, &P::stateChanged, this, [&](P::State s) { states << s; });
        QSignalSpy messages(&engine, &P::message);
        QSignalSpy macIp(&engine, &P::sendPcpMacIpAddr);
        QTcpSocket *panel = connectEthernet(engine);
        QVERIFY(panel);
        QCOMPARE(states, (QList<int>{1, 3, 2}));
        QVERIFY(m_wait.waits.isEmpty()); // tunnel already running: no wait
        QCOMPARE(m_script->calls, (QStringList{"SetDevId SN1", "TunnelState", "ConnectDelHmi", "ConnectAddHmi"}));

        panel->write(randomBytes(1 << 20, 7));
        panel->write("PCPMACIP#x#");
        QTRY_VERIFY_WITH_TIMEOUT(messages.size() >= 2, 5000);
        QCOMPARE(messages.last().at(0).toString(), QStringLiteral("2"));
        QVERIFY(!messages.wait(400)); // the timer is single-shot
        QCOMPARE(macIp.size(), 0);
        QCOMPARE(engine.state(), P::DeviceConnecting);

        panel->write("PCPMACIP#00:11:22:33:44:55#192.168.1.10"); // its last '#' may never come
        QVERIFY(macIp.wait(5000));
        QCOMPARE(macIp.first(), (QVariantList{"00:11:22:33:44:55", "192.168.1.10"}));
        QCOMPARE(engine.state(), P::DeviceReady);
        QCOMPARE(engine.connectDevice(), false); // already connected

        // Frames both ways.
        QList<QByteArray> injected, oneByOne;
        connect(&engine, &P::framesToPcap, this, [&](const QVector<QByteArray> &frames) { injected << frames.toList(); });
        connect(&engine, &P::sendDatatoPcap, this,
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
        const int burst = int(3 * P::kMaxUnsentFrameBytes / big.size());
        const int fits = int(P::kMaxUnsentFrameBytes / big.size()) + 1;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("tunnel not keeping up, frames dropped 1$"));
        // One line for the write that carries them all; its label ends in two blanks.
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("pcapSockeTunnelWrite _socketTunnel sendsize ==   %1")
                                                         .arg(fits * big.size())));
        for (int i = 0; i < burst; ++i)
            engine.pcapSockeTunnelWrite(QByteArray(big).replace(4, 8, QByteArray::number(10000000 + i)));
        const QByteArray carried = readAtLeast(*panel, fits * big.size());
        QCOMPARE(carried.size(), fits * big.size());
        QVERIFY(carried.mid((fits - 1) * big.size() + 4, 8) == QByteArray::number(10000000 + fits - 1));
        engine.pcapSockeTunnelWrite("PCP#frameEND#");
        QCOMPARE(readAtLeast(*panel, 13), QByteArray("PCP#frameEND#"));

        closeOnRequest(engine);
        engine.setStopReconnect(true);
        engine.disconnectDevice();
        QCOMPARE(readAtLeast(*panel, 14), QByteArray("PLC#disconnect"));
        QCOMPARE(engine.state(), P::Idle);
        QVERIFY(states.contains(P::Disconnecting));
    }

    // A tunnel that will not start ("1") or a forwarding that fails ("0") is reported and
    // closed, without a connection.
    void tunnelStartOrForwardingFails()
    {
        m_script->state = 1;
        m_script->start = 7;
        for (const char *expected : {"1", "0"}) {
            P engine;
            makeEngine(engine);
            QSignalSpy messages(&engine, &P::message);
            QSignalSpy closes(&engine, &P::closeChannal);
            engine.setPcapDevice("eth0");
            QVERIFY(engine.connectDevice());
            QCOMPARE(messages.size(), 1);
            QCOMPARE(messages.first().at(0).toString(), QString(expected));
            QCOMPARE(closes.size(), 1);
            QCOMPARE(engine.state(), P::NetworkConnecting);
            m_script->state = 0; // next round: the tunnel runs, the forwarding fails
            m_script->add = 10;
        }
        QVERIFY(!m_panel->hasPendingConnections());
    }

    // A tunnel that is not running is started and waited for; a dropped tunnel socket is
    // reconnected after the wait; the operator's close during that wait cancels the reconnection.
    void tunnelStartedAndSocketReconnectedUnlessClosedMeanwhile()
    {
        m_script->state = 1;
        P engine;
        QSignalSpy messages(&engine, &P::message);
        QTcpSocket *panel = connectEthernet(engine);
        QVERIFY(panel);
        QCOMPARE(m_wait.waits, QList<int>{2000});
        QVERIFY(m_script->calls.contains("StarTunnel"));
        closeOnRequest(engine);
        panel->disconnectFromHost();
        QTcpSocket *again = nextPanelConnection();
        QVERIFY(again);
        QCOMPARE(m_wait.waits, (QList<int>{2000, 10000}));
        QVERIFY(messages.contains(QVariantList{"Tunnel socket is disconnected!"}));
        QCOMPARE(readAtLeast(*again, 13), QByteArray("COM#PCAP#eth0"));

        m_wait.during = [&](int) { engine.setStopReconnect(true); engine.disconnectDevice(); };
        const int callsBefore = m_script->calls.size();
        again->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(m_wait.waits.size(), 3, 5000);
        QCOMPARE(m_script->calls.size(), callsBefore); // no new forwarding was asked for
        QCOMPARE(engine.state(), P::Idle);
        QVERIFY(!nextPanelConnection(100));
    }

    // The serial mode over a real pair of virtual ports, made through the pair library found
    // beside the executable: the PLC software's side is COM30.
    void serialChannel()
    {
        QTemporaryDir ports;
        qputenv("TALVO_VSERIAL_DIR", ports.path().toLocal8Bit());
        P engine;
        makeEngine(engine);
        engine.setComPort("COM2");
        QVERIFY(engine.connectDevice());
        QTcpSocket *panel = nextPanelConnection();
        QVERIFY(panel);
        // The port announcement was written while connecting, so it goes first.
        QCOMPARE(readAtLeast(*panel, 17), QByteArray("COM#COM2COM#PCAP#"));
        QCOMPARE(engine.state(), P::DeviceConnecting);
        panel->write("COM#COM2 ready 9600");
        QTRY_COMPARE_WITH_TIMEOUT(engine.state(), P::DeviceReady, 5000);

        QSerialPort plcSoftware(VirtualPortsManager::portLocation("COM30"));
        QVERIFY2(plcSoftware.open(QIODevice::ReadWrite), qPrintable(plcSoftware.errorString()));
        QVERIFY(plcSoftware.setBaudRate(250000)); // non-standard, and not the engine's end's rate
        plcSoftware.write(QByteArray("\x01\x03\x00", 3));
        QCOMPARE(readAtLeast(*panel, 15), QByteArray("PLC#SK010003\x01\x03\x00", 15));
        panel->write("PLC#\x05\x06");
        QVERIFY(QTest::qWaitFor([&] { return plcSoftware.bytesAvailable() >= 2 || plcSoftware.waitForReadyRead(10); }, 5000));
        QCOMPARE(plcSoftware.readAll(), QByteArray("\x05\x06"));

        closeOnRequest(engine);
        engine.setStopReconnect(true);
        engine.disconnectDevice();
        QVERIFY(!QFile::exists(VirtualPortsManager::portLocation("COM31"))); // the pair is gone
        qunsetenv("TALVO_VSERIAL_DIR");
    }
};

PRIVATE_NETWORK_TEST_MAIN_WITH(TestEngine, enterPrivateNetwork)
#include "tst_engine.moc"
