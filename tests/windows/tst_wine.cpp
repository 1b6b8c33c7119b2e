// The Windows DLLs under wine64, as a Windows host would use them: pgDllTunnel.dll bound by
// ordinal against a real relay and panel agent on loopback, and vspdctl.dll with and
// without com0com. The Windows programs come from the x86_64 Windows build (TALVO_WINDOWS_OUT).
#include "TunnelFixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

namespace {

const QString kOut = QStringLiteral(TALVO_WINDOWS_OUT);
const QString kPrefix = QStringLiteral(TALVO_WINE_PREFIX);

struct WineResult
{
    bool finished = false;
    int exitCode = -1;
    QString output;
};

// Runs a Windows program of the output folder; waits on the event loop, so that the echo
// target of this process keeps answering meanwhile.
WineResult runWine(const QString &program, const QStringList &arguments, int timeoutMs = 60000)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), kPrefix);
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    env.remove(QStringLiteral("DISPLAY"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(kOut);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(TALVO_WINE64), QStringList {QDir(kOut).filePath(program)} + arguments);
    WineResult r;
    r.finished = process.waitForStarted(10000)
        && QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    if (!r.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    r.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.output = QString::fromLocal8Bit(process.readAll()).remove(QLatin1Char('\r'));
    return r;
}

// What a Windows program sees of a Linux path: drive Z: is the root.
QString windowsPath(const QString &path)
{
    return QStringLiteral("Z:") + QString(path).replace('/', '\\');
}

QString com0comFolder()
{
    return kPrefix + QStringLiteral("/drive_c/Program Files/com0com");
}

// A Windows program's text file, with its line ends made Linux ones.
QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).remove(QLatin1Char('\r')) : QString();
}

} // namespace

class TestWine : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void tunnelByOrdinalKeepsTheContract();
    void tunnelEndsWithItsHost_data();
    void tunnelEndsWithItsHost();
    void pairsWithoutCom0comFailClearly();
    void pairMadeBeforehandIsUsedAndKept();
    void pairsMadeThroughSetupc();
    void cleanup();

private:
    QStringList tunnelArguments(const QString &mode, quint16 localPort) const;

    QTemporaryDir m_dir;
    std::unique_ptr<RelayFixture> m_relay;
    ToolProcess m_agent;
    EchoServer m_echo;
    QString m_config;
};

void TestWine::initTestCase()
{
    for (const char *file : {"pgDllTunnel.dll", "tunnel_by_ordinal.exe", "vspdctl.dll", "vspdctl_calls.exe",
                             "fake-com0com/setupc.exe"})
        QVERIFY2(QFile::exists(QDir(kOut).filePath(file)),
                 qPrintable(QStringLiteral("%1 missing in %2: build it with scripts/windows-build --arch x86_64")
                                .arg(file, kOut)));
    QVERIFY2(QFile::exists(kPrefix + "/system.reg"), "no Wine prefix: the wine_prefix fixture did not run");
    QVERIFY(m_dir.isValid());
    QVERIFY(m_echo.isListening());
    m_relay = std::make_unique<RelayFixture>(m_dir.path());
    QVERIFY(m_relay->start());
    const QString panel = writePanelConfig(m_dir.path(), "panel.ini", "SN1", "secret-1", m_relay->port(),
                                           m_relay->fingerprint(),
                                           {QStringLiteral("127.0.0.1:7530=127.0.0.1:%1").arg(m_echo.serverPort())});
    QVERIFY(m_agent.start(kPanelBinary, panel));
    QVERIFY(m_agent.waitForOutput("registered at"));
    m_config = writeTunnelConfig(m_dir.filePath("demoTunnel.cfg"), m_relay->port(), m_relay->fingerprint(),
                                 "token-a");
}

QStringList TestWine::tunnelArguments(const QString &mode, quint16 localPort) const
{
    return {mode, windowsPath(m_config), QStringLiteral("token-a"), QStringLiteral("SN1"),
            QStringLiteral("127.0.0.1:7530"), QStringLiteral("127.0.0.1:%1").arg(localPort)};
}

// From the first call to TunnelStop and FreeLibrary, with 1 MiB through the relay and back.
void TestWine::tunnelByOrdinalKeepsTheContract()
{
    const WineResult r = runWine("tunnel_by_ordinal.exe", tunnelArguments("full", freePort()), 120000);
    QVERIFY2(r.finished, qPrintable("hung:\n" + r.output));
    QVERIFY2(r.exitCode == 0 && r.output.contains("full: ") && r.output.contains(", 0 failed"),
             qPrintable(r.output));
    QVERIFY(m_relay->process().waitForOutput("PC user"));
}

// A host that ends without TunnelStop must end all the same, promptly and cleanly: by
// exiting with the tunnel and a stream open (process end under the loader lock), or by
// unloading the running library (which keeps itself loaded instead).
void TestWine::tunnelEndsWithItsHost_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("exit with a stream open") << QStringLiteral("exit");
    QTest::newRow("FreeLibrary while running") << QStringLiteral("unload");
}

void TestWine::tunnelEndsWithItsHost()
{
    QFETCH(QString, mode);
    const WineResult r = runWine("tunnel_by_ordinal.exe", tunnelArguments(mode, freePort()), 60000);
    QVERIFY2(r.finished, qPrintable("hung at its end:\n" + r.output));
    QVERIFY2(r.exitCode == 0 && r.output.contains(mode + ": ") && r.output.contains(", 0 failed"),
             qPrintable(r.output));
}

void TestWine::pairsWithoutCom0comFailClearly()
{
    const WineResult r = runWine("vspdctl_calls.exe", {"create", "COM30", "COM31", "delete", "COM30"});
    QVERIFY2(r.finished && r.exitCode == 0, qPrintable(r.output));
    QVERIFY2(r.output.contains("create COM30 COM31: 0 (") && r.output.contains("com0com is not installed")
                 && r.output.contains("Program Files\\com0com\\setupc.exe"),
             qPrintable(r.output));
    QVERIFY2(r.output.contains("delete COM30: 0 ("), qPrintable(r.output));
}

// Two ports joined by someone else (here: Wine's links to devices) are used as they are,
// and never removed.
void TestWine::pairMadeBeforehandIsUsedAndKept()
{
    const QString devices = kPrefix + "/dosdevices/";
    QVERIFY(QFile::link("/dev/null", devices + "com40"));
    QVERIFY(QFile::link("/dev/null", devices + "com41"));
    const WineResult r = runWine("vspdctl_calls.exe", {"create", "COM40", "COM41", "delete", "COM40", "create",
                                                       "COM40", "COM42"});
    QVERIFY2(r.finished && r.exitCode == 0, qPrintable(r.output));
    QVERIFY2(r.output.contains("create COM40 COM41: 1\ndelete COM40: 1\ncreate COM40 COM42: 0 ("),
             qPrintable(r.output));
    QVERIFY(QFileInfo(devices + "com40").isSymLink());
    QVERIFY(QFileInfo(devices + "com41").isSymLink());
}

// setupc.exe in com0com's folder (a stand-in that keeps its pairs in a file): a pair is
// installed once, in setupc's folder; the user's pair 5 and a taken name are left alone;
// only the pair made here is removed.
void TestWine::pairsMadeThroughSetupc()
{
    const QString folder = com0comFolder();
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::copy(QDir(kOut).filePath("fake-com0com/setupc.exe"), folder + "/setupc.exe"));
    QVERIFY(saveFile(folder + "/pairs.txt", "5 COM50 COM51\n"));
    const WineResult r = runWine("vspdctl_calls.exe",
                                 {"create", "COM30", "COM31", "create", "COM31", "COM30", "create", "COM30",
                                  "COM32", "create", "COM50", "COM51", "delete", "COM51", "delete", "COM31",
                                  "delete", "COM31"});
    QVERIFY2(r.finished && r.exitCode == 0, qPrintable(r.output));
    const QStringList lines = r.output.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 7);
    QCOMPARE(lines[0], QStringLiteral("create COM30 COM31: 1"));
    QCOMPARE(lines[1], QStringLiteral("create COM31 COM30: 1"));
    QVERIFY2(lines[2].startsWith("create COM30 COM32: 0 (") && lines[2].contains("COM30 is joined to COM31"),
             qPrintable(lines[2]));
    QCOMPARE(lines[3], QStringLiteral("create COM50 COM51: 1"));
    QCOMPARE(lines[4], QStringLiteral("delete COM51: 1"));
    QCOMPARE(lines[5], QStringLiteral("delete COM31: 1"));
    QVERIFY2(lines[6].startsWith("delete COM31: 0 ("), qPrintable(lines[6]));

    const QString calls = readText(folder + "/calls.txt");
    QCOMPARE(calls.count(" install "), 1);
    QVERIFY2(calls.contains(" install PortName=COM30 PortName=COM31\n"), qPrintable(calls));
    QCOMPARE(calls.count(" remove "), 1);
    QVERIFY2(calls.contains(" remove 0\n"), qPrintable(calls));
    QCOMPARE(readText(folder + "/pairs.txt"), QStringLiteral("5 COM50 COM51\n"));
}

// Each case leaves the prefix as it found it.
void TestWine::cleanup()
{
    QDir(com0comFolder()).removeRecursively();
    for (const char *port : {"com40", "com41"})
        QFile::remove(kPrefix + "/dosdevices/" + port);
}

QTEST_GUILESS_MAIN(TestWine)
#include "tst_wine.moc"
