#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

// Qt message handler: every diagnostic of the process goes to log_forPcap.txt in the
// application directory, one line per message.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

class LogFile
{
public:
    static constexpr qint64 kRotateAbove = 1000000;
    static const char kFileName[];
    static const char kBackupSuffix[];

    // "(yy/MM/dd hh:mm:ss) Level: text"; the text goes in last so that "%" sequences in it
    // stay literal.
    static QString formatLine(QtMsgType type, const QString &msg, const QDateTime &now);

    // Appends the lines (each followed by CR LF) to the log in dir. A log that has grown past
    // kRotateAbove bytes becomes the backup first, replacing the older one, so that neither
    // file grows without bound. Returns false when the log could not be opened.
    static bool append(const QString &dir, const QStringList &lines);
};
