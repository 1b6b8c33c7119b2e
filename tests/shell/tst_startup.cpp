// Guards start-up against catalogues out of step, translated commands, hostile SNs and a read-only install.
#include "Files.h"
#include "base/AppDir.h"
#include "app/Startup.h"
#include "window/PLCDownloadAssistant.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTranslator>
#include <QtTest>

#include <unistd.h>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void languageChoice_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("ini"); // empty: no settings file at all
        QTest::addColumn<int>("language");

        const QByteArray cn = "[Setting]\nlanguage=cn\n";
        QTest::newRow("no arguments, no file") << QStringList{"prog"} << QByteArray() << 0;
        QTest::newRow("sn EN") << QStringList{"prog", "ABC123", "EN"} << cn << 0;
        QTest::newRow("sn de") << QStringList{"prog", "ABC123", "de"} << QByteArray() << 1;
        QTest::newRow("last entry counts") << QStringList{"prog", "ABC123", "x", "en"} << cn << 0;
        QTest::newRow("sn only, file says zh_CN")
            << QStringList{"prog", "ABC123"} << QByteArray("[Setting]\nlanguage=zh_CN\n") << 1;
        QTest::newRow("file says de") << QStringList{"prog"} << QByteArray("[Setting]\nlanguage=de\n") << 0;
        QTest::newRow("binary file") << QStringList{"prog"} << QByteArray("\x00\xff\x01[\n\x80", 6) << 0;
    }
    void languageChoice()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, ini);
        QFETCH(int, language);
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkdir("app"));
        if (!ini.isEmpty())
            QVERIFY(saveFile(root.filePath("setting_vpn.ini"), ini));
        QCOMPARE(chooseLanguage(args, root.filePath("app")), language);
    }

    void languageWithoutParentDirectoryIsChinese() { QCOMPARE(chooseLanguage({"prog"}, "/"), 1); }

    void snListKeepsLinesAsWritten()
    {
        QTemporaryDir dir;
        QVERIFY(readSnList(dir.path()).isEmpty());
        QVERIFY(saveFile(dir.filePath("snlist.dat"), "A100\r\n\r\n B200 \nA100\n"));
        QCOMPARE(readSnList(dir.path()), QStringList({"A100", "", " B200 ", "A100"}));
        QVERIFY(saveFile(dir.filePath("snlist.dat"), QByteArray()));
        QVERIFY(readSnList(dir.path()).isEmpty());
    }

    // Both catalogues hold the same source texts: a text added to one only would show
    // untranslated in the other language.
    void cataloguesHoldTheSameEntries()
    {
        QStringList sources[2];
        for (int i = 0; i < 2; ++i) {
            QFile f(QStringLiteral(TALVO_SOURCE_DIR "/translations/language_%1.ts").arg(i ? "en" : "cn"));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QXmlStreamReader xml(&f);
            QString context;
            while (!xml.atEnd()) {
                xml.readNext();
                if (xml.isStartElement() && xml.name() == QLatin1String("name"))
                    context = xml.readElementText();
                if (xml.isStartElement() && xml.name() == QLatin1String("source"))
                    sources[i] << context + "|" + xml.readElementText();
            }
            QVERIFY(!xml.hasError());
        }
        QVERIFY(sources[0].size() >= 40);
        QCOMPARE(sources[0], sources[1]);
    }

    // A command line is run, not shown: no catalogue may change it.
    void cataloguesLeaveCommandLinesAlone()
    {
        PLCDownloadAssistant window; // registers the embedded catalogues
        const char *netsh = "netsh interface ip set address name=\"%1\" source=static addr=%2.%3.%4.%5 mask=255.255.255.0 ";
        for (const char *qm : {":/language_en.qm", ":/language_cn.qm"}) {
            QTranslator t;
            QVERIFY2(t.load(qm), qm);
            QCOMPARE(t.translate("PCapOperator", netsh), QString(netsh));
        }
    }

    // What the executable does between building the window and showing it, with SN arguments
    // as long or as full of control characters as a caller may send.
    void commandLineSnAndLanguage()
    {
        QTemporaryDir dir;
        AppDir::setOverride(dir.path());
        QVERIFY(saveFile(dir.filePath("snlist.dat"), "A100\nB200\n"));
        const QString longSn(10000, QLatin1Char('S'));
        {
            PLCDownloadAssistant window;
            prepareWindow(window, {"prog", longSn, "cn"});
            QCOMPARE(window.getDeviceSn(), longSn);
            QCOMPARE(readFile(dir.filePath("cursel.dat")).size(), 10000);
        }
        PLCDownloadAssistant window;
        prepareWindow(window, {"prog", QString::fromUtf8("AB\r\nC\x01\x1b[2J\x7f" "D"), "en"});
        QCOMPARE(window.windowTitle(), QStringLiteral("Talvo-HMI Tunnel"));
        QCOMPARE(window.findChild<QComboBox *>("comboBox_SN")->count(), 2);
        QCOMPARE(window.findChild<QLineEdit *>("lineEditDeviceSn")->text(), QStringLiteral("ABC[2JD"));
        QCOMPARE(readFile(dir.filePath("cursel.dat")), QByteArray("ABC[2JD"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mouseClick(window.findChild<QPushButton *>("pushButtonDisConnectChannel"), Qt::LeftButton);
        QCOMPARE(window.getDeviceSn(), QStringLiteral("ABC[2JD")); // showing adopted nothing else
        AppDir::setOverride(QString());
    }

    // The installed tool: --help answers without a window or a log; with its folder not
    // writable (as under /usr/lib), the data files go to the per-user folder instead.
    void installedToolHelpAndDataFolder()
    {
        QTemporaryDir dir, home;
        const QString exe = dir.filePath("talvo-hmi-tunnel");
        QVERIFY(QFile::copy(TALVO_TOOL_BIN, exe));
        QProcess help;
        help.start(exe, {"--help"});
        QVERIFY(help.waitForFinished(10000));
        QCOMPARE(help.exitCode(), 0);
        QVERIFY(help.readAllStandardOutput().contains("Usage: talvo-hmi-tunnel [SN [... LANGUAGE]]"));
        QVERIFY(!QFile::exists(dir.filePath("log_forPcap.txt")));

        // Root writes anywhere, so root sees its copy on a read-only mount of its own.
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", home.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        tool.setProcessEnvironment(env);
        if (geteuid() == 0)
            tool.start("unshare", {"-m", "sh", "-c",
                                   "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && exec \"$1/talvo-hmi-tunnel\"",
                                   "sh", dir.path()});
        else
            tool.start(exe, QStringList());
        const QString log = home.filePath("talvo-hmi-tunnel/app/log_forPcap.txt");
        const bool logged = QTest::qWaitFor([&] { return readFile(log).contains("argList"); }, 15000);
        tool.kill();
        tool.waitForFinished(5000);
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY2(logged, tool.readAllStandardError().constData());
        QVERIFY(!QFile::exists(dir.filePath("log_forPcap.txt")));
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
