#include "bridge/CommandInterpreter.h"

// The line goes to cmd exactly as written. Handed over as an argument, QProcess would quote
// it again and escape its quotes with backslashes, which cmd and netsh do not undo: a
// connection name such as "Local Area Connection 2" would reach netsh as \"Local.
void CommandInterpreter::prepare(QProcess &process, const QString &cmd)
{
    const QString comSpec = qEnvironmentVariable("ComSpec");
    process.setProgram(comSpec.isEmpty() ? QStringLiteral("cmd.exe") : comSpec);
    process.setArguments({});
    process.setNativeArguments(QStringLiteral("/c ") + cmd);
}
