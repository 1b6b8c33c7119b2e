// Guards the bridge's Windows seams under Wine: a netsh line reaches cmd verbatim, quotes
// and all; a missing or incomplete wpcap.dll is reported, not crashed on; a complete one is
// used through its function table.
#include <QDir>
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
        QVERIFY2(QFile::exists(kOut + "/bridge_peer.exe"), qPrintable(kOut + "/bridge_peer.exe is missing: build the Windows tree first"));
        if (!QFile::exists(kWine))
            QSKIP("wine64 is not installed");
    }

    // QProcess would quote the line as one argument and escape its quotes with backslashes,
    // which cmd passes on: netsh would be given \"Local.
    void commandLineReachesCmdVerbatim()
    {
        const QString line = "echo netsh interface set interface \"Local Area Connection 2\" admin=disable ";
        const QString out = peer({"command", line}, QStringLiteral("wpcap="));
        QCOMPARE(out.trimmed(),
                 QStringLiteral(" execute cmd netsh interface set interface \"Local Area Connection 2\" admin=disable").trimmed());
    }

    void captureLibrary_data()
    {
        QTest::addColumn<QString>("library"); // the stand-in beside the program; empty: none
        QTest::addColumn<QStringList>("expected");
        const QString missing = "the capture library wpcap.dll is not installed (";
        const QString partial = "the capture library wpcap.dll lacks pcap_sendpacket";
        QTest::newRow("missing") << QString() << QStringList{"library: " + missing, "list failed: " + missing, "open: " + missing};
        QTest::newRow("without pcap_sendpacket")
            << "fake-wpcap-partial" << QStringList{"library: " + partial, "list failed: " + partial, "open: " + partial};
        QTest::newRow("complete") << "fake-wpcap-full"
                                  << QStringList{"library: ok", "device: \\Device\\NPF_{TEST}|TAP-Windows Adapter V9", "open: ok"};
    }
    void captureLibrary()
    {
        QFETCH(QString, library);
        QFETCH(QStringList, expected);
        const QStringList lines = peer({"capture"}, library.isEmpty() ? QStringLiteral("wpcap=") : QStringLiteral("wpcap=n"),
                                       library)
                                      .trimmed()
                                      .split('\n');
        QCOMPARE(lines.size(), expected.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(lines[i].trimmed().startsWith(expected[i]), qPrintable(lines[i] + " / " + expected[i]));
    }

    void cleanupTestCase()
    {
        QProcess server;
        server.setProcessEnvironment(environment(QString()));
        server.start(QStringLiteral("/usr/lib/wine/wineserver64"), {QStringLiteral("-k")});
        server.waitForFinished(20000);
    }

private:
    // Wine brings a wpcap.dll of its own: "wpcap=" takes it away, "wpcap=n" makes the one
    // beside the program count.
    QProcessEnvironment environment(const QString &overrides) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("WINEPREFIX", m_prefix.path());
        env.insert("WINEDEBUG", "-all");
        env.insert("WINEDLLOVERRIDES", "mscoree,mshtml=;" + overrides);
        env.remove("DISPLAY");
        return env;
    }

    // Runs bridge_peer from a folder of its own, with the given stand-in for wpcap.dll.
    QString peer(const QStringList &args, const QString &overrides, const QString &library = QString())
    {
        QTemporaryDir app;
        if (!QFile::copy(kOut + "/bridge_peer.exe", app.filePath("bridge_peer.exe")))
            return QStringLiteral("copy failed");
        if (!library.isEmpty() && !QFile::copy(kOut + "/" + library + "/wpcap.dll", app.filePath("wpcap.dll")))
            return QStringLiteral("no ") + library;
        QProcess p;
        p.setProcessEnvironment(environment(overrides));
        p.start(kWine, QStringList{app.filePath("bridge_peer.exe")} + args);
        if (!p.waitForFinished(kWineTimeoutMs))
            return QStringLiteral("time-out");
        return QString::fromUtf8(p.readAllStandardOutput()).remove('\r');
    }

    QTemporaryDir m_prefix;
};

QTEST_GUILESS_MAIN(TestBridgeWine)
#include "tst_bridge_wine.moc"
