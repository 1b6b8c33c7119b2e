// Guards the manager against crashing when the pair library is missing: every call warns and fails.
#include "devices/VirtualPortsManager.h"

#include <QtTest>

class TestVirtualPortsMissing : public QObject
{
    Q_OBJECT

private slots:
    void callsWarnAndFail()
    {
        for (int round = 0; round < 2; ++round) {
            QTest::ignoreMessage(QtWarningMsg,
                                 "VirtualPortsManager::createPair: Failed to resove function CreatePair");
            QVERIFY(!VirtualPortsManager::createPair("COM30", "COM31"));
            QTest::ignoreMessage(QtWarningMsg,
                                 "VirtualPortsManager::deletePair: Failed to resove function DeletePair");
            QVERIFY(!VirtualPortsManager::deletePair("COM30"));
        }
    }
};

QTEST_GUILESS_MAIN(TestVirtualPortsMissing)
#include "tst_virtualportsmissing.moc"
