#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QString>

// Shell commands of the namespace tests (ip, ethtool, sysctl): the exit code, or the output.
inline int sh(const QString &cmd)
{
    return QProcess::execute(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), cmd});
}

inline QString shOutput(const QString &cmd)
{
    QProcess p;
    p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), cmd});
    p.waitForFinished(10000);
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

inline bool isUp(const QString &interface)
{
    return shOutput("ip -o link show dev " + interface).contains(QRegularExpression("<[^>]*\\bUP\\b"));
}
