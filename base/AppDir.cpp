#include "base/AppDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>

#include <unistd.h>

namespace {
QMutex overrideLock;
QString overrideDir;
QString checkedExeDir; // the executable's folder last looked at, and what it led to
QString chosenDir;

// The per-user stand-in keeps the Windows layout of an executable in a folder of its own,
// so that "../setting_vpn.ini" still lands inside the tool's folder and not in the shared
// data folder of every program.
QString perUserDir()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = qEnvironmentVariable("HOME") + QStringLiteral("/.local/share");
    return base + QStringLiteral("/talvo-hmi-tunnel/app");
}

// access() rather than QFileInfo: cheap, and it says nothing on any channel, which matters
// because the log handler asks for this folder while it holds its lock.
bool writable(const QString &dir)
{
    return ::access(QFile::encodeName(dir).constData(), W_OK) == 0;
}
} // namespace

QString AppDir::path()
{
    QMutexLocker locker(&overrideLock);
    if (!overrideDir.isEmpty())
        return overrideDir;
    // applicationDirPath() warns when no application object exists; ask only when one does.
    if (!QCoreApplication::instance())
        return QString();
    const QString exeDir = QCoreApplication::applicationDirPath();
    if (exeDir != checkedExeDir) {
        checkedExeDir = exeDir;
        chosenDir = exeDir;
        // An installed tool sits in a system folder a user cannot write to; its log and
        // selection memory would be lost there. The folder is made here, without a word:
        // a failure shows as a log that is not written, as for any unwritable folder.
        if (!writable(exeDir)) {
            const QString own = perUserDir();
            if (QDir().mkpath(own))
                chosenDir = own;
        }
    }
    return chosenDir;
}

void AppDir::setOverride(const QString &dir)
{
    QMutexLocker locker(&overrideLock);
    overrideDir = dir;
}
