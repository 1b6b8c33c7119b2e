#pragma once

#include <QString>

// The directory that holds the tool's data files (log, SN list, selection memory).
// It is the executable's directory, or, when that is not writable (installed under
// /usr/lib or Program Files), a folder of the user's: $XDG_DATA_HOME/talvo-hmi-tunnel/app
// (~/.local/share/...) on Linux, %LOCALAPPDATA%\talvo-hmi-tunnel\app on Windows. Tests
// point it at a directory they own so that nothing is written beside the real executable.
class AppDir
{
public:
    // Never emits a Qt message, so the log handler may call it while it holds its lock.
    // Empty when no override is set and no application object exists.
    static QString path();
    static void setOverride(const QString &dir);
};
