#include "tunnel/VncViewer.h"

#include <QProcess>

QString vncViewerProgram(const QString &appDir)
{
    return appDir + "/vnc/vnc.exe";
}

void endRunningVncViewers()
{
    QProcess::startDetached(QStringLiteral("taskkill"), {QStringLiteral("/im"), QStringLiteral("vnc.exe"), QStringLiteral("/f")});
}
