#include "base/DirPlatform.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace DirPlatform {

// access() rather than QFileInfo: cheap, and silent.
bool isWritable(const QString &dir)
{
    return ::access(QFile::encodeName(dir).constData(), W_OK) == 0;
}

QString perUserDir()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = qEnvironmentVariable("HOME") + QStringLiteral("/.local/share");
    return base + QStringLiteral("/talvo-hmi-tunnel/app");
}

} // namespace DirPlatform
