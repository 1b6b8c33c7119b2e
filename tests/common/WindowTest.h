#pragma once

#include "window/PLCDownloadAssistant.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

struct Result
{
    int exitCode = -1;
    QString output;
};

// Runs a program while the event loop goes on (the window carries the channel on this
// thread), at most timeoutMs.
inline Result runWhileServing(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
        return {-1, QString::fromLocal8Bit(p.readAll()) + "\n(timed out)"};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromLocal8Bit(p.readAll())};
}

// A test that drives the window as the operator does: the SN box, the connection type, the
// two buttons, and what the window shows back.
class WindowTest : public QObject
{
protected:
    QScopedPointer<PLCDownloadAssistant> m_w;

    template <typename T> T *child(const char *name) { return m_w->findChild<T *>(QLatin1String(name)); }
    QString tip() { return child<QLabel>("labelTip")->text(); }
    QString caption() { return child<QPushButton>("pushButtonCreateChannel")->text(); }
    void request(const QString &type, const QString &sn = QStringLiteral("SN1"))
    {
        child<QLineEdit>("lineEditDeviceSn")->setText(sn);
        child<QComboBox>("comboBox_pcap")->setCurrentText(type);
        QTest::mouseClick(child<QPushButton>("pushButtonCreateChannel"), Qt::LeftButton);
    }
    void closeChannel() { QTest::mouseClick(child<QPushButton>("pushButtonDisConnectChannel"), Qt::LeftButton); }
};
