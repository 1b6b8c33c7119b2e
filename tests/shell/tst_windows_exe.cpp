// Guards the cross-built Windows executable under Wine: it starts with nothing beside it but
// what the Windows build put there, and opens its window with the title in the language
// asked for. (Its imports and exports are scripts/check-windows-product's.)
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kWindowsOut = QStringLiteral(TALVO_WINDOWS_OUT);
const QString kWine = QStringLiteral("/usr/lib/wine/wine64");
} // namespace

class TestWindowsExe : public QObject
{
    Q_OBJECT

private slots:
    // The tool writes beside itself: a copy in a folder of the test's own, with the libraries
    // the build put beside it; one prefix (set up by the first start in it) and one private X
    // server for all cases.
    void initTestCase()
    {
        const QDir out(kWindowsOut);
        QVERIFY2(out.exists("talvo-hmi-tunnel.exe"), qPrintable(kWindowsOut + ": build the Windows tree first"));
        if (!QFile::exists(kWine) || QStandardPaths::findExecutable("Xvfb").isEmpty()
            || QStandardPaths::findExecutable("xwininfo").isEmpty())
            QSKIP("wine64, Xvfb or xwininfo is not installed");
        QVERIFY(QDir(m_work.path()).mkpath("prefix") && QDir(m_work.path()).mkpath("app"));
        for (const QString &file : out.entryList({"talvo-hmi-tunnel.exe", "*.dll"}, QDir::Files))
            QVERIFY(QFile::copy(out.filePath(file), m_work.filePath("app/" + file)));
        // Its display number is what it writes to -displayfd.
        m_xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1100x700x24", "-nolisten", "tcp"});
        QByteArray display;
        QVERIFY2(QTest::qWaitFor([&] { return (display += m_xvfb.readAllStandardOutput()).contains('\n'); }, 20000),
                 "Xvfb did not start");
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert("DISPLAY", ":" + display.trimmed());
        m_env.insert("WINEPREFIX", m_work.filePath("prefix"));
        m_env.insert("WINEDEBUG", "-all");
        m_env.insert("WINEDLLOVERRIDES", "mscoree,mshtml="); // no offer to install Mono or Gecko
        m_env.insert("LC_ALL", "C.UTF-8");
        m_env.remove("QT_QPA_PLATFORM"); // the tests' offscreen platform is not in the Windows build
    }

    void windowUnderWine_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("title");
        QTest::newRow("English") << "en" << "Talvo-HMI Tunnel";
        QTest::newRow("Chinese") << "cn" << QString::fromUtf8("Talvo-HMI透传工具");
    }
    void windowUnderWine()
    {
        QFETCH(QString, language);
        QFETCH(QString, title);
        QProcess tool;
        tool.setProcessEnvironment(m_env);
        tool.setWorkingDirectory(m_work.filePath("app"));
        tool.start(kWine, {m_work.filePath("app/talvo-hmi-tunnel.exe"), "TV0412A100", language});
        QVERIFY(tool.waitForStarted());

        const QString wanted = QStringLiteral("\"%1\"").arg(title);
        QString tree;
        // The first start in a new prefix sets the prefix up, which takes a while on a busy
        // machine; the wait ends before Qt Test's 300 s watchdog, so that cleanupTestCase runs.
        const bool shown = QTest::qWaitFor([&] {
            QProcess xwininfo;
            xwininfo.setProcessEnvironment(m_env);
            xwininfo.start("xwininfo", {"-root", "-tree"});
            xwininfo.waitForFinished(30000);
            tree = QString::fromUtf8(xwininfo.readAllStandardOutput());
            return tree.contains(wanted) || tool.state() == QProcess::NotRunning;
        }, 240000);
        const bool ended = tool.state() == QProcess::NotRunning;
        tool.kill();
        tool.waitForFinished(5000);
        QVERIFY2(!ended, qPrintable("the tool ended before its window appeared:\n" + tool.readAllStandardError().right(2000)));
        QVERIFY2(shown, qPrintable("no window titled " + wanted + " in:\n" + tree.right(3000)));
    }

    // Wine's own processes outlive the loader: the prefix's server ends them all.
    void cleanupTestCase()
    {
        if (m_env.isEmpty())
            return;
        QProcess server;
        server.setProcessEnvironment(m_env);
        server.start(QStringLiteral("/usr/lib/wine/wineserver64"), {QStringLiteral("-k")});
        server.waitForFinished(20000);
        m_xvfb.terminate();
        if (!m_xvfb.waitForFinished(5000))
            m_xvfb.kill();
    }

private:
    QTemporaryDir m_work;
    QProcess m_xvfb;
    QProcessEnvironment m_env;
};

QTEST_GUILESS_MAIN(TestWindowsExe)
#include "tst_windows_exe.moc"
