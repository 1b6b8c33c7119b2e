// The Windows end of tst_bridge_wine: the bridge's Windows seams on their own.
//   bridge_peer command LINE   runs LINE as the adapter set-up does; prints what it recorded
//   bridge_peer capture        prints why capture is impossible (or "ok") and the devices
#include "bridge/CaptureDevice.h"
#include "bridge/ProcessCommandRunner.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 3 && args[1] == QLatin1String("command")) {
        ProcessCommandRunner runner;
        std::printf("%s\n", runner.execute(args[2]).toUtf8().constData());
        return 0;
    }
    if (args.size() == 2 && args[1] == QLatin1String("capture")) {
        const QString problem = CaptureDevice::libraryProblem();
        std::printf("library: %s\n", problem.isEmpty() ? "ok" : problem.toUtf8().constData());
        QList<QPair<QString, QString>> devices;
        QString error;
        if (!CaptureDevice::list(&devices, &error))
            std::printf("list failed: %s\n", error.toUtf8().constData());
        for (const auto &[name, description] : devices)
            std::printf("device: %s|%s\n", name.toUtf8().constData(), description.toUtf8().constData());
        QString openError;
        const bool opened = CaptureDevice::open(QStringLiteral("\\Device\\NPF_{TEST}"), QString(), 10, &openError) != nullptr;
        std::printf("open: %s\n", opened ? "ok" : openError.toUtf8().constData());
        return 0;
    }
    return 2;
}
