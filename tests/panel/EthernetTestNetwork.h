#pragma once

#include "PrivateNetwork.h"
#include "Shell.h"
#include "TestWire.h"

// The Ethernet tests create interfaces, capture and inject: they run as root in a network
// namespace of their own (with /sys mounted again, so sysfs shows that namespace's
// interfaces), entered before any thread exists so every thread and child is inside it.


#include <QElapsedTimer>
#include <QProcess>
#include <QString>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

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

inline QByteArray ethernetFrame(const QByteArray &dst, const QByteArray &src, quint16 etherType,
                                const QByteArray &payload, int len = 60)
{
    QByteArray f = dst + src;
    f.append(char(etherType >> 8)).append(char(etherType & 0xFF)).append(payload);
    if (f.size() < len)
        f.append(QByteArray(len - f.size(), '\0'));
    return f;
}

inline quint16 etherTypeOf(const QByteArray &f)
{
    return f.size() < 14 ? 0 : quint16((quint8(f.at(12)) << 8) | quint8(f.at(13)));
}
