#include "tunnel/VNCTunnelConnect.h"

#include "tunnel/VncViewer.h"
#include "tunnel/pgDllTunnel.h"

#include <QCoreApplication>
#include <QDebug>
#include <QProcess>

#include <cstring>

namespace {

const char kConfigFile[] = "demoTunnel.cfg";
const char kHmiAddress[] = "127.0.0.1:7540";

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
    TunnelSetCallback(&ignoreTunnelNotification);
    char szSysInfo[256];
    std::memset(szSysInfo, 0, sizeof szSysInfo);
    if (TunnelInit(kConfigFile, szSysInfo, int(sizeof szSysInfo)) != 0)
        return -1;
    // The library terminates the text, but never trust a foreign buffer to be terminated.
    const QString info = QString::fromUtf8(szSysInfo, int(strnlen(szSysInfo, sizeof szSysInfo)));
    qDebug().noquote().nospace() << "VNCTunnelConnect::StarTunnel szSysInfo " << info;
    return TunnelStart(kConfigFile, szSysInfo, 0, 0);
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

void VNCTunnelConnect::OpenVnc(const QString &argument)
{
    // Deliberately without parent and never deleted: the viewer must outlive this client
    // and the tool itself.
    auto *process = new QProcess();
    const QString appDir = QCoreApplication::applicationDirPath();
    process->setWorkingDirectory(appDir + "/vnc");
    // Nobody reads the viewer's output; a pipe would fill up and stall the viewer, and
    // would break (SIGPIPE) when the tool exits first.
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(vncViewerProgram(appDir), QStringList() << argument, QIODevice::ReadWrite);
}
