// The Windows DLLs under wine64, as a Windows host would use them: pgDllTunnel.dll bound by
// ordinal against a real relay and panel agent on loopback, and vspdctl.dll with and
// without com0com. The Windows programs come from the x86_64 Windows build (TALVO_WINDOWS_OUT).
#include "RealPanel.h"
#include "WindowTest.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {

const QString kOut = QStringLiteral(TALVO_WINDOWS_OUT);
const QString kPrefix = QStringLiteral(TALVO_WINE_PREFIX);
const QString kCom0com = kPrefix + "/drive_c/Program Files/com0com";
const QString kDevices = kPrefix + "/dosdevices/";

// A Windows program of the output folder, its line ends made Linux ones; the event loop
// goes on meanwhile, so that the echo target of this process keeps answering.
Result runWine(const QString &program, const QStringList &arguments, int timeoutMs = 60000)
{
    Result r = runWhileServing(TALVO_WINE64, QStringList {kOut + "/" + program} + arguments, timeoutMs);
    r.output.remove('\r');
    return r;
}

} // namespace

class TestWine : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    RealPanel m_panel;
    EchoServer m_echo;

private slots:
    void initTestCase()
    {
        for (const char *file : {"pgDllTunnel.dll", "tunnel_by_ordinal.exe", "vspdctl.dll", "vspdctl_calls.exe",
                                 "fake-com0com/setupc.exe"})
            QVERIFY2(QFile::exists(kOut + "/" + file),
                     qPrintable(kOut + "/" + file + " missing: build it with scripts/windows-build --arch x86_64"));
        QVERIFY2(QFile::exists(kPrefix + "/system.reg"), "no Wine prefix: the wine_prefix fixture did not run");
        qputenv("WINEPREFIX", kPrefix.toLocal8Bit());
        qputenv("WINEDEBUG", "-all");
        qunsetenv("DISPLAY");
        QVERIFY(m_dir.isValid() && m_echo.isListening());
        m_panel.start(m_dir.path(), {QStringLiteral("127.0.0.1:7530=127.0.0.1:%1").arg(m_echo.serverPort())});
        m_panel.writeToolConfig(m_dir.path());
    }

    // A host binding by ordinal keeps the contract from the first call to TunnelStop and
    // FreeLibrary, with 1 MiB through the relay and back; a host that ends without TunnelStop
    // ends all the same, promptly and cleanly: by exiting with the tunnel and a stream open
    // (process end under the loader lock), or by unloading the running library (which keeps
    // itself loaded instead).
    void tunnelByOrdinal_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("the whole contract") << QStringLiteral("full");
        QTest::newRow("exit with a stream open") << QStringLiteral("exit");
        QTest::newRow("FreeLibrary while running") << QStringLiteral("unload");
    }

    void tunnelByOrdinal()
    {
        QFETCH(QString, mode);
        const QString config = "Z:" + m_dir.filePath("demoTunnel.cfg").replace('/', '\\');
        const Result r = runWine("tunnel_by_ordinal.exe", {mode, config, "token-a", "SN1", "127.0.0.1:7530",
                                                           QStringLiteral("127.0.0.1:%1").arg(freePort())},
                                 120000);
        QVERIFY2(r.exitCode == 0 && r.output.contains(mode + ": ") && r.output.contains(", 0 failed"),
                 qPrintable(r.output));
        QVERIFY(m_panel.relay->process().waitForOutput("PC user"));
    }

    // vspdctl.dll's pairs. Without com0com: a clear failure naming where setupc.exe was looked
    // for, and two ports joined by someone else (here: Wine's links to devices) used as they
    // are, never removed. setupc.exe in com0com's folder (a stand-in that keeps its pairs in a
    // file): a pair is installed once, in setupc's folder; the user's pair 5 and a taken name
    // are left alone; only the pair made here is removed.
    void pairs_data()
    {
        QTest::addColumn<bool>("setupc");
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QStringList>("lines"); // "...: 0 (WHY": the line starts so and says WHY
        QTest::newRow("without com0com")
            << false << "create COM30 COM31 delete COM30 create COM40 COM41 delete COM40 create COM40 COM42"
            << QStringList {"create COM30 COM31: 0 (com0com is not installed (no setupc.exe in "
                            "C:\\Program Files\\com0com\\setupc.exe",
                            "delete COM30: 0 (", "create COM40 COM41: 1", "delete COM40: 1", "create COM40 COM42: 0 ("};
        QTest::newRow("through setupc")
            << true
            << "create COM30 COM31 create COM31 COM30 create COM30 COM32 create COM50 COM51 "
               "delete COM51 delete COM31 delete COM31"
            << QStringList {"create COM30 COM31: 1", "create COM31 COM30: 1",
                            "create COM30 COM32: 0 (COM30 is joined to COM31", "create COM50 COM51: 1",
                            "delete COM51: 1", "delete COM31: 1", "delete COM31: 0 ("};
    }

    void pairs()
    {
        QFETCH(bool, setupc);
        QFETCH(QString, calls);
        QFETCH(QStringList, lines);
        if (setupc) {
            QVERIFY(QDir().mkpath(kCom0com));
            QVERIFY(QFile::copy(kOut + "/fake-com0com/setupc.exe", kCom0com + "/setupc.exe"));
            QVERIFY(saveFile(kCom0com + "/pairs.txt", "5 COM50 COM51\n"));
        } else {
            QVERIFY(QFile::link("/dev/null", kDevices + "com40"));
            QVERIFY(QFile::link("/dev/null", kDevices + "com41"));
        }
        const Result r = runWine("vspdctl_calls.exe", calls.split(' '));
        const QStringList said = r.output.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(r.exitCode == 0 && said.size() == lines.size(), qPrintable(r.output));
        for (int i = 0; i < lines.size(); ++i) {
            const int why = lines[i].indexOf('(') + 1;
            QVERIFY2(why ? said[i].startsWith(lines[i].left(why)) && said[i].contains(lines[i].mid(why))
                         : said[i] == lines[i],
                     qPrintable(said[i] + " / " + lines[i]));
        }

        if (!setupc) {
            QVERIFY(QFileInfo(kDevices + "com40").isSymLink());
            QVERIFY(QFileInfo(kDevices + "com41").isSymLink());
        } else {
            const QByteArray log = readFile(kCom0com + "/calls.txt").replace("\r\n", "\n");
            QCOMPARE(log.count(" install "), 1);
            QVERIFY2(log.contains(" install PortName=COM30 PortName=COM31\n"), log.constData());
            QCOMPARE(log.count(" remove "), 1);
            QVERIFY2(log.contains(" remove 0\n"), log.constData());
            QCOMPARE(readFile(kCom0com + "/pairs.txt").replace("\r\n", "\n"), QByteArray("5 COM50 COM51\n"));
        }
    }

    // Each case leaves the prefix as it found it.
    void cleanup()
    {
        QDir(kCom0com).removeRecursively();
        for (const char *port : {"com40", "com41"})
            QFile::remove(kDevices + port);
    }
};

QTEST_GUILESS_MAIN(TestWine)
#include "tst_wine.moc"
