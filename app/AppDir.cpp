#include "app/AppDir.h"

#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>

namespace {
QMutex overrideLock;
QString overrideDir;
}

QString AppDir::path()
{
    {
        QMutexLocker locker(&overrideLock);
        if (!overrideDir.isEmpty())
            return overrideDir;
    }
    // applicationDirPath() warns when no application object exists; ask only when one does.
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QString();
}

void AppDir::setOverride(const QString &dir)
{
    QMutexLocker locker(&overrideLock);
    overrideDir = dir;
}
