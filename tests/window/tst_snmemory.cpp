// Guards the SN memory and the hand-over between windows against lost SNs and crashes.
#include "FakeBridge.h"
#include "Files.h"
#include "base/AppDir.h"
#include "window/PLCDownloadAssistant.h"

#include <QComboBox>
#include <QCompleter>
#include <QLabel>
#include <QLineEdit>
#include <QtTest>

class TestSnMemory : public QObject
{
    Q_OBJECT

    QScopedPointer<QTemporaryDir> m_dir;

    QByteArray cursel() const
    {
        QFile f(m_dir->filePath("cursel.dat"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    void writeCursel(const QByteArray &bytes) { QVERIFY(saveFile(m_dir->filePath("cursel.dat"), bytes)); }
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

private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        AppDir::setOverride(m_dir->path());
    }

    // Typed text becomes the first listed SN that holds it (case counts), else stays as it
    // is; an emptied box changes nothing; the drop-down's filling chooses nothing.
    void listCompletesTypedTextAndFillsDropDown()
    {
        PLCDownloadAssistant w;
        withList(w);
        QVERIFY(snBox(w)->completer());
        QCOMPARE(snBox(w)->completer()->filterMode(), Qt::MatchContains);
        auto *drop = w.findChild<QComboBox *>("comboBox_SN");
        QCOMPARE(drop->count(), 3);
        QCOMPARE(cursel(), QByteArray("<missing>"));
        for (const QStringList &typedAndSn : {QStringList{"A1", "A100"}, {"a1", "a1"}, {"C9", "C9"}, {"XA1", "XA1"}}) {
            finishEditing(w, typedAndSn[0]);
            QCOMPARE(snBox(w)->text(), typedAndSn[1]);
            finishEditing(w, "");
            QCOMPARE(cursel(), typedAndSn[1].toLatin1());
        }
        drop->setCurrentIndex(1);
        QCOMPARE(snBox(w)->text(), QStringLiteral("B200"));
        QCOMPARE(cursel(), QByteArray("B200"));
    }

    void firstShowDefaultsToTheFirstListedSn()
    {
        PLCDownloadAssistant w;
        withList(w);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(snBox(w)->text(), QStringLiteral("A100"));
        QCOMPARE(cursel(), QByteArray("A100"));

        // Only the first show does that.
        w.hide();
        snBox(w)->clear();
        writeCursel("");
        w.show();
        QCOMPARE(snBox(w)->text(), QString());
    }

    // Another window's SN is adopted once, closing this one's channel as the close button
    // does; this window's own close empties the hand-over and removes its routes.
    void handOverBetweenTwoWindowsAndClose()
    {
        BridgeLog log;
        QScopedPointer<PCapOperator> bridge(makeFakeBridge(&log, nullptr));
        const auto addRoutes = [&] { bridge->regedit("00:11:22:33:44:55", "192.168.1.10"); };
        PLCDownloadAssistant sender, receiver;
        receiver.setBridge(bridge.data());
        withList(receiver);
        receiver.show();
        QVERIFY(QTest::qWaitForWindowExposed(&receiver));
        QCOMPARE(snBox(receiver)->text(), QStringLiteral("A100"));
        receiver.findChild<QLabel *>("labelTip")->setText("busy");
        addRoutes();

        sender.setStrSn("B200");
        QCOMPARE(receiver.loadCurSel(), 1);
        QCOMPARE(snBox(receiver)->text(), QStringLiteral("B200"));
        QCOMPARE(log.removals, 1);
        QCOMPARE(receiver.findChild<QLabel *>("labelTip")->text(), QString());
        QCOMPARE(receiver.loadCurSel(), 0);

        // A change event is where a running window notices it.
        addRoutes();
        sender.setStrSn("XA1");
        QEvent change(QEvent::ActivationChange);
        QCoreApplication::sendEvent(&receiver, &change);
        QCOMPARE(snBox(receiver)->text(), QStringLiteral("XA1"));
        QCOMPARE(log.removals, 2);

        addRoutes();
        QVERIFY(receiver.close());
        QCOMPARE(log.removals, 3);
        QCOMPARE(cursel(), QByteArray());
        QCOMPARE(snBox(receiver)->text(), QString());
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
