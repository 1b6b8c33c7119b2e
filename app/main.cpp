#include "app/LogHandler.h"
#include "app/ParentConsole.h"
#include "app/Startup.h"
#include "window/PLCDownloadAssistant.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // Before the application object: no window, no display needed and no log line written.
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            useParentConsole();
            std::fputs(kUsage, stdout);
            std::fflush(stdout);
            return 0;
        }
    }
    qInstallMessageHandler(logMessageHandler);
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/talvo-hmi-tunnel.png")));
    PLCDownloadAssistant window;
    prepareWindow(window, QCoreApplication::arguments());
    window.show();
    return app.exec();
}
