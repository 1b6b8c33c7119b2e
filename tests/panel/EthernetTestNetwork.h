#pragma once

// The Ethernet tests create interfaces, capture and inject: they run as root in a network
// namespace of their own, entered before any thread exists.
#include "PrivateNetwork.h"
#include "Shell.h"
#include "TestWire.h"

#include <QString>

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
