#include "BridgeTestSupport.h"

#include "bridge/ProcessCommandRunner.h"

#include <QtTest>

namespace {
// The runner's own behaviour, apart from which program a platform hands its lines to: a
// shell that takes each line whole, as the Windows interpreter does.
ProcessCommandRunner::Interpreter shell(const QString &program = QStringLiteral("/bin/sh"))
{
    return {program, [](const QString &cmd) { return QStringList{QStringLiteral("-c"), cmd}; }};
}
}

class TestBridgeExecute : public QObject
{
    Q_OBJECT

private slots:
    void resultText_data()
    {
        QTest::addColumn<QString>("cmd");
        QTest::addColumn<QString>("result");
        QTest::newRow("line break trimmed") << "printf '  ready\\n\\n'" << " execute cmd ready";
        QTest::newRow("error stream merged") << "echo refused >&2" << " execute cmd refused";
        QTest::newRow("both streams") << "echo out; echo err >&2" << " execute cmd out\nerr";
        QTest::newRow("nothing written") << "true" << " execute cmd ";
        QTest::newRow("exit code not looked at") << "echo failed; exit 3" << " execute cmd failed";
        QTest::newRow("text ends at a zero byte") << "printf 'abc\\000def'" << " execute cmd abc";
        QTest::newRow("utf-8 output") << "printf '\\303\\251t\\303\\251'" << QString::fromUtf8(" execute cmd été");
        // The line reaches the interpreter whole, quotes included.
        QTest::newRow("quoted argument") << "printf '%s|' \"Ethernet 2\" x" << " execute cmd Ethernet 2|x|";
    }
    void resultText()
    {
        QFETCH(QString, cmd);
        QFETCH(QString, result);
        ProcessCommandRunner runner(ProcessCommandRunner::kStartTimeoutMs, ProcessCommandRunner::kFinishTimeoutMs, shell());
        QCOMPARE(runner.execute(cmd), result);
    }

    void logLineShowsCommandAndOutput()
    {
        LogCapture log;
        ProcessCommandRunner runner(ProcessCommandRunner::kStartTimeoutMs, ProcessCommandRunner::kFinishTimeoutMs, shell());
        runner.execute(QStringLiteral("echo hi"));
        QVERIFY2(log.lines().contains(QStringLiteral(" execute  \"echo hi\"  result ->  \"hi\"")),
                 qPrintable(log.lines().join('\n')));
    }

    void commandThatDoesNotFinishIsAbandoned()
    {
        LogCapture log;
        ProcessCommandRunner runner(ProcessCommandRunner::kStartTimeoutMs, 200, shell());
        const QString cmd = QStringLiteral("sleep 30");
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runner.execute(cmd), QStringLiteral(" execute sleep 30 waitForFinished failed"));
        QVERIFY(timer.elapsed() < 10000);
        QVERIFY(log.lines().contains(QStringLiteral("\" execute sleep 30 waitForFinished failed\"")));
    }

    void interpreterThatDoesNotStart()
    {
        ProcessCommandRunner runner(2000, 2000, shell(QStringLiteral("/nonexistent/interpreter")));
        QCOMPARE(runner.execute(QStringLiteral("true")), QStringLiteral(" execute true waitForStarted failed"));
    }
};

QTEST_GUILESS_MAIN(TestBridgeExecute)
#include "tst_bridge_execute.moc"
