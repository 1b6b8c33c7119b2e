// Started by tst_bridge_caps as an unprivileged user with the capabilities the set-up
// script grants: reports what the bridge can do from there.
#include "bridge/CaptureDevice.h"
#include "bridge/LinuxVethAdapter.h"
#include "bridge/ProcessCommandRunner.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    LinuxVethAdapter adapter;
    std::printf("pcap installed: %d\n", adapter.isPcapInstalled() ? 1 : 0);
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t *capture = CaptureDevice::open("talvo0p", 10, err);
    std::printf("capture: %s\n", capture ? "open" : err);
    if (capture)
        pcap_close(capture);
    ProcessCommandRunner runner;
    for (int i = 1; i < argc; ++i)
        std::printf("%s\n", qPrintable(runner.execute(QString::fromLocal8Bit(argv[i]))));
    return 0;
}
