#pragma once

#include <QString>

// The VNC viewer shipped in the "vnc" folder beside the executable; the file name differs
// per platform (one VncViewer_*.cpp is compiled).
QString vncViewerProgram(const QString &appDir);

// Ends viewers this tool's folder delivered that are still running, before a new VNC
// channel replaces the old one. Started, not waited for.
void endRunningVncViewers();
