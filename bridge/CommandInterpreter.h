#pragma once

#include <QProcess>
#include <QString>

// What runs the bridge's command lines: the system's command interpreter on Windows, the
// privileged bridge helper on Linux.
class CommandInterpreter
{
public:
    // Sets process up (not started) to run the one command line cmd.
    static void prepare(QProcess &process, const QString &cmd);
};
