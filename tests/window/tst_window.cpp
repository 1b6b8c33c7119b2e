// Guards the window against wrong tunnel calls and tips, calls for refused requests, lost SNs
// and crashes, and against drifting from what operators and their PLC software expect: the
// connection types, the input masks, the language switch and the status texts.
#include "FakeBoxes.h"
#include "FakeBridge.h"
#include "FakeTunnel.h"
#include "FakeWait.h"
#include "Files.h"
#include "WindowTest.h"
#include "base/AppDir.h"
#include "window/Installers.h"

#include <QCompleter>

// Each case starts on a fresh window and a fresh, empty data folder; the tunnel is played by
// fakes that write down every call.
class TestWindow : public WindowTest
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_dir;
    std::shared_ptr<TunnelScript> m_script;
    FakeWait m_wait;
    FakeBoxes m_boxes;

    QByteArray cursel() const
    {
        QFile f(m_dir->filePath("cursel.dat"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    void writeCursel(const QByteArray &bytes) { QVERIFY(saveFile(m_dir->filePath("cursel.dat"), bytes)); }
    static QLineEdit *snBox(QWidget &w) { return w.findChild<QLineEdit *>("lineEditDeviceSn"); }
    static void withList(PLCDownloadAssistant &w)
    {
        w.setSnList({"A100", "B200", "XA1"});
        w.initSnCompleter();
    }
    static void finishEditing(PLCDownloadAssistant &w, const QString &typed)
    {
        snBox(w)->setText(typed);
        emit snBox(w)->editingFinished();
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        AppDir::setOverride(m_dir->path());
        m_script = std::make_shared<TunnelScript>();
        m_wait = FakeWait();
        m_boxes = FakeBoxes();
        m_w.reset(new PLCDownloadAssistant);
        m_w->setTunnelClients(FakeTunnel::factory(m_script));
        m_w->setEventWait(&m_wait);
        m_w->setMessageBoxes(&m_boxes);
    }

    // An operator starts on eth0 (the channel cases choose every type by its text); the PLC's
    // address fields show for the PLC type only, then at their full size, and take digits only.
    void plcFields()
    {
        auto *type = child<QComboBox>("comboBox_pcap");
        QCOMPARE(type->currentText(), QStringLiteral("eth0"));
        auto *panel = child<QWidget>("plcParamsWidget");
        QVERIFY(panel->isHidden());
        type->setCurrentText("PLC");
        QVERIFY(!panel->isHidden());
        QCOMPARE(panel->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
        type->setCurrentText("VNC");
        QVERIFY(panel->isHidden());

        auto *port = child<QLineEdit>("plcPortEdit");
        port->selectAll();
        QTest::keyClicks(port, "ab12c");
        QCOMPARE(port->text(), QStringLiteral("12"));
        port->selectAll();
        QTest::keyClicks(port, "1234567");
        QCOMPARE(port->text(), QStringLiteral("123456"));
        auto *ip = child<QLineEdit>("plcIpEdit");
        ip->selectAll();
        QTest::keyClicks(ip, "10x.0.0.1234");
        QCOMPARE(ip->text(), QStringLiteral("10.0.0.123"));
    }

    void retranslationResetsTheBoxes()
    {
        m_w->setStrSn("ABC123");
        child<QLineEdit>("plcIpEdit")->setText("10.1.2.3");
        child<QLineEdit>("plcPortEdit")->setText("502");

        m_w->changeLanguage(0);
        QCOMPARE(child<QLineEdit>("lineEditDeviceSn")->text(), QString());
        QCOMPARE(child<QLineEdit>("plcIpEdit")->text(), QStringLiteral("192.168.1.10"));
        QCOMPARE(child<QLineEdit>("plcPortEdit")->text(), QStringLiteral("11740"));

        // The last catalogue installed wins, and only one stays installed.
        m_w->changeLanguage(1);
        QCOMPARE(QCoreApplication::translate("QObject", "正在创建通道，请稍等..."),
                 QStringLiteral("正在创建通道，请稍等.."));
        m_w->changeLanguage(0);
        QCOMPARE(QCoreApplication::translate("QObject", "正在创建通道，请稍等..."),
                 QStringLiteral("Creating tunnel,please wait..."));
    }

    // The engine's numbered messages show as texts, others as they are; a value State can
    // hold that names no state leaves the caption alone.
    void tipCodesAndCaptions()
    {
        m_w->changeLanguage(0);
        const QStringList shown[] = {{"0", "Failed to build Tunnel"}, {"2", "Connect Timeout"}, {"5", "5"}};
        for (const QStringList &row : shown) {
            QVERIFY(QMetaObject::invokeMethod(m_w.data(), "setTipText", Q_ARG(QString, row[0])));
            QCOMPARE(tip(), row[1]);
        }
        for (int state : {int(PLCDownloadPassThrough::Disconnecting), 0}) {
            QVERIFY(QMetaObject::invokeMethod(m_w.data(), "onStateChanged",
                                              Q_ARG(PLCDownloadPassThrough::State, PLCDownloadPassThrough::State(state))));
            QCOMPARE(caption(), QStringLiteral("Disconnecting "));
        }
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

    // Typed text becomes the first listed SN that holds it (case counts), else stays as it
    // is; an emptied box changes nothing; the drop-down's filling chooses nothing.
    void listCompletesTypedTextAndFillsDropDown()
    {
        PLCDownloadAssistant w;
        withList(w);
        QVERIFY(snBox(w)->completer());
        QCOMPARE(snBox(w)->completer()->filterMode(), Qt::MatchContains);
        auto *drop = w.findChild<QComboBox *>("comboBox_SN");
        QCOMPARE(drop->count(), 3);
        QCOMPARE(cursel(), QByteArray("<missing>"));
        for (const QStringList &typedAndSn : {QStringList{"A1", "A100"}, {"a1", "a1"}, {"C9", "C9"}, {"XA1", "XA1"}}) {
            finishEditing(w, typedAndSn[0]);
            QCOMPARE(snBox(w)->text(), typedAndSn[1]);
            finishEditing(w, "");
            QCOMPARE(cursel(), typedAndSn[1].toLatin1());
        }
        drop->setCurrentIndex(1);
        QCOMPARE(snBox(w)->text(), QStringLiteral("B200"));
        QCOMPARE(cursel(), QByteArray("B200"));
    }

    // The first show, and only that, picks the list's first SN; another window's SN is adopted
    // once, closing this one's channel as the close button does; this one's own close empties
    // the hand-over and removes its routes.
    void firstShowHandOverAndClose()
    {
        BridgeLog log;
        QScopedPointer<PCapOperator> bridge(makeFakeBridge(&log, nullptr));
        const auto addRoutes = [&] { bridge->regedit("00:11:22:33:44:55", "192.168.1.10"); };
        PLCDownloadAssistant sender, receiver;
        receiver.setBridge(bridge.data());
        withList(receiver);
        receiver.show();
        QVERIFY(QTest::qWaitForWindowExposed(&receiver));
        QCOMPARE(snBox(receiver)->text(), QStringLiteral("A100"));
        QCOMPARE(cursel(), QByteArray("A100"));
        receiver.hide();
        snBox(receiver)->clear();
        writeCursel("");
        receiver.show();
        QCOMPARE(snBox(receiver)->text(), QString());
        receiver.findChild<QLabel *>("labelTip")->setText("busy");
        addRoutes();

        sender.setStrSn("B200");
        QCOMPARE(receiver.loadCurSel(), 1);
        QCOMPARE(snBox(receiver)->text(), QStringLiteral("B200"));
        QCOMPARE(log.removals, 1);
        QCOMPARE(receiver.findChild<QLabel *>("labelTip")->text(), QString());
        QCOMPARE(receiver.loadCurSel(), 0);

        // A change event is where a running window notices it.
        addRoutes();
        sender.setStrSn("XA1");
        QEvent change(QEvent::ActivationChange);
        QCoreApplication::sendEvent(&receiver, &change);
        QCOMPARE(snBox(receiver)->text(), QStringLiteral("XA1"));
        QCOMPARE(log.removals, 2);

        addRoutes();
        QVERIFY(receiver.close());
        QCOMPARE(log.removals, 3);
        QCOMPARE(cursel(), QByteArray());
        QCOMPARE(snBox(receiver)->text(), QString());
    }

    // The hand-over file is anyone's to write: only a first line that names another SN is
    // adopted, cut to what the SN box holds, and only once.
    void handOverOfContainedEmptyOrHostileContent()
    {
        PLCDownloadAssistant w;
        w.setStrSn("A100-1");
        for (const QByteArray &ignored : {QByteArray("A100"), QByteArray(), QByteArray("\nB200\n"),
                                          QByteArray("\x00\x01\x02\x7f\r\n", 6)}) {
            writeCursel(ignored);
            QCOMPARE(w.loadCurSel(), 0);
        }
        QCOMPARE(snBox(w)->text(), QStringLiteral("A100-1"));
        writeCursel(QByteArray(300000, 'Z'));
        QCOMPARE(w.loadCurSel(), 1);
        QCOMPARE(snBox(w)->text().size(), 32767);
        QCOMPARE(w.loadCurSel(), 0);
    }

    // The SN box finishes editing as it loses its focus while the window goes away.
    void destroyWithFocusInTheSnBox()
    {
        auto *w = new PLCDownloadAssistant;
        withList(*w);
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w));
        snBox(*w)->setFocus();
        QTest::keyClicks(snBox(*w), "B2");
        delete w;
        QCOMPARE(cursel(), QByteArray("A100"));
    }

    void unwritableDirectoryStillChangesTheSn()
    {
        AppDir::setOverride(m_dir->filePath("no/such/dir"));
        PLCDownloadAssistant w;
        withList(w);
        finishEditing(w, "B2");
        QCOMPARE(snBox(w)->text(), QStringLiteral("B200"));
        QCOMPARE(w.loadCurSel(), 0);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.close());
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
