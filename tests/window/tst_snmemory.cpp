// Guards the SN memory and the hand-over between windows against lost SNs and crashes.
#include "FakeBridge.h"
#include "Files.h"
#include "base/AppDir.h"
#include "window/PLCDownloadAssistant.h"

#include <QComboBox>
#include <QCompleter>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// A bridge whose routes are in place, as after an Ethernet channel.
struct Routes {
    BridgeLog log;
    QScopedPointer<PCapOperator> bridge{makeFakeBridge(&log, nullptr)};
    void add() { bridge->regedit("00:11:22:33:44:55", "192.168.1.10"); }
};
}

class TestSnMemory : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_dir;

    QString curselPath() const { return m_dir->filePath("cursel.dat"); }
    QByteArray cursel() const
    {
        QFile f(curselPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    void writeCursel(const QByteArray &bytes) { QVERIFY(saveFile(curselPath(), bytes)); }
    static QLineEdit *snBox(QWidget &w) { return w.findChild<QLineEdit *>("lineEditDeviceSn"); }
    static void withList(PLCDownloadAssistant &w)
    {
        w.setSnList({"A100", "B200", "XA1"});
        w.initSnCompleter();
    }
    static void finishEditing(PLCDownloadAssistant &w, const QString &typed)
    {
        snBox(w)->setText(typed);
        emit snBox(w)->editingFinished();
    }
    static int activate(PLCDownloadAssistant &w)
    {
        QEvent change(QEvent::ActivationChange);
        QCoreApplication::sendEvent(&w, &change);
        return 0;
    }

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        AppDir::setOverride(m_dir->path());
    }

    void typedTextCompletesToTheFirstContainingEntry_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("sn");
        QTest::newRow("fragment") << "A1" << "A100";
        QTest::newRow("case-sensitive") << "a1" << "a1";
        QTest::newRow("unknown") << "C9" << "C9";
        QTest::newRow("whole entry") << "XA1" << "XA1";
    }
    void typedTextCompletesToTheFirstContainingEntry()
    {
        QFETCH(QString, typed);
        QFETCH(QString, sn);
        PLCDownloadAssistant w;
        withList(w);
        finishEditing(w, typed);
        finishEditing(w, ""); // an emptied box changes nothing
        snBox(w)->setText(sn);
        QCOMPARE(snBox(w)->text(), sn);
        QCOMPARE(cursel(), sn.toLatin1());
    }

    void listFillsCompleterAndDropDown()
    {
        PLCDownloadAssistant w;
        withList(w);
        QCompleter *completer = snBox(w)->completer();
        QVERIFY(completer);
        QCOMPARE(completer->filterMode(), Qt::MatchContains);
        auto *drop = w.findChild<QComboBox *>("comboBox_SN");
        QCOMPARE(drop->count(), 3);
        QCOMPARE(cursel(), QByteArray("<missing>")); // filling the drop-down chose nothing
        drop->setCurrentIndex(2);
        QCOMPARE(snBox(w)->text(), QStringLiteral("XA1"));
        QCOMPARE(cursel(), QByteArray("XA1"));
    }

    void firstShowDefaultsToTheFirstListedSn()
    {
        PLCDownloadAssistant w;
        withList(w);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(snBox(w)->text(), QStringLiteral("A100"));
        QCOMPARE(cursel(), QByteArray("A100"));

        // Only the first show does that, and not over an SN given before it.
        w.hide();
        snBox(w)->clear();
        writeCursel("");
        w.show();
        QCOMPARE(snBox(w)->text(), QString());
        PLCDownloadAssistant given;
        withList(given);
        given.setStrSn("ABC123");
        given.show();
        QVERIFY(QTest::qWaitForWindowExposed(&given));
        QCOMPARE(snBox(given)->text(), QStringLiteral("ABC123"));
    }

    void handOverBetweenTwoWindows()
    {
        Routes routes;
        PLCDownloadAssistant sender, receiver;
        receiver.setBridge(routes.bridge.data());
        withList(receiver);
        receiver.show();
        QVERIFY(QTest::qWaitForWindowExposed(&receiver));
        QCOMPARE(snBox(receiver)->text(), QStringLiteral("A100"));
        receiver.findChild<QLabel *>("labelTip")->setText("busy");
        routes.add();

        sender.setStrSn("B200");
        QCOMPARE(receiver.loadCurSel(), 1);
        QCOMPARE(snBox(receiver)->text(), QStringLiteral("B200"));
        QCOMPARE(routes.log.removals, 1); // the channel was closed as by the close button
        QCOMPARE(receiver.findChild<QLabel *>("labelTip")->text(), QString());
        QCOMPARE(receiver.loadCurSel(), 0);

        // A change event is where a running window notices it.
        routes.add();
        sender.setStrSn("XA1");
        activate(receiver);
        QCOMPARE(snBox(receiver)->text(), QStringLiteral("XA1"));
        QCOMPARE(routes.log.removals, 2);
    }

    // The hand-over file is anyone's to write: only a first line that names another SN is
    // adopted, cut to what the SN box holds, and only once.
    void handOverOfContainedEmptyOrHostileContent()
    {
        PLCDownloadAssistant w;
        w.setStrSn("A100-1");
        for (const QByteArray &ignored : {QByteArray("A100"), QByteArray(), QByteArray("\nB200\n"),
                                          QByteArray("\x00\x01\x02\x7f\r\n", 6)}) {
            writeCursel(ignored);
            QCOMPARE(w.loadCurSel(), 0);
        }
        QCOMPARE(snBox(w)->text(), QStringLiteral("A100-1"));
        writeCursel(QByteArray(300000, 'Z'));
        QCOMPARE(w.loadCurSel(), 1);
        QCOMPARE(snBox(w)->text().size(), 32767);
        QCOMPARE(w.loadCurSel(), 0);
    }

    void closeEmptiesTheHandOverAndRemovesRoutes()
    {
        Routes routes;
        PLCDownloadAssistant w;
        w.setBridge(routes.bridge.data());
        w.setStrSn("A100");
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        routes.add();
        QVERIFY(w.close());
        QCOMPARE(routes.log.removals, 1);
        QCOMPARE(cursel(), QByteArray());
        QCOMPARE(snBox(w)->text(), QString());
    }

    // The SN box finishes editing as it loses its focus while the window goes away.
    void destroyWithFocusInTheSnBox()
    {
        auto *w = new PLCDownloadAssistant;
        withList(*w);
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w));
        snBox(*w)->setFocus();
        QTest::keyClicks(snBox(*w), "B2");
        delete w;
        QCOMPARE(cursel(), QByteArray("A100"));
    }

    void unwritableDirectoryStillChangesTheSn()
    {
        AppDir::setOverride(m_dir->filePath("no/such/dir"));
        PLCDownloadAssistant w;
        withList(w);
        finishEditing(w, "B2");
        QCOMPARE(snBox(w)->text(), QStringLiteral("B200"));
        QCOMPARE(w.loadCurSel(), 0);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.close());
    }
};

QTEST_MAIN(TestSnMemory)
#include "tst_snmemory.moc"
