// Guards the cross-built Windows executable: a GUI program that needs no DLL beside it but
// the tunnel library, exports OpenTun, and under Wine opens its window with the title in
// the language asked for.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
const QString kWindowsOut = QStringLiteral(TALVO_WINDOWS_OUT);
const QString kWine = QStringLiteral("/usr/lib/wine/wine64");
// The first start in a new prefix sets the prefix up, which takes a while on a busy machine.
constexpr int kWindowTimeoutMs = 300000;

QString exePath()
{
    return kWindowsOut + QStringLiteral("/talvo-hmi-tunnel.exe");
}

QString objdump()
{
    for (const char *name : {"x86_64-w64-mingw32-objdump", "i686-w64-mingw32-objdump", "objdump"}) {
        const QString found = QStandardPaths::findExecutable(QLatin1String(name));
        if (!found.isEmpty())
            return found;
    }
    return QString();
}

QString run(const QString &program, const QStringList &args, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.waitForFinished(30000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

// A private X server; its display number is what it writes to -displayfd.
class VirtualDisplay
{
public:
    bool start()
    {
        m_server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                                QStringLiteral("0"), QStringLiteral("1100x700x24"),
                                                QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        if (!m_server.waitForStarted(10000))
            return false;
        QByteArray out;
        const bool told = QTest::qWaitFor([&] {
            out += m_server.readAllStandardOutput();
            return out.contains('\n') || m_server.state() != QProcess::Running;
        }, 20000);
        if (!told || !out.contains('\n'))
            return false;
        m_name = QStringLiteral(":") + QString::fromLatin1(out.trimmed());
        return true;
    }
    ~VirtualDisplay()
    {
        m_server.terminate();
        if (!m_server.waitForFinished(5000))
            m_server.kill();
    }
    QString name() const { return m_name; }

private:
    QProcess m_server;
    QString m_name;
};
} // namespace

class TestWindowsExe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(exePath()), qPrintable(exePath() + " is missing: build the Windows tree first"));
    }

    // Loaded on a PC where only the tunnel library lies beside it: every other DLL it names
    // must be part of Windows itself.
    void imageNeedsOnlySystemDlls()
    {
        const QString tool = objdump();
        if (tool.isEmpty())
            QSKIP("no objdump that reads PE files");
        const QString headers = run(tool, {QStringLiteral("-p"), exePath()});
        QVERIFY2(headers.contains(QRegularExpression("Subsystem\\s+0+2\\s+\\(Windows GUI\\)")), "not a GUI program");
        QRegularExpression dll("DLL Name: (\\S+)");
        QStringList names;
        for (auto it = dll.globalMatch(headers); it.hasNext();)
            names << it.next().captured(1).toLower();
        QVERIFY(!names.isEmpty());
        const QRegularExpression system(
            "^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|comdlg32|imm32|winmm|ws2_32|"
            "iphlpapi|uxtheme|dwmapi|version|netapi32|userenv|wtsapi32|mpr|shlwapi|crypt32|bcrypt|"
            "msvcrt|setupapi|winspool\\.drv|rpcrt4|api-ms-win-[a-z0-9-]+)\\.dll$|^winspool\\.drv$");
        for (const QString &name : names)
            QVERIFY2(name == QLatin1String("pgdlltunnel.dll") || system.match(name).hasMatch(), qPrintable(name));
        // OpenTun is found by name, without decoration, on both architectures.
        QVERIFY2(headers.contains(QRegularExpression("\\]\\s+OpenTun\\s*$", QRegularExpression::MultilineOption)),
                 "OpenTun is not exported");
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
        if (!QFile::exists(kWine) || QStandardPaths::findExecutable("Xvfb").isEmpty()
            || QStandardPaths::findExecutable("xwininfo").isEmpty())
            QSKIP("wine64, Xvfb or xwininfo is not installed");

        // The tool writes beside itself: a copy in a folder of the test's own, with the
        // libraries the build put beside it.
        QTemporaryDir work;
        QVERIFY(QDir(work.path()).mkpath("prefix") && QDir(work.path()).mkpath("app"));
        const QDir out(kWindowsOut);
        for (const QString &file : out.entryList({"*.exe", "*.dll"}, QDir::Files))
            QVERIFY(QFile::copy(out.filePath(file), work.filePath("app/" + file)));

        VirtualDisplay display;
        QVERIFY2(display.start(), "Xvfb did not start");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display.name());
        env.insert("WINEPREFIX", work.filePath("prefix"));
        env.insert("WINEDEBUG", "-all");
        env.insert("WINEDLLOVERRIDES", "mscoree,mshtml="); // no offer to install Mono or Gecko
        env.insert("LC_ALL", "C.UTF-8");
        env.remove("QT_QPA_PLATFORM"); // the tests' offscreen platform is not in the Windows build
        QProcess tool;
        tool.setProcessEnvironment(env);
        tool.setWorkingDirectory(work.filePath("app"));
        tool.start(kWine, {work.filePath("app/talvo-hmi-tunnel.exe"), "TV0412A100", language});
        QVERIFY(tool.waitForStarted());

        const QString wanted = QStringLiteral("\"%1\"").arg(title);
        QString tree;
        const bool shown = QTest::qWaitFor([&] {
            tree = run("xwininfo", {"-root", "-tree"}, env);
            return tree.contains(wanted) || tool.state() == QProcess::NotRunning;
        }, kWindowTimeoutMs);

        const bool ended = tool.state() == QProcess::NotRunning;
        // Wine's own processes outlive the loader: end the prefix's server and all it runs.
        QProcess kill;
        kill.setProcessEnvironment(env);
        kill.start(QStringLiteral("/usr/lib/wine/wineserver64"), {"-k"});
        kill.waitForFinished(20000);
        tool.kill();
        tool.waitForFinished(5000);

        QVERIFY2(!ended, qPrintable("the tool ended before its window appeared:\n" + tool.readAllStandardError().right(2000)));
        QVERIFY2(shown, qPrintable("no window titled " + wanted + " in:\n" + tree.right(3000)));
    }
};

QTEST_GUILESS_MAIN(TestWindowsExe)
#include "tst_windows_exe.moc"
