#include "PrivateNetwork.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool writeFile(const char *path, const QString &text)
{
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0)
        return false;
    const QByteArray bytes = text.toLatin1();
    const bool ok = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    ::close(fd);
    return ok;
}

bool loopbackUp(QString *why)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        *why = QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    ifreq req {};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    if (ok) {
        req.ifr_flags |= IFF_UP;
        ok = ::ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    }
    if (!ok)
        *why = QStringLiteral("cannot bring up lo: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    ::close(fd);
    return ok;
}

} // namespace

QString enterPrivateNetwork()
{
    QString why;
    if (::unshare(CLONE_NEWNET) == 0)
        return loopbackUp(&why) ? QString() : why;
    // Without root, a user namespace of our own grants the right to make a network one.
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return QStringLiteral("no private network namespace (unshare: %1)").arg(QString::fromLocal8Bit(strerror(errno)));
    writeFile("/proc/self/setgroups", QStringLiteral("deny"));
    writeFile("/proc/self/uid_map", QStringLiteral("%1 %1 1").arg(uid));
    writeFile("/proc/self/gid_map", QStringLiteral("%1 %1 1").arg(gid));
    return loopbackUp(&why) ? QString() : why;
}

QString enterPrivateNetworkWithSysfs()
{
    if (::geteuid() != 0)
        return QStringLiteral("needs root for network namespaces and interfaces");
    if (::unshare(CLONE_NEWNS) != 0)
        return QStringLiteral("cannot create a private mount namespace: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return QStringLiteral("cannot make mounts private: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    const QString why = enterPrivateNetwork();
    if (!why.isEmpty())
        return why;
    ::umount2("/sys", MNT_DETACH);
    if (::mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0)
        return QStringLiteral("cannot mount sysfs for the namespace: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    return QString();
}
