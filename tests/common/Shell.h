#pragma once

// The tests that create interfaces, capture or inject run as root in a network namespace of
// their own (PrivateNetwork.h), entered before any thread exists, with /sys mounted again so
// that sysfs shows that namespace's interfaces.
#include "PrivateNetwork.h"

#include <QProcess>
#include <QRegularExpression>
#include <QString>

// Shell commands of the namespace tests (ip, ethtool, sysctl): the exit code, or the output.
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

inline bool isUp(const QString &interface)
{
    return shOutput("ip -o link show dev " + interface).contains(QRegularExpression("<[^>]*\\bUP\\b"));
}

// A veth pair up, with the offloads off that a real card would not do either (frames as
// long as one MTU, checksums filled in), and without IPv6 chatter of its own.
inline bool makeVethPair(const QString &a, const QString &b)
{
    bool ok = sh(QStringLiteral("ip link add %1 type veth peer name %2").arg(a, b)) == 0;
    for (const QString &dev : {a, b}) {
        sh(QStringLiteral("ethtool -K %1 tx off tso off gso off gro off >/dev/null 2>&1").arg(dev));
        sh(QStringLiteral("sysctl -qw net.ipv6.conf.%1.disable_ipv6=1").arg(dev));
        ok = ok && sh(QStringLiteral("ip link set dev %1 up").arg(dev)) == 0;
    }
    return ok;
}
