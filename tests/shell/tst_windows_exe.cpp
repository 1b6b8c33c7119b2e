// Guards the cross-built Windows executable under Wine: it starts with nothing beside it but
// what the Windows build put there, and opens its window with the title in the language
// asked for. (Its imports and exports are scripts/check-windows-product's.)
#include <QDir>
#include <QFile>
#include <QProcess>
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
        if (!m_display) {
            // The tool writes beside itself: a copy in a folder of the test's own, with the
            // libraries the build put beside it. One prefix and one X server for all cases;
            // the prefix is set up by the first start in it.
            QVERIFY(QDir(m_work.path()).mkpath("prefix") && QDir(m_work.path()).mkpath("app"));
            const QDir out(kWindowsOut);
            for (const QString &file : out.entryList({"talvo-hmi-tunnel.exe", "*.dll"}, QDir::Files))
                QVERIFY(QFile::copy(out.filePath(file), m_work.filePath("app/" + file)));
            m_display = std::make_unique<VirtualDisplay>();
            QVERIFY2(m_display->start(), "Xvfb did not start");
        }
        QProcess tool;
        tool.setProcessEnvironment(wineEnvironment());
        tool.setWorkingDirectory(m_work.filePath("app"));
        tool.start(kWine, {m_work.filePath("app/talvo-hmi-tunnel.exe"), "TV0412A100", language});
        QVERIFY(tool.waitForStarted());

        const QString wanted = QStringLiteral("\"%1\"").arg(title);
        QString tree;
        const bool shown = QTest::qWaitFor([&] {
            tree = run("xwininfo", {"-root", "-tree"}, wineEnvironment());
            return tree.contains(wanted) || tool.state() == QProcess::NotRunning;
        }, kWindowTimeoutMs);
        const bool ended = tool.state() == QProcess::NotRunning;
        tool.kill();
        tool.waitForFinished(5000);
        QVERIFY2(!ended, qPrintable("the tool ended before its window appeared:\n" + tool.readAllStandardError().right(2000)));
        QVERIFY2(shown, qPrintable("no window titled " + wanted + " in:\n" + tree.right(3000)));
    }

    // Wine's own processes outlive the loader: the prefix's server ends them all.
    void cleanupTestCase()
    {
        if (!m_display)
            return;
        QProcess server;
        server.setProcessEnvironment(wineEnvironment());
        server.start(QStringLiteral("/usr/lib/wine/wineserver64"), {QStringLiteral("-k")});
        server.waitForFinished(20000);
        m_display.reset();
    }

private:
    QProcessEnvironment wineEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", m_display->name());
        env.insert("WINEPREFIX", m_work.filePath("prefix"));
        env.insert("WINEDEBUG", "-all");
        env.insert("WINEDLLOVERRIDES", "mscoree,mshtml="); // no offer to install Mono or Gecko
        env.insert("LC_ALL", "C.UTF-8");
        env.remove("QT_QPA_PLATFORM"); // the tests' offscreen platform is not in the Windows build
        return env;
    }

    QTemporaryDir m_work;
    std::unique_ptr<VirtualDisplay> m_display;
};

QTEST_GUILESS_MAIN(TestWindowsExe)
#include "tst_windows_exe.moc"
