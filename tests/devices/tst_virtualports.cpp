// Guards the reason a refused pair comes with: the library's own, for the operator's tip line.
#include "devices/VirtualPortsManager.h"

#include <QtTest>

class TestVirtualPorts : public QObject
{
    Q_OBJECT

private slots:
    void refusedPairSaysWhy()
    {
        QString error;
        QVERIFY(!VirtualPortsManager::createPair("SAME1", "SAME1", &error));
        QVERIFY2(error.startsWith("the pair SAME1/SAME1 could not be made: ") && !error.endsWith("no reason given"),
                 qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestVirtualPorts)
#include "tst_virtualports.moc"
