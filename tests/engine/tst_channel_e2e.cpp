#include "FakeBridge.h"
#include "FakeWait.h"
#include "TunnelFixture.h"
#include "app/AppDir.h"
#include "window/PLCDownloadAssistant.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <QtTest>

namespace {
QString g_noNetwork;
}

// The window's channels end to end: the real tunnel library, relay and panel agent (with
// its pass-through service), in a network of the test's own for the fixed ports.
class TestChannelEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QScopedPointer<RelayFixture> m_relay;
    ToolProcess m_agent;
    EchoServer m_configService;
    BridgeLog m_bridgeLog;
    QScopedPointer<PCapOperator> m_bridge;
    FakeWait m_wait;
    QScopedPointer<PLCDownloadAssistant> m_w;

    template <typename T> T *child(const char *name) { return m_w->findChild<T *>(QLatin1String(name)); }
    QString caption() { return child<QPushButton>("pushButtonCreateChannel")->text(); }
    QString tip() { return child<QLabel>("labelTip")->text(); }
    void request(const QString &type)
    {
        child<QLineEdit>("lineEditDeviceSn")->setText("SN1");
        child<QComboBox>("comboBox_pcap")->setCurrentText(type);
        QTest::mouseClick(child<QPushButton>("pushButtonCreateChannel"), Qt::LeftButton);
    }
    void close() { QTest::mouseClick(child<QPushButton>("pushButtonDisConnectChannel"), Qt::LeftButton); }

private slots:
    void initTestCase()
    {
        if (!g_noNetwork.isEmpty())
            QSKIP(qPrintable(g_noNetwork));
        AppDir::setOverride(m_dir.path());
        QVERIFY(QDir::setCurrent(m_dir.path())); // demoTunnel.cfg is read from here
        m_relay.reset(new RelayFixture(m_dir.path()));
        QVERIFY(m_relay->start());
        QVERIFY(m_configService.isListening());
        const QString agentConfig = writePanelConfig(
            m_dir.path(), "panel.ini", "SN1", "secret-1", m_relay->port(), m_relay->fingerprint(),
            {QStringLiteral("127.0.0.1:12345=127.0.0.1:%1").arg(m_configService.serverPort()),
             "[passthrough]", "announce-mac=02:54:56:00:04:12", "announce-ip=192.168.1.20"});
        QVERIFY(m_agent.start(kPanelBinary, agentConfig));
        QVERIFY(m_agent.waitForOutput("registered"));
        writeTunnelConfig(m_dir.filePath("demoTunnel.cfg"), m_relay->port(), m_relay->fingerprint(), "token-a");

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
        QCOMPARE(tip(), QStringLiteral("Please operate on PLC software"));
        close();
        QCOMPARE(caption(), QStringLiteral("Start Tunnel"));
        QCOMPARE(m_bridgeLog.removals, 1);
        QVERIFY(m_agent.waitForOutput("PC disconnected"));
    }

    void serialPortNotOnThePanel()
    {
        request("COM3"); // not configured on the panel
        QTRY_COMPARE_WITH_TIMEOUT(tip(), QStringLiteral("Device COM is null!"), 10000);
        QCOMPARE(caption(), QStringLiteral("Connecting Device"));
        close();
    }

    void hmiChannelCarriesData()
    {
        request("HMI");
        QCOMPARE(tip(), QStringLiteral("HMI Tunnel is ready. -- 127.0.0.1:12345."));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, 12345);
        QVERIFY(client.waitForConnected(5000));
        QByteArray sent(3 * 1024 * 1024, Qt::Uninitialized);
        for (int i = 0; i < sent.size(); ++i)
            sent[i] = char(i * 7 + i / 251);
        client.write(sent);
        QByteArray got;
        QVERIFY(QTest::qWaitFor([&] { got += client.readAll(); return got.size() >= sent.size(); }, 20000));
        QVERIFY(got == sent);
        close();
    }
};

int main(int argc, char *argv[])
{
    g_noNetwork = enterPrivateNetwork(); // before any thread exists
    QApplication app(argc, argv);
    TestChannelEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_channel_e2e.moc"
