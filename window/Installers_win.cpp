#include "window/Installers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>

#include <windows.h>
#include <shellapi.h>

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
    // Through the shell rather than CreateProcess: the installers ask for administrator
    // rights in their manifests, which only the shell's start can obtain (it shows the
    // elevation prompt); CreateProcess fails on them for any user without those rights.
    void start(const QString &relative, const Report &report)
    {
        const QString program = QDir::toNativeSeparators(m_folder + relative);
        if (!QFileInfo::exists(program)) {
            report(QObject::tr("无法启动%1：文件不存在或不可执行").arg(program));
            return;
        }
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
        info.lpVerb = L"open";
        info.lpFile = reinterpret_cast<LPCWSTR>(program.utf16());
        info.nShow = SW_SHOWNORMAL;
        if (ShellExecuteExW(&info))
            return;
        const DWORD code = GetLastError();
        report(code == ERROR_CANCELLED ? QObject::tr("未获得管理员权限,%1未运行").arg(program)
                                       : QObject::tr("无法启动%1：%2").arg(program, qt_error_string(int(code))));
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
