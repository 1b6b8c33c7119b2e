#pragma once

#include "bridge/BridgeAdapter.h"
#include "bridge/CommandRunner.h"

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

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

// Collects the process's log lines while it lives.
class LogCapture
{
public:
    LogCapture()
    {
        QMutexLocker locker(&lock());
        current() = this;
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        QMutexLocker locker(&lock());
        current() = nullptr;
    }
    QStringList lines() const
    {
        QMutexLocker locker(&lock());
        return m_lines;
    }
    int count(const QString &start) const
    {
        int n = 0;
        for (const QString &l : lines())
            n += l.startsWith(start) ? 1 : 0;
        return n;
    }

private:
    static QMutex &lock()
    {
        static QMutex m;
        return m;
    }
    static LogCapture *&current()
    {
        static LogCapture *c = nullptr;
        return c;
    }
    static void handler(QtMsgType, const QMessageLogContext &, const QString &msg)
    {
        QMutexLocker locker(&lock());
        if (current())
            current()->m_lines.append(msg);
    }

    QtMessageHandler m_previous = nullptr;
    QStringList m_lines;
};
