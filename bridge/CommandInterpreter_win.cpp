#include "bridge/CommandInterpreter.h"

QString CommandInterpreter::program()
{
    return QStringLiteral("cmd");
}

QStringList CommandInterpreter::arguments(const QString &cmd)
{
    return {QStringLiteral("/c"), cmd};
}

std::unique_ptr<QProcess> CommandInterpreter::newProcess()
{
    return std::make_unique<QProcess>();
}
