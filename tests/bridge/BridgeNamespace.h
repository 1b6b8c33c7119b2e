#pragma once

// Tests that create interfaces, capture or inject run in a network namespace of their own,
// with /sys mounted again so that sysfs shows that namespace's interfaces. Entered before
// the application object exists, so every later thread and child process is inside it.

#include "PrivateNetwork.h"
#include "Shell.h"

#include <QCoreApplication>
#include <QString>
#include <QtTest>

inline QString &privateNetworkSkipReason()
{
    static QString reason;
    return reason;
}

#define SKIP_WITHOUT_PRIVATE_NETWORK()                                                             \
    do {                                                                                           \
        if (!privateNetworkSkipReason().isEmpty())                                                 \
            QSKIP(qPrintable(privateNetworkSkipReason()));                                         \
    } while (0)

#define PRIVATE_NETWORK_TEST_MAIN(TestClass)                                                       \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        privateNetworkSkipReason() = enterPrivateNetworkWithSysfs();                                        \
        QCoreApplication app(argc, argv);                                                          \
        TestClass tc;                                                                              \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
