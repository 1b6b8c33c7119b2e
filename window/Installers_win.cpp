#include "window/Installers.h"

#include <QCoreApplication>
#include <QFile>
#include <QObject>
#include <QProcess>

namespace {
class WindowsInstallers : public Installers
{
public:
    explicit WindowsInstallers(const QString &folder)
        : m_folder(folder)
    {
    }

    QString tapQuestion() const override { return QObject::tr("检测未安装Tap-Windows,是否安装？"); }
    QString pcapQuestion() const override { return QObject::tr("检测未安装Pcap服务,是否安装？"); }

    void installTap(const Report &report) override
    {
        start(QStringLiteral("/tap-windows-win7.exe"), report);
    }
    void installPcap(const Report &report) override
    {
        // The capture driver's installer brings its own pair of these libraries.
        QFile::rename(QStringLiteral("C:\\Windows\\SysWOW64\\Packet.dll"),
                      QStringLiteral("C:\\Windows\\SysWOW64\\Packet.dll.old"));
        QFile::rename(QStringLiteral("C:\\Windows\\SysWOW64\\wpcap.dll"),
                      QStringLiteral("C:\\Windows\\SysWOW64\\wpcap.dll.old"));
        start(QStringLiteral("/Win10Pcap/Win32/Installer.exe"), report);
    }

private:
    void start(const QString &relative, const Report &report)
    {
        // Program and arguments apart, so a folder with blanks in its name still works.
        const QString program = m_folder + relative;
        if (!QProcess::startDetached(program, {}))
            report(QObject::tr("无法启动%1：文件不存在或不可执行").arg(program));
    }

    QString m_folder;
};
}

Installers *Installers::standard()
{
    static WindowsInstallers installers(QCoreApplication::applicationDirPath());
    return &installers;
}

std::unique_ptr<Installers> Installers::inFolder(const QString &folder)
{
    return std::make_unique<WindowsInstallers>(folder);
}
