#include "base/AppDir.h"
#include "base/DirPlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex overrideLock;
QString overrideDir;
QString checkedExeDir; // the executable's folder last looked at, and what it led to
QString chosenDir;
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
        if (!DirPlatform::isWritable(exeDir)) {
            const QString own = DirPlatform::perUserDir();
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
