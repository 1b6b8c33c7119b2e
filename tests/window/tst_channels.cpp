// Guards the create button against wrong tunnel calls, wrong tips and calls for refused requests.
#include "FakeBoxes.h"
#include "FakeBridge.h"
#include "FakeTunnel.h"
#include "FakeWait.h"
#include "Files.h"
#include "WindowTest.h"
#include "base/AppDir.h"
#include "window/Installers.h"

// The tunnel is played by fakes that write down every call.
class TestChannels : public WindowTest
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::shared_ptr<TunnelScript> m_script;
    FakeWait m_wait;
    FakeBoxes m_boxes;

private slots:
    void initTestCase() { AppDir::setOverride(m_dir.path()); }
    void init()
    {
        m_script = std::make_shared<TunnelScript>();
        m_wait.waits.clear();
        m_boxes.answers.clear();
        m_boxes.asked.clear();
        m_w.reset(new PLCDownloadAssistant);
        m_w->setTunnelClients(FakeTunnel::factory(m_script));
        m_w->setEventWait(&m_wait);
        m_w->setMessageBoxes(&m_boxes);
    }

    void forwardedEndpoints_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("add");
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QString>("caption");
        QTest::newRow("hmi cn") << 1 << "HMI" << 0
                                << "建立HMI通道成功，请在PANELDESK使用127.0.0.1:12345地址进行操作。" << "HMI已准备就绪";
        QTest::newRow("hmi fails en") << 0 << "HMI" << 10 << "Initialization failed!Check the network." << "Start Tunnel";
        QTest::newRow("vnc en") << 0 << "VNC" << 0 << "VNC tunnel is ready" << "Success";
        QTest::newRow("vnc fails cn") << 1 << "VNC" << 9 << "建立VNC通道失败 9，请检查网络。" << "创建下载通道";
        QTest::newRow("plc en") << 0 << "PLC" << 0
                                << "Connect successfully，Please input 127.0.0.1:11740(NV Serial node) on PLC software."
                                << "Success";
        QTest::newRow("plc fails en") << 0 << "PLC" << 10 << "Connect PLC Failed, Please check network." << "Start Tunnel";
    }
    void forwardedEndpoints()
    {
        QFETCH(int, language);
        QFETCH(QString, type);
        QFETCH(int, add);
        QFETCH(QString, tip);
        QFETCH(QString, caption);
        m_w->changeLanguage(language);
        m_script->add = add;
        request(type);
        QCOMPARE(this->tip(), tip);
        QCOMPARE(this->caption(), caption);
        const QString port = type == "HMI" ? "12345" : type == "VNC" ? "7530" : "11740";
        const QString ends = (type == "PLC" ? "192.168.1.10:" : "127.0.0.1:") + port + " 127.0.0.1:" + port;
        QCOMPARE(m_script->calls, (QStringList{"SetDevId SN1", "TunnelState", "ConnectDel " + ends, "ConnectAdd " + ends}));
    }

    // A request while a channel is open makes no call, not even the SN's check; after the
    // close the same forwarding is removed and added again. The VNC viewer opens on Yes only.
    void busyUntilClosedAndVncViewerOnYes()
    {
        request("VNC"); // no answer given: No
        QCOMPARE(m_boxes.asked, QStringList{"Open VNC|建立VNC通道成功,是否打开VNC监控程序？"});
        const int calls = m_script->calls.size();
        request("VNC", "");
        QCOMPARE(m_script->calls.size(), calls);
        QVERIFY(tip() != "设备序列号为空");

        closeChannel();
        QCOMPARE(tip(), QString());
        QCOMPARE(caption(), QStringLiteral("创建下载通道"));
        m_boxes.answers = {QMessageBox::Yes};
        request("VNC");
        QCOMPARE(m_script->calls.mid(calls).filter("Connect").size(), 2);
        QCOMPARE(m_script->calls.filter("OpenVnc"), QStringList{"OpenVnc 127.0.0.1:7530"});
    }

    void tunnelStartedFirst()
    {
        m_script->state = 1;
        request("HMI");
        QCOMPARE(m_wait.waits, QList<int>{2000});
        QVERIFY(m_script->calls.contains("StarTunnel"));

        init();
        m_script->state = 1;
        m_script->start = -1;
        m_w->changeLanguage(0);
        request("PLC");
        QCOMPARE(tip(), QStringLiteral("Initialization failed!"));
        QVERIFY(m_wait.waits.isEmpty());
        QVERIFY(m_script->calls.filter("Connect").isEmpty());
        request("PLC"); // still busy: the operator closes first
        QCOMPARE(m_script->calls.filter("StarTunnel").size(), 1);
    }

    // What the bridge needs and lacks is offered; an installer that is missing, fails or
    // succeeds says so on the tip line instead of leaving the operator waiting.
    void ethernetPrerequisitesAreReported_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("tipStart");
        QTest::newRow("missing") << QByteArray() << "无法启动";
        QTest::newRow("fails") << QByteArray("#!/bin/sh\necho 'setup-adapter: needs root' >&2\nexit 1\n")
                               << "setup-adapter: needs root";
        QTest::newRow("succeeds") << QByteArray("#!/bin/sh\nexit 0\n") << "桥接网卡已设置好";
    }
    void ethernetPrerequisitesAreReported()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, tipStart);
        QTemporaryDir folder;
        if (!script.isEmpty()) {
            QVERIFY(saveFile(folder.filePath("setup-adapter"), script));
            QFile::setPermissions(folder.filePath("setup-adapter"), QFile::ReadOwner | QFile::ExeOwner);
        }
        BridgeLog log;
        log.tap = log.pcap = false;
        QScopedPointer<PCapOperator> bridge(makeFakeBridge(&log, nullptr));
        const auto installers = Installers::inFolder(folder.path());
        m_w->setBridge(bridge.data());
        m_w->setInstallers(installers.get());
        m_boxes.answers = {QMessageBox::Yes, QMessageBox::Yes};
        request("eth0");
        QCOMPARE(m_boxes.asked.size(), 2);
        QVERIFY(m_boxes.asked.at(0).contains("talvo0"));
        QVERIFY(m_boxes.asked.at(1).contains("talvo-bridge-helper"));
        QTRY_VERIFY2_WITH_TIMEOUT(tip().contains(tipStart), qPrintable(tip()), 5000);
        m_w.reset();
    }

    // Nothing reaches the tunnel for a request the window refuses; the port typed is used.
    void validation_data()
    {
        QTest::addColumn<QString>("sn");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("tip");
        QTest::newRow("no sn") << "" << "eth0" << "1.2.3.4" << "1" << "DeviceSN is empty";
        QTest::newRow("sn starts with a blank") << " ABC" << "HMI" << "1.2.3.4" << "1" << "DeviceSN is empty";
        QTest::newRow("plc without ip") << "ABC" << "PLC" << "" << "502" << "Please input PLC IP";
        QTest::newRow("plc without port") << "ABC" << "PLC" << "1.2.3.4" << "" << "Please input PLC port";
        QTest::newRow("plc port typed") << "ABC" << "PLC" << "1.2.3.4" << "99999"
                                        << "Connect successfully，Please input 127.0.0.1:99999(NV Serial node) on PLC software.";
    }
    void validation()
    {
        QFETCH(QString, sn);
        QFETCH(QString, type);
        QFETCH(QString, ip);
        QFETCH(QString, port);
        QFETCH(QString, tip);
        m_w->changeLanguage(0);
        child<QLineEdit>("plcIpEdit")->setText(ip);
        child<QLineEdit>("plcPortEdit")->setText(port);
        request(type, sn);
        QCOMPARE(this->tip(), tip);
        QCOMPARE(m_script->calls.filter("ConnectAdd").size(), tip.startsWith("Connect") ? 1 : 0);
    }
};

QTEST_MAIN(TestChannels)
#include "tst_channels.moc"
