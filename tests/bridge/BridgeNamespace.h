#pragma once

// Tests that create interfaces, capture or inject run in a network namespace of their own,
// with /sys mounted again so that sysfs shows that namespace's interfaces. Entered before
// the application object exists, so every later thread and child process is inside it.

#include "PrivateNetwork.h"

#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QtTest>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

inline QString &privateNetworkSkipReason()
{
    static QString reason;
    return reason;
}

inline QString enterBridgeNamespace()
{
    if (geteuid() != 0)
        return QStringLiteral("needs root for a private network namespace");
    if (unshare(CLONE_NEWNS) != 0)
        return QStringLiteral("cannot create a private mount namespace: %1").arg(strerror(errno));
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return QStringLiteral("cannot make mounts private: %1").arg(strerror(errno));
    const QString why = enterPrivateNetwork();
    if (!why.isEmpty())
        return why;
    umount2("/sys", MNT_DETACH);
    if (mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0)
        return QStringLiteral("cannot mount sysfs for the namespace: %1").arg(strerror(errno));
    return QString();
}

// Runs a shell command inside the namespace; its exit code.
inline int sh(const QString &cmd)
{
    return QProcess::execute(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), cmd});
}

inline QString shOutput(const QString &cmd)
{
    QProcess p;
    p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), cmd});
    p.waitForFinished(10000);
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

#define SKIP_WITHOUT_PRIVATE_NETWORK()                                                             \
    do {                                                                                           \
        if (!privateNetworkSkipReason().isEmpty())                                                 \
            QSKIP(qPrintable(privateNetworkSkipReason()));                                         \
    } while (0)

#define PRIVATE_NETWORK_TEST_MAIN(TestClass)                                                       \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        privateNetworkSkipReason() = enterBridgeNamespace();                                        \
        QCoreApplication app(argc, argv);                                                          \
        TestClass tc;                                                                              \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
