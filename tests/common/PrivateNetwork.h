#pragma once

#include <QString>

// Moves the calling process into a network namespace of its own with only a loopback
// interface, so a test may listen on the tool's fixed ports without meeting anything else
// on the machine. Must run before the process starts any thread. Returns why that was
// impossible, or an empty string.
QString enterPrivateNetwork();

// The same, for tests that make interfaces: root only, and with /sys mounted again inside
// a mount namespace of its own, so that sysfs shows this namespace's interfaces.
QString enterPrivateNetworkWithSysfs();

// Why the test's private network could not be had; empty when it could.
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

// The namespace is entered before the application object exists, so every later thread
// and child process is inside it.
#define PRIVATE_NETWORK_APP_MAIN(TestClass, enter, Application)                                    \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        privateNetworkSkipReason() = enter();                                                      \
        Application app(argc, argv);                                                               \
        TestClass tc;                                                                              \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
#define PRIVATE_NETWORK_TEST_MAIN_WITH(TestClass, enter) PRIVATE_NETWORK_APP_MAIN(TestClass, enter, QCoreApplication)
#define PRIVATE_NETWORK_TEST_MAIN(TestClass) PRIVATE_NETWORK_TEST_MAIN_WITH(TestClass, enterPrivateNetworkWithSysfs)
