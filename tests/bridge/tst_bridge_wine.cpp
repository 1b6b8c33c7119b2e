// Guards the bridge's Windows seams under Wine: a netsh line reaches cmd verbatim, quotes
// and all; a missing or incomplete wpcap.dll is reported, not crashed on; a complete one is
// used through its function table.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kOut = QStringLiteral(TALVO_WINDOWS_OUT);
const QString kWine = QStringLiteral("/usr/lib/wine/wine64");
constexpr int kWineTimeoutMs = 180000;
} // namespace

class TestBridgeWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert("WINEPREFIX", m_prefix.path());
        m_env.insert("WINEDEBUG", "-all");
        m_env.remove("DISPLAY");
        QVERIFY2(QFile::exists(kOut + "/bridge_peer.exe"), qPrintable(kOut + "/bridge_peer.exe is missing: build the Windows tree first"));
        if (!QFile::exists(kWine))
            QSKIP("wine64 is not installed");
    }

    // What bridge_peer prints, line by line; an expected line ending in "(" goes on with the
    // reason. "command": QProcess would quote the line as one argument and escape its quotes
    // with backslashes, which cmd passes on: netsh would be given \"Local.
    void peer_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("library"); // the stand-in for wpcap.dll beside the program; empty: none
        QTest::addColumn<QStringList>("expected");
        const QString netsh = "netsh interface set interface \"Local Area Connection 2\" admin=disable";
        QTest::newRow("netsh line verbatim")
            << QStringList {"command", "echo " + netsh + " "} << QString() << QStringList {"execute cmd " + netsh};
        const QString missing = "the capture library wpcap.dll is not installed (";
        const QString partial = "the capture library wpcap.dll lacks pcap_sendpacket";
        QTest::newRow("wpcap.dll missing")
            << QStringList {"capture"} << QString()
            << QStringList {"library: " + missing, "list failed: " + missing, "open: " + missing};
        QTest::newRow("wpcap.dll without pcap_sendpacket")
            << QStringList {"capture"} << "fake-wpcap-partial"
            << QStringList {"library: " + partial, "list failed: " + partial, "open: " + partial};
        QTest::newRow("wpcap.dll complete")
            << QStringList {"capture"} << "fake-wpcap-full"
            << QStringList {"library: ok", "device: \\Device\\NPF_{TEST}|TAP-Windows Adapter V9", "open: ok"};
    }
    void peer()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, library);
        QFETCH(QStringList, expected);
        // From a folder of its own, with the given stand-in for wpcap.dll. Wine brings a
        // wpcap.dll of its own: "wpcap=" takes it away, "wpcap=n" makes the one beside the
        // program count.
        QTemporaryDir app;
        QVERIFY(QFile::copy(kOut + "/bridge_peer.exe", app.filePath("bridge_peer.exe")));
        QVERIFY(library.isEmpty() || QFile::copy(kOut + "/" + library + "/wpcap.dll", app.filePath("wpcap.dll")));
        QProcessEnvironment env = m_env;
        env.insert("WINEDLLOVERRIDES", QStringLiteral("mscoree,mshtml=;wpcap=") + (library.isEmpty() ? "" : "n"));
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(kWine, QStringList {app.filePath("bridge_peer.exe")} + args);
        QVERIFY2(p.waitForFinished(kWineTimeoutMs), "time-out");
        const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).remove('\r').trimmed().split('\n');
        QCOMPARE(lines.size(), expected.size());
        for (int i = 0; i < lines.size(); ++i) {
            const QString line = lines[i].trimmed();
            QVERIFY2(expected[i].endsWith('(') ? line.startsWith(expected[i]) : line == expected[i],
                     qPrintable(line + " / " + expected[i]));
        }
    }

    void cleanupTestCase()
    {
        QProcess server;
        server.setProcessEnvironment(m_env);
        server.start(QStringLiteral("/usr/lib/wine/wineserver64"), {QStringLiteral("-k")});
        server.waitForFinished(20000);
    }

private:
    QTemporaryDir m_prefix;
    QProcessEnvironment m_env;
};

QTEST_GUILESS_MAIN(TestBridgeWine)
#include "tst_bridge_wine.moc"
