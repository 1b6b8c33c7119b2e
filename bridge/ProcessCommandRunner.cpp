#include "bridge/ProcessCommandRunner.h"

#include "bridge/CommandInterpreter.h"

#include <QDebug>

ProcessCommandRunner::Interpreter ProcessCommandRunner::platformInterpreter()
{
    return &CommandInterpreter::prepare;
}

ProcessCommandRunner::ProcessCommandRunner(int startTimeoutMs, int finishTimeoutMs, Interpreter interpreter)
    : m_startTimeoutMs(startTimeoutMs)
    , m_finishTimeoutMs(finishTimeoutMs)
    , m_interpreter(std::move(interpreter))
{
}

QString ProcessCommandRunner::execute(const QString &cmd)
{
    // Destroyed on return; a command still running after a failed wait is killed with it.
    const std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    m_interpreter(*process, cmd);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(QIODevice::ReadWrite);

    if (!process->waitForStarted(m_startTimeoutMs)) {
        const QString result = QStringLiteral(" execute ") + cmd + QStringLiteral(" waitForStarted failed");
        qDebug() << result;
        return result;
    }
    if (!process->waitForFinished(m_finishTimeoutMs)) {
        const QString result = QStringLiteral(" execute ") + cmd + QStringLiteral(" waitForFinished failed");
        qDebug() << result;
        return result;
    }

    QByteArray output = process->readAll().trimmed();
    const int nul = output.indexOf('\0');
    if (nul >= 0)
        output.truncate(nul);
    const QString text = QString::fromUtf8(output);
    qDebug() << " execute " << cmd << " result -> " << text;
    return QStringLiteral(" execute cmd ") + text;
}
