#include "tunnel/VncViewer.h"

#include <QProcess>

// A script of that name may start whichever viewer is installed.
QString vncViewerProgram(const QString &appDir)
{
    return appDir + "/vnc/vnc";
}

void endRunningVncViewers()
{
    // The viewer script execs whichever viewer it finds, so no single program name fits as
    // taskkill's image name does: end the VNC programs showing the channel's address.
    QProcess::startDetached(QStringLiteral("pkill"),
                            {QStringLiteral("-f"), QStringLiteral("vnc.* 127\\.0\\.0\\.1:7530$")});
}
