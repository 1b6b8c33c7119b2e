#include "base/AppDir.h"
#include "window/PLCDownloadAssistant.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

// Guards the form against drifting from what operators and their PLC software expect: the
// connection types, the input masks, the language switch and the status texts.
class TestWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    template <typename T> static T *child(QWidget &w, const char *name)
    {
        T *c = w.findChild<T *>(QLatin1String(name));
        if (!c)
            qFatal("no widget %s", name);
        return c;
    }
    static void invoke(QWidget &w, const char *slot, const QString &arg)
    {
        QVERIFY(QMetaObject::invokeMethod(&w, slot, Q_ARG(QString, arg)));
    }

private slots:
    void initTestCase() { AppDir::setOverride(m_dir.path()); }

    void connectionTypesAndPlcPanel()
    {
        PLCDownloadAssistant w;
        auto *type = child<QComboBox>(w, "comboBox_pcap");
        QStringList items;
        for (int i = 0; i < type->count(); ++i)
            items << type->itemText(i);
        QCOMPARE(items, QStringList({"eth0", "COM1", "COM2", "COM3", "HMI", "VNC", "PLC"}));
        QCOMPARE(type->currentText(), QStringLiteral("eth0"));

        auto *panel = child<QWidget>(w, "plcParamsWidget");
        QVERIFY(panel->isHidden());
        type->setCurrentText("PLC");
        QVERIFY(!panel->isHidden());
        QCOMPARE(panel->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(child<QLineEdit>(w, "plcIpEdit")->text(), QStringLiteral("192.168.1.10"));
        QCOMPARE(child<QLineEdit>(w, "plcPortEdit")->text(), QStringLiteral("11740"));
        type->setCurrentText("VNC");
        QVERIFY(panel->isHidden());
        QCOMPARE(panel->sizePolicy().verticalPolicy(), QSizePolicy::Ignored);
    }

    void masks()
    {
        PLCDownloadAssistant w;
        auto *port = child<QLineEdit>(w, "plcPortEdit");
        QCOMPARE(port->displayText(), QStringLiteral("11740_"));
        QCOMPARE(port->text(), QStringLiteral("11740"));

        port->selectAll();
        QTest::keyClicks(port, "ab12c");
        QCOMPARE(port->text(), QStringLiteral("12"));
        port->selectAll();
        QTest::keyClicks(port, "1234567");
        QCOMPARE(port->text(), QStringLiteral("123456"));

        auto *ip = child<QLineEdit>(w, "plcIpEdit");
        ip->selectAll();
        QTest::keyClicks(ip, "10x.0.0.1234");
        QCOMPARE(ip->text(), QStringLiteral("10.0.0.123"));
    }

    void retranslationResetsTheBoxes()
    {
        PLCDownloadAssistant w;
        w.setStrSn("ABC123");
        child<QLineEdit>(w, "plcIpEdit")->setText("10.1.2.3");
        child<QLineEdit>(w, "plcPortEdit")->setText("502");

        w.changeLanguage(0);
        QCOMPARE(w.windowTitle(), QStringLiteral("Talvo-HMI Tunnel"));
        QCOMPARE(child<QPushButton>(w, "pushButtonDisConnectChannel")->text(), QStringLiteral(" Close "));
        QCOMPARE(child<QLineEdit>(w, "lineEditDeviceSn")->text(), QString());
        QCOMPARE(child<QLineEdit>(w, "plcIpEdit")->text(), QStringLiteral("192.168.1.10"));
        QCOMPARE(child<QLineEdit>(w, "plcPortEdit")->text(), QStringLiteral("11740"));
        QCOMPARE(child<QLabel>(w, "label_5")->text(), QStringLiteral("V2.0.1"));

        // The last catalogue installed wins, and only one stays installed.
        w.changeLanguage(1);
        QCOMPARE(w.windowTitle(), QStringLiteral("Talvo-HMI透传工具"));
        QCOMPARE(QCoreApplication::translate("QObject", "正在创建通道，请稍等..."),
                 QStringLiteral("正在创建通道，请稍等.."));
        w.changeLanguage(0);
        QCOMPARE(QCoreApplication::translate("QObject", "正在创建通道，请稍等..."),
                 QStringLiteral("Creating tunnel,please wait..."));
    }

    void tipCodesAndTexts_data()
    {
        QTest::addColumn<QString>("str");
        QTest::addColumn<QString>("shown");
        QTest::newRow("0") << "0" << "Failed to build Tunnel";
        QTest::newRow("2") << "2" << "Connect Timeout";
        QTest::newRow("other number") << "5" << "5";
        QTest::newRow("text") << "Device COM is null!" << "Device COM is null!";
    }
    void tipCodesAndTexts()
    {
        QFETCH(QString, str);
        QFETCH(QString, shown);
        PLCDownloadAssistant w;
        w.changeLanguage(0);
        invoke(w, "setTipText", str);
        QCOMPARE(child<QLabel>(w, "labelTip")->text(), shown);
    }

    void stateCaptions()
    {
        PLCDownloadAssistant w;
        w.changeLanguage(0);
        auto *create = child<QPushButton>(w, "pushButtonCreateChannel");
        auto show = [&](int state) {
            QVERIFY(QMetaObject::invokeMethod(&w, "onStateChanged",
                                              Q_ARG(PLCDownloadPassThrough::State,
                                                    PLCDownloadPassThrough::State(state))));
        };
        show(PLCDownloadPassThrough::Disconnecting);
        QCOMPARE(create->text(), QStringLiteral("Disconnecting "));
        show(9); // not a state: the caption stays
        QCOMPARE(create->text(), QStringLiteral("Disconnecting "));

        // The close button, reached by its name alone, clears the tip and shows Idle.
        invoke(w, "setTipText", "something");
        QTest::mouseClick(child<QPushButton>(w, "pushButtonDisConnectChannel"), Qt::LeftButton);
        QCOMPARE(child<QLabel>(w, "labelTip")->text(), QString());
        QCOMPARE(create->text(), QStringLiteral("Start Tunnel"));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
