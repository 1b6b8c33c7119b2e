#include "window/Installers.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

namespace {
class WindowsInstallers : public Installers
{
public:
    void installTap() override
    {
        start(QStringLiteral("/tap-windows-win7.exe"));
    }
    void installPcap() override
    {
        // The capture driver's installer brings its own pair of these libraries.
        QFile::rename(QStringLiteral("C:\\Windows\\SysWOW64\\Packet.dll"),
                      QStringLiteral("C:\\Windows\\SysWOW64\\Packet.dll.old"));
        QFile::rename(QStringLiteral("C:\\Windows\\SysWOW64\\wpcap.dll"),
                      QStringLiteral("C:\\Windows\\SysWOW64\\wpcap.dll.old"));
        start(QStringLiteral("/Win10Pcap/Win32/Installer.exe"));
    }

private:
    static void start(const QString &relative)
    {
        // Program and arguments apart, so a folder with blanks in its name still works.
        QProcess::startDetached(QCoreApplication::applicationDirPath() + relative, {});
    }
};
}

Installers *Installers::standard()
{
    static WindowsInstallers installers;
    return &installers;
}
