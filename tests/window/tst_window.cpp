// Guards the form against drifting from what operators and their PLC software expect: the
// connection types, the input masks, the language switch and the status texts.
#include "WindowTest.h"
#include "base/AppDir.h"

class TestWindow : public WindowTest
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void initTestCase() { AppDir::setOverride(m_dir.path()); }
    void init() { m_w.reset(new PLCDownloadAssistant); }

    void connectionTypesAndPlcPanel()
    {
        // Every type is chosen by its text in the channel suites; an operator starts on eth0.
        auto *type = child<QComboBox>("comboBox_pcap");
        QCOMPARE(type->currentText(), QStringLiteral("eth0"));
        // The PLC's address fields show for the PLC type only, and then at their full size.
        auto *panel = child<QWidget>("plcParamsWidget");
        QVERIFY(panel->isHidden());
        type->setCurrentText("PLC");
        QVERIFY(!panel->isHidden());
        QCOMPARE(panel->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
        type->setCurrentText("VNC");
        QVERIFY(panel->isHidden());
    }

    void masks()
    {
        auto *port = child<QLineEdit>("plcPortEdit");
        QCOMPARE(port->displayText(), QStringLiteral("11740_"));
        QCOMPARE(port->text(), QStringLiteral("11740"));

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
        QCOMPARE(m_w->windowTitle(), QStringLiteral("Talvo-HMI Tunnel"));
        QCOMPARE(child<QPushButton>("pushButtonDisConnectChannel")->text(), QStringLiteral(" Close "));
        QCOMPARE(child<QLineEdit>("lineEditDeviceSn")->text(), QString());
        QCOMPARE(child<QLineEdit>("plcIpEdit")->text(), QStringLiteral("192.168.1.10"));
        QCOMPARE(child<QLineEdit>("plcPortEdit")->text(), QStringLiteral("11740"));

        // The last catalogue installed wins, and only one stays installed.
        m_w->changeLanguage(1);
        QCOMPARE(m_w->windowTitle(), QStringLiteral("Talvo-HMI透传工具"));
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
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
