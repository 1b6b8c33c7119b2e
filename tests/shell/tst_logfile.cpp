// Guards the log against unbounded growth, lost early lines, torn lines and text taken as format arguments.
#include "Files.h"
#include "base/AppDir.h"
#include "app/LogHandler.h"

#include <QtTest>

// Runs without an application object on purpose: the handler must cope with that.
class TestLogFile : public QObject
{
    Q_OBJECT

private slots:
    // An info line has no level word; a '%' in a message is text, never an argument.
    void lineFormat()
    {
        const QDateTime at(QDate(2024, 5, 7), QTime(14, 3, 59));
        QCOMPARE(LogFile::formatLine(QtInfoMsg, "i", at), QStringLiteral("(24/05/07 14:03:59)  i"));
        QCOMPARE(LogFile::formatLine(QtDebugMsg, "50% %1 %2 %3", at),
                 QStringLiteral("(24/05/07 14:03:59) Debug: 50% %1 %2 %3"));
    }

    void rotationStartsAboveOneMillionBytes()
    {
        QTemporaryDir dir;
        const QString log = dir.filePath("log_forPcap.txt");
        const QString backup = log + ".backup";

        QVERIFY(saveFile(log, QByteArray(1000000, 'a')));
        QVERIFY(LogFile::append(dir.path(), {"x"}));
        QVERIFY2(!QFile::exists(backup), "a log of exactly 1,000,000 bytes is not rotated");
        QCOMPARE(QFileInfo(log).size(), 1000003);

        // Now 1,000,003 bytes: the whole log becomes the backup, the new line starts a fresh log.
        const QByteArray full = readFile(log);
        QVERIFY(LogFile::append(dir.path(), {"fresh", "lines"}));
        QCOMPARE(readFile(backup), full);
        QCOMPARE(readFile(log), QByteArray("fresh\r\nlines\r\n"));

        // An older backup is replaced by the next full log, never kept growing beside it.
        QVERIFY(saveFile(log, QByteArray(1000001, 'b')));
        QVERIFY(LogFile::append(dir.path(), {"again"}));
        QCOMPARE(readFile(backup), QByteArray(1000001, 'b'));
        QCOMPARE(readFile(log), QByteArray("again\r\n"));
    }

    void unopenableLogLosesOnlyThatMessage()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("log_forPcap.txt")); // a directory in the log's place
        QVERIFY(!LogFile::append(dir.path(), {"lost"}));
        QVERIFY(!LogFile::append(dir.path() + "/missing", {"lost"}));
    }

    // Before any directory is known (no application object, no override) lines wait and
    // are written, in order, ahead of the first line that has a place to go.
    void handlerWithoutApplicationKeepsEarlyLines()
    {
        QVERIFY(!QCoreApplication::instance());
        QTemporaryDir dir;
        AppDir::setOverride(QString());
        logMessageHandler(QtDebugMsg, QMessageLogContext(), "early");
        QVERIFY(!QFile::exists(dir.filePath("log_forPcap.txt")));

        AppDir::setOverride(dir.path());
        logMessageHandler(QtWarningMsg, QMessageLogContext(), "later");
        const QList<QByteArray> lines = readFile(dir.filePath("log_forPcap.txt")).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].endsWith(" Debug: early\r"));
        QVERIFY(lines[1].endsWith(" Warning: later\r"));
    }

    void twoThreadsWriteWholeLines()
    {
        QTemporaryDir dir;
        AppDir::setOverride(dir.path());
        const QString payload(200, QLatin1Char('x'));
        constexpr int kPerThread = 1500;
        auto writer = [&](const char *tag) {
            return QThread::create([payload, tag] { // a writer left behind outlives this frame
                for (int i = 0; i < kPerThread && !QThread::currentThread()->isInterruptionRequested(); ++i)
                    logMessageHandler(QtDebugMsg, QMessageLogContext(),
                                      QStringLiteral("%1 %2 %3").arg(tag).arg(i).arg(payload));
            });
        };
        QScopedPointer<QThread> a(writer("A")), b(writer("B"));
        a->start();
        b->start();
        // A QThread destroyed while it runs aborts the whole program, as a failed check would
        // have it here; one that does not stop in time is left behind instead.
        const auto stopWriters = qScopeGuard([&] {
            for (QScopedPointer<QThread> *t : {&a, &b}) {
                (*t)->requestInterruption();
                if (!(*t)->wait(10000))
                    (void)t->take();
            }
        });
        QVERIFY(a->wait(60000));
        QVERIFY(b->wait(60000));

        const QByteArray all = readFile(dir.filePath("log_forPcap.txt"));
        QVERIFY(all.endsWith("\r\n"));
        const QList<QByteArray> lines = all.left(all.size() - 2).split('\n');
        QCOMPARE(lines.size(), 2 * kPerThread);
        const QRegularExpression whole(QStringLiteral(
            "^\\(\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\) Debug: ([AB]) (\\d+) x{200}\\r?$"));
        int next[2] = {0, 0};
        for (const QByteArray &line : lines) {
            const auto m = whole.match(QString::fromLatin1(line));
            QVERIFY2(m.hasMatch(), line.left(80).constData());
            const int who = m.captured(1) == QLatin1String("A") ? 0 : 1;
            QCOMPARE(m.captured(2).toInt(), next[who]++); // each thread's lines in its order
        }
        AppDir::setOverride(QString());
    }
};

QTEST_APPLESS_MAIN(TestLogFile)
#include "tst_logfile.moc"
