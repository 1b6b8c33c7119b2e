#include "devices/VirtualPortsPlatform.h"

#include "vserial/PortDirectory.h"

#include <QCoreApplication>
#include <QDir>

namespace VirtualPortsPlatform {

// dlopen does not look beside the executable the way Windows does, and the executable's
// own run path does not apply to a dlopen made from inside Qt; so the application's
// directory is tried first by full path, then the system's search (LD_LIBRARY_PATH, the
// linker's cache) with the bare name.
QStringList libraryNames()
{
    QStringList names;
    if (QCoreApplication::instance())
        names << QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("vspdctl"));
    names << QStringLiteral("vspdctl");
    return names;
}

QString portLocation(const QString &port)
{
    return QDir(QString::fromStdString(vserial::portDirectoryPath())).filePath(port);
}

} // namespace VirtualPortsPlatform
