#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// What runs the bridge's command lines: the system's command interpreter on Windows, the
// privileged bridge helper on Linux.
class CommandInterpreter
{
public:
    static QString program();
    static QStringList arguments(const QString &cmd);
    // The process object to run it in.
    static std::unique_ptr<QProcess> newProcess();
};
