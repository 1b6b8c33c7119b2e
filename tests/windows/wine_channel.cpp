// The tool's own window, driven a command per line on stdin, so that a test on the Linux side
// can open channels in the Windows build under Wine and use them with Linux peers:
//   open TYPE [SN]   answers "opened CAPTION|TIP" once the window has settled
//   close            answers "closed"
//   quit
// The window talks to the real tunnel library, relay and agent; nothing is faked.
#include "window/PLCDownloadAssistant.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

namespace {

void say(const QString &line)
{
    std::fputs((line + "\n").toUtf8().constData(), stdout);
    std::fflush(stdout);
}

void run(PLCDownloadAssistant &w, const QString &line)
{
    const QStringList words = line.split(' ', Qt::SkipEmptyParts);
    if (words.value(0) == "open" && words.size() >= 2) {
        w.findChild<QLineEdit *>("lineEditDeviceSn")->setText(words.value(2, QStringLiteral("SN1")));
        w.findChild<QComboBox *>("comboBox_pcap")->setCurrentText(words[1]);
        QPushButton *create = w.findChild<QPushButton *>("pushButtonCreateChannel");
        QTest::mouseClick(create, Qt::LeftButton);
        // The serial channel reports success only once the panel answered.
        (void)QTest::qWaitFor([&] { return create->text() == QLatin1String("Success"); }, 15000);
        say("opened " + create->text() + "|" + w.findChild<QLabel *>("labelTip")->text());
    } else if (words.value(0) == "close") {
        QTest::mouseClick(w.findChild<QPushButton *>("pushButtonDisConnectChannel"), Qt::LeftButton);
        say("closed");
    } else if (words.value(0) == "quit") {
        QCoreApplication::quit();
    } else {
        say("unknown command: " + line);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    PLCDownloadAssistant w;
    w.changeLanguage(0);
    w.show();
    // No notifier watches a console handle on Windows: a reader thread hands each line over.
    std::thread reader([&w] {
        std::string line;
        while (std::getline(std::cin, line)) {
            const QString text = QString::fromStdString(line).trimmed();
            QMetaObject::invokeMethod(&w, [&w, text] { run(w, text); }, Qt::QueuedConnection);
            if (text == QLatin1String("quit"))
                return;
        }
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    say("ready");
    const int code = app.exec();
    reader.detach(); // blocked in a read when stdin stays open; the process ends anyway
    return code;
}
