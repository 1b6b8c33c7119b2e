// Guards against a missing pair library crashing the tool or failing in silence: every
// call warns and fails with a reason, and the serial channel tells the operator why.
#include "FakeTunnel.h"

#include "devices/VirtualPortsManager.h"
#include "engine/PLCDownloadPassThrough.h"

#include <QSignalSpy>
#include <QtTest>

class TestVirtualPortsMissing : public QObject
{
    Q_OBJECT

private slots:
    void callsWarnAndFail()
    {
        for (int round = 0; round < 2; ++round) {
            QString error;
            QTest::ignoreMessage(QtWarningMsg,
                                 "VirtualPortsManager::createPair: Failed to resove function CreatePair");
            QVERIFY(!VirtualPortsManager::createPair("COM30", "COM31", &error));
            QVERIFY2(error.contains("vspdctl") && error.contains("missing"), qPrintable(error));
            error.clear();
            QTest::ignoreMessage(QtWarningMsg,
                                 "VirtualPortsManager::deletePair: Failed to resove function DeletePair");
            QVERIFY(!VirtualPortsManager::deletePair("COM30", &error));
            QVERIFY2(error.contains("vspdctl"), qPrintable(error));
        }
    }

    // The operator's tip line names the missing library, not merely a port that did not open.
    void serialChannelNamesTheMissingLibrary()
    {
        const auto script = std::make_shared<TunnelScript>();
        script->add = 0;
        PLCDownloadPassThrough engine;
        engine.setTunnelClients(FakeTunnel::factory(script));
        engine.setStopReconnect(true);
        engine.setComPort(QStringLiteral("COM1"));
        QSignalSpy messages(&engine, &PLCDownloadPassThrough::message);
        QVERIFY(!engine.connectDevice());
        QCOMPARE(messages.count(), 1);
        const QString text = messages.at(0).at(0).toString();
        QVERIFY2(text.startsWith("Com31 Failed to Open! ") && text.contains("vspdctl"), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestVirtualPortsMissing)
#include "tst_virtualportsmissing.moc"
