#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// The system's command interpreter, which gets each command line whole.
class CommandInterpreter
{
public:
    static QString program();
    static QStringList arguments(const QString &cmd);
    // The process object to run it in; on Linux the child hands the network capabilities
    // the tool was granted on to the commands it runs.
    static std::unique_ptr<QProcess> newProcess();
};
