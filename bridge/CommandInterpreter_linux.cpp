#include "bridge/CommandInterpreter.h"

#include "bridge/BridgeHelper.h"

// The bridge's commands on Linux are ip commands that need CAP_NET_ADMIN. The tool holds
// no capabilities: each command goes, split into its words and without a shell, to the
// bridge helper, which runs it only when it is one of the adapter's own commands.
void CommandInterpreter::prepare(QProcess &process, const QString &cmd)
{
    process.setProgram(BridgeHelper::path());
    process.setArguments(QProcess::splitCommand(cmd));
}
