#include "app/LogHandler.h"

#include "base/AppDir.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QTextStream>

const char LogFile::kFileName[] = "log_forPcap.txt";
const char LogFile::kBackupSuffix[] = ".backup";

QString LogFile::formatLine(QtMsgType type, const QString &msg, const QDateTime &now)
{
    QString level;
    switch (type) {
    case QtDebugMsg: level = QStringLiteral("Debug:"); break;
    case QtWarningMsg: level = QStringLiteral("Warning:"); break;
    case QtCriticalMsg: level = QStringLiteral("Critical:"); break;
    case QtFatalMsg: level = QStringLiteral("Fatal:"); break;
    default: break; // info: no word, which leaves two blanks
    }
    const QString stamp = QStringLiteral("(%1)").arg(now.toString(QStringLiteral("yy/MM/dd hh:mm:ss")));
    return QStringLiteral("%1 %2 %3").arg(stamp).arg(level).arg(msg);
}

bool LogFile::append(const QString &dir, const QStringList &lines)
{
    const QString logPath = dir + QLatin1Char('/') + QLatin1String(kFileName);
    const QString backupPath = logPath + QLatin1String(kBackupSuffix);

    const QFileInfo info(logPath);
    if (info.exists() && info.size() > kRotateAbove) {
        QFile::remove(backupPath);
        if (!QFile::rename(logPath, backupPath)) {
            // A log another program holds open cannot be renamed on every system; a whole
            // copy followed by a fresh start still bounds it, a failed copy must not lose it.
            if (QFile::copy(logPath, backupPath))
                QFile(logPath).resize(0);
        }
    }

    QFile file(logPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    QTextStream out(&file);
    for (const QString &line : lines)
        out << line << "\r\n";
    out.flush();
    file.close();
    return true;
}

namespace {

// Never destroyed: threads may still log while static objects are torn down at exit.
QMutex &logLock()
{
    static QMutex *lock = new QMutex;
    return *lock;
}

// Lines that arrive before any directory is known (no application object yet) wait here,
// bounded, and go out ahead of the first line that can be written.
constexpr int kMaxPending = 64;

} // namespace

void logMessageHandler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    // A message raised while this thread is inside the handler (by a file operation, say)
    // would deadlock on the lock or recurse; it is dropped.
    static thread_local bool inside = false;
    if (inside)
        return;
    inside = true;

    const QString line = LogFile::formatLine(type, msg, QDateTime::currentDateTime());
    {
        QMutexLocker locker(&logLock());
        static QString lastDir;
        static QStringList pending;

        const QString dir = AppDir::path();
        if (!dir.isEmpty())
            lastDir = dir; // later messages, even after the application is gone, go here too
        if (lastDir.isEmpty()) {
            if (pending.size() < kMaxPending)
                pending.append(line);
        } else {
            pending.append(line);
            LogFile::append(lastDir, pending);
            pending.clear();
        }
    }
    inside = false;
}
