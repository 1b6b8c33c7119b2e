#include "app/LogHandler.h"
#include "app/Startup.h"
#include "window/PLCDownloadAssistant.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    qInstallMessageHandler(logMessageHandler);
    QApplication app(argc, argv);
    PLCDownloadAssistant window;
    prepareWindow(window, QCoreApplication::arguments());
    window.show();
    return app.exec();
}
