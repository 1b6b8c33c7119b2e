#include "tunnel/VncViewer.h"

QString vncViewerProgram(const QString &appDir)
{
    return appDir + "/vnc/vnc.exe";
}
