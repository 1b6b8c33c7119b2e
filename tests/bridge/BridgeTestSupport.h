#pragma once

#include "bridge/CommandRunner.h"

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

#include <algorithm>

inline int startingWith(const QStringList &lines, const QString &start)
{
    return int(std::count_if(lines.begin(), lines.end(), [&](const QString &l) { return l.startsWith(start); }));
}

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
        QMutexLocker locker(&s_mutex);
        s_lines.clear();
        m_previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &msg) {
            QMutexLocker locker(&s_mutex);
            s_lines.append(msg);
        });
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    QStringList lines() const
    {
        QMutexLocker locker(&s_mutex);
        return s_lines;
    }
    int count(const QString &start) const { return startingWith(lines(), start); }

private:
    static inline QMutex s_mutex;
    static inline QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};
