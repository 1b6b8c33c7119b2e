#include "tunnel/VncViewer.h"

// A script of that name may start whichever viewer is installed.
QString vncViewerProgram(const QString &appDir)
{
    return appDir + "/vnc/vnc";
}
