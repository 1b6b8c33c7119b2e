// Guards the remembered panel keys (knownPanels.cfg) against forgetting, half-written or
// unwritable files, and files that are not ours. A changed key, warned about once and kept,
// test_stream_grants follows through the library to the host's log.
#include "Files.h"
#include "tunnellib/KnownPanels.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

using tunnellib::KnownPanels;

namespace {

const std::string kKeyA(64, 'a');
const std::string kKeyB = std::string(8, '5') + std::string(56, 'b');

// A KnownPanels whose warnings the test reads.
struct Panels
{
    std::vector<std::string> warnings;
    KnownPanels known {[this](const std::string &text) { warnings.push_back(text); }};
    explicit Panels(const QString &path) { known.open(path.toStdString()); }
};

} // namespace

class TestKnownPanels : public QObject
{
    Q_OBJECT
private slots:
    void rememberedAcrossRuns();
    void unwritableFolderWarnsOnce();
    void malformedLinesIgnored();
};

void TestKnownPanels::rememberedAcrossRuns()
{
    // Fault: a panel met once, or its new key, is forgotten (or warned about) by the next run;
    // another panel's key lost when the file is written again; a temporary file left beside it.
    QTemporaryDir dir;
    const QString path = dir.filePath("knownPanels.cfg"); // beside the configuration: test_stream_grants
    {
        Panels p(path);
        p.known.vouch("SN1", kKeyA);
        p.known.vouch("SN2", kKeyA);
        p.known.vouch("SN1", kKeyB);
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList {"knownPanels.cfg"});
    Panels again(path);
    QCOMPARE(again.known.known("SN1").value_or(""), kKeyB);
    QCOMPARE(again.known.known("SN2").value_or(""), kKeyA);
    again.known.vouch("SN1", kKeyB);
    QVERIFY(again.warnings.empty());
}

void TestKnownPanels::unwritableFolderWarnsOnce()
{
    // Fault: a folder the host may not write to fails the streams, or warns at every stream.
    // No file can be made in /proc, not even by root, and reading there finds none.
    Panels p("/proc/knownPanels.cfg");
    p.known.vouch("SN1", kKeyA);
    p.known.vouch("SN2", kKeyA);
    QCOMPARE(p.known.known("SN1").value_or(""), kKeyA); // for this run
    QCOMPARE(int(p.warnings.size()), 1);
    QVERIFY2(p.warnings[0].find("cannot create /proc/knownPanels.cfg") != std::string::npos, p.warnings[0].c_str());
}

void TestKnownPanels::malformedLinesIgnored()
{
    // Fault: a damaged or hand-edited file crashes the library or loses the good lines.
    QTemporaryDir dir;
    const QString path = dir.filePath("knownPanels.cfg");
    QVERIFY(saveFile(path, QByteArray::fromStdString("; comment\n[panels]\nSN1=" + kKeyA + "\nno equals sign\nSN2=xyz\nbad sn!="
                                                    + kKeyA + "\n\xff\xfe\x01\n=\n[other]\nSN4=" + kKeyA
                                                    + "\n[PANELS]\nSN3 = " + kKeyB.substr(0, 32) + ":" + kKeyB.substr(32) + "\n")));
    Panels p(path);
    QCOMPARE(int(p.warnings.size()), 1);
    QVERIFY2(p.warnings[0].find("knownPanels.cfg:4:") != std::string::npos, p.warnings[0].c_str());
    QCOMPARE(p.known.known("SN1").value_or(""), kKeyA);
    QCOMPARE(p.known.known("SN3").value_or(""), kKeyB);
    QVERIFY(!p.known.known("SN2") && !p.known.known("SN4"));
    p.known.vouch("SN5", kKeyA); // the next write leaves a clean file
    Panels again(path);
    QVERIFY(again.warnings.empty());
    QCOMPARE(again.known.known("SN3").value_or(""), kKeyB);
}

QTEST_GUILESS_MAIN(TestKnownPanels)
#include "test_known_panels.moc"
