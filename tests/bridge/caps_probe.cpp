// Started by tst_bridge_caps as an unprivileged user, as the tool would run: reports what the
// bridge can do through the helper beside it, while holding no capability itself.
#include "bridge/CaptureDevice.h"
#include "bridge/LinuxVethAdapter.h"
#include "bridge/ProcessCommandRunner.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QFile status("/proc/self/status");
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("CapEff:"))
            std::printf("tool %s\n", line.constData());
    LinuxVethAdapter adapter;
    std::printf("pcap installed: %d\n", adapter.isPcapInstalled() ? 1 : 0);
    QString error;
    const auto capture = CaptureDevice::open("talvo0p", QString(), 10, &error);
    std::printf("capture: %s\n", capture ? "open" : qPrintable(error));
    ProcessCommandRunner runner;
    for (int i = 1; i < argc; ++i)
        std::printf("%s\n", qPrintable(runner.execute(QString::fromLocal8Bit(argv[i]))));
    return 0;
}
