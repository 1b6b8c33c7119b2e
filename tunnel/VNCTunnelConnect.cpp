#include "tunnel/VNCTunnelConnect.h"

#include "tunnel/VncViewer.h"
#include "tunnel/pgDllTunnel.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <cstring>

namespace {

const char kConfigFile[] = "demoTunnel.cfg";
const char kHmiAddress[] = "127.0.0.1:7540";
// What the viewer helper answers when it finds no viewer to start.
constexpr int kNoViewerExitCode = 127;

void TUNNEL_CALL ignoreTunnelNotification(int)
{
}

} // namespace

VNCTunnelConnect::VNCTunnelConnect(QObject *parent) : QObject(parent)
{
}

void VNCTunnelConnect::SetDevId(const QString &sn)
{
    devId = sn;
}

int VNCTunnelConnect::TunnelState()
{
    int state = 0;
    return TunnelGetState(nullptr, &state);
}

int VNCTunnelConnect::StarTunnel()
{
    // The tunnel ends with the application object, on the main thread, with its listeners
    // closed and the relay told, instead of being cut off by the process end.
    static const bool stopAtQuit = [] {
        qAddPostRoutine([] { TunnelStop(); });
        return true;
    }();
    Q_UNUSED(stopAtQuit)
    TunnelSetCallback(&ignoreTunnelNotification);
    char szSysInfo[256];
    std::memset(szSysInfo, 0, sizeof szSysInfo);
    const QByteArray config = QFile::encodeName(configFile());
    if (TunnelInit(config.constData(), szSysInfo, int(sizeof szSysInfo)) != 0)
        return -1;
    // The library terminates the text, but never trust a foreign buffer to be terminated.
    const QString info = QString::fromUtf8(szSysInfo, int(strnlen(szSysInfo, sizeof szSysInfo)));
    qDebug().noquote().nospace() << "VNCTunnelConnect::StarTunnel szSysInfo " << info;
    return TunnelStart(config.constData(), szSysInfo, 0, 0);
}

QString VNCTunnelConnect::configFile()
{
    const QString here = QString::fromLatin1(kConfigFile);
    if (QFile::exists(here) || !QCoreApplication::instance())
        return here;
    const QString besideExecutable = QDir(QCoreApplication::applicationDirPath()).filePath(here);
    return QFile::exists(besideExecutable) ? besideExecutable : here;
}

int VNCTunnelConnect::ConnectDel(const QString &remote, const QString &local)
{
    return TunnelDelConnect("", devId.toLocal8Bit().constData(), 0, 0, remote.toLocal8Bit().constData(),
                            local.toLocal8Bit().constData());
}

int VNCTunnelConnect::ConnectAdd(const QString &remote, const QString &local)
{
    char errorText[TUNNEL_ERROR_TEXT_SIZE];
    std::memset(errorText, 0, sizeof errorText);
    return TunnelAddConnect("", devId.toLocal8Bit().constData(), 0, 0, remote.toLocal8Bit().constData(),
                            local.toLocal8Bit().constData(), errorText);
}

int VNCTunnelConnect::ConnectDelHmi()
{
    return TunnelDelListen("", kHmiAddress);
}

int VNCTunnelConnect::ConnectAddHmi()
{
    char errorText[TUNNEL_ERROR_TEXT_SIZE];
    std::memset(errorText, 0, sizeof errorText);
    const int ret = TunnelAddConnect("", devId.toLocal8Bit().constData(), 0, 0, kHmiAddress, kHmiAddress, errorText);
    if (ret != 0)
        qWarning().noquote().nospace() << "Add connect failed, Error " << ret;
    return ret;
}

void VNCTunnelConnect::OpenVnc(const QString &argument, const std::function<void(const QString &)> &failed)
{
    // Without parent: the viewer must outlive this client; it deletes itself when it ends.
    auto *process = new QProcess();
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString program = vncViewerProgram(appDir);
    process->setWorkingDirectory(appDir + "/vnc");
    // Nobody reads the viewer's output; a pipe would fill up and stall the viewer, and
    // would break (SIGPIPE) when the tool exits first.
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    auto tell = [failed](const QString &why) {
        qWarning().noquote() << "VNCTunnelConnect::OpenVnc:" << why;
        if (failed)
            failed(why);
    };
    connect(process, &QProcess::errorOccurred, process, [process, program, tell](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        tell(tr("无法启动VNC监控程序%1：%2").arg(program, process->errorString()));
        process->deleteLater();
    });
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), process,
            [process, tell](int code, QProcess::ExitStatus status) {
                if (status == QProcess::NormalExit && code == kNoViewerExitCode)
                    tell(tr("未安装VNC监控程序(例如tigervnc-viewer)"));
                else if (status != QProcess::NormalExit || code != 0)
                    tell(tr("VNC监控程序异常退出(%1)").arg(code));
                process->deleteLater();
            });
    process->start(program, QStringList() << argument, QIODevice::ReadWrite);
}
