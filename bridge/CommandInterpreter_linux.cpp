#include "bridge/CommandInterpreter.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// The set-up script grants the executable CAP_NET_ADMIN and CAP_NET_RAW as file
// capabilities; those are not inherited across exec by /bin/sh and ip. Raising them as
// ambient capabilities in the child (between fork and exec, so the tool itself keeps
// its sets unchanged) passes them on. A root process needs none of this, and a process
// without the capabilities just fails quietly here and the command reports the error.
class NetCapsProcess : public QProcess
{
protected:
    void setupChildProcess() override
    {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (syscall(SYS_capget, &header, data) != 0)
            return;
        const unsigned wanted = (1u << CAP_NET_ADMIN) | (1u << CAP_NET_RAW);
        const unsigned permitted = data[0].permitted & wanted;
        if (!permitted)
            return;
        data[0].inheritable |= permitted;
        if (syscall(SYS_capset, &header, data) != 0)
            return;
        for (int cap : {CAP_NET_ADMIN, CAP_NET_RAW})
            if (permitted & (1u << cap))
                prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0);
    }
};
}

QString CommandInterpreter::program()
{
    return QStringLiteral("/bin/sh");
}

QStringList CommandInterpreter::arguments(const QString &cmd)
{
    return {QStringLiteral("-c"), cmd};
}

std::unique_ptr<QProcess> CommandInterpreter::newProcess()
{
    return std::make_unique<NetCapsProcess>();
}
