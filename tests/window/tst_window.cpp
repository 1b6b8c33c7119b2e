#include "base/AppDir.h"
#include "window/PLCDownloadAssistant.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

// The form, its masks, the connection-type rule and what the buttons and status slots show.
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

    void createButtonValidates_data()
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
    }
    void createButtonValidates()
    {
        QFETCH(QString, sn);
        QFETCH(QString, type);
        QFETCH(QString, ip);
        QFETCH(QString, port);
        QFETCH(QString, tip);
        PLCDownloadAssistant w;
        w.changeLanguage(0);
        child<QLineEdit>(w, "lineEditDeviceSn")->setText(sn);
        child<QComboBox>(w, "comboBox_pcap")->setCurrentText(type);
        child<QLineEdit>(w, "plcIpEdit")->setText(ip);
        child<QLineEdit>(w, "plcPortEdit")->setText(port);
        QTest::mouseClick(child<QPushButton>(w, "pushButtonCreateChannel"), Qt::LeftButton);
        QCOMPARE(child<QLabel>(w, "labelTip")->text(), tip);
    }

    void deviceSnEndsAtTheFirstBlank()
    {
        PLCDownloadAssistant w;
        child<QLineEdit>(w, "lineEditDeviceSn")->setText("ABC123 further words");
        QCOMPARE(w.getDeviceSn(), QStringLiteral("ABC123"));
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
