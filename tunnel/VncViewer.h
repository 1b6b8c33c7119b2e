#pragma once

#include <QString>

// The VNC viewer shipped in the "vnc" folder beside the executable; the file name differs
// per platform (one VncViewer_*.cpp is compiled).
QString vncViewerProgram(const QString &appDir);
