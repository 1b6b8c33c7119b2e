#pragma once

#include "bridge/CommandRunner.h"

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

#include <algorithm>

// Records every command instead of running it.
class RecordingRunner : public CommandRunner
{
public:
    explicit RecordingRunner(QStringList *log) : m_log(log) {}
    QString execute(const QString &cmd) override
    {
        m_log->append(cmd);
        return QStringLiteral(" execute cmd ");
    }

private:
    QStringList *m_log;
};

// Collects the process's log lines, from any thread, while it lives.
class LogCapture
{
public:
    LogCapture()
    {
        QMutexLocker locker(&mutex());
        all().clear();
        m_previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &msg) {
            QMutexLocker locker(&mutex());
            all().append(msg);
        });
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    QStringList lines() const
    {
        QMutexLocker locker(&mutex());
        return all();
    }
    int count(const QString &start) const
    {
        const QStringList l = lines();
        return int(std::count_if(l.begin(), l.end(), [&](const QString &line) { return line.startsWith(start); }));
    }

private:
    static QMutex &mutex()
    {
        static QMutex m;
        return m;
    }
    static QStringList &all()
    {
        static QStringList lines;
        return lines;
    }
    QtMessageHandler m_previous = nullptr;
};
