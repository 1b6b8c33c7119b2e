// Guards who-did-what at the relay: users named in relay.ini without their tokens showing,
// config mistakes refused where they are, and an audit trail whose chain shows any edited,
// removed or reordered record, across rotations, without ever stopping the relay.
#include "relay/Audit.h"
#include "relay/RelayConfig.h"

#include "Files.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <thread>

using relay::AuditEvent;
using relay::AuditTrail;

namespace {

const char *const kRelay = TALVO_RELAY_BIN;
const char *const kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

QList<QByteArray> lines(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    QList<QByteArray> out = f.readAll().split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

bool saveLines(const QString &path, const QList<QByteArray> &list)
{
    QByteArray bytes;
    for (const auto &l : list)
        bytes += l + '\n';
    return saveFile(path, bytes);
}

struct Run
{
    int code = -1;
    QString out, err;
};

Run relayRun(const QStringList &args, const QByteArray &input = {})
{
    QProcess p;
    p.start(kRelay, args);
    p.write(input);
    p.closeWriteChannel();
    Run r;
    if (p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit)
        r.code = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

AuditEvent login(const std::string &user)
{
    AuditEvent e;
    e.kind = AuditEvent::Kind::Login;
    e.result = AuditEvent::Result::Ok;
    e.user = user;
    e.source = "127.0.0.1:5000";
    return e;
}

AuditTrail::Options quiet()
{
    AuditTrail::Options o;
    o.journal = false;
    return o;
}

} // namespace

class TestAudit : public QObject
{
    Q_OBJECT
private slots:
    void namedAndLegacyUsersAreFoundByToken();
    void configMistakesAreRefusedWithFileAndLine();
    void restartOnlyChangesAreNamed();
    void hashTokenCommand();
    void recordsFromManyThreadsFormOneChain();
    void verifyAcceptsUntouchedAndRotatedTrails();
    void verifyNamesFirstBadLine_data();
    void verifyNamesFirstBadLine();
    void continuesAfterRestartAndCutShortLine();
    void writeFailuresAreCountedNotThrown();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

void TestAudit::namedAndLegacyUsersAreFoundByToken()
{
    // Guards against a hashed entry that never matches, a user found under another's name,
    // or a name that shows the token.
    const QString ini = path("users.ini");
    const QByteArray text = QByteArray("[relay]\nlisten=127.0.0.1:0\naudit=trail.jsonl\n[panels]\nP1=sha256:")
                            + kAbcSha256 + "\nP2=plain-secret\n[users]\nlegacy-token=HMI-*\n"
                            + "[user alice]\ntoken_sha256=" + QByteArray(kAbcSha256).toUpper()
                            + "\npanels=PANEL01, HMI-*\n[user bob.2]\ntoken=bob-token\npanels=P1\n";
    QVERIFY(saveFile(ini, text));
    relay::RelayConfig c;
    std::string error;
    QVERIFY2(c.load(ini.toStdString(), &error), error.c_str());
    QCOMPARE(c.users.size(), std::size_t(3));
    const auto *legacy = c.findUser("legacy-token");
    const auto *alice = c.findUser("abc");
    const auto *bob = c.findUser("bob-token");
    QVERIFY(legacy && alice && bob && !c.findUser("abd") && !c.findUser(""));
    QCOMPARE(legacy->name, std::string("users:8"));
    QCOMPARE(alice->name, std::string("alice"));
    QCOMPARE(bob->name, std::string("bob.2"));
    QVERIFY(&c.users[std::size_t(bob->number - 1)] == bob);
    QVERIFY(c.mayReach(*alice, "PANEL01") && c.mayReach(*alice, "HMI-7") && !c.mayReach(*bob, "HMI-7"));
    QVERIFY(c.panelSecretMatches("P1", "abc") && c.panelSecretMatches("P2", "plain-secret"));
    QVERIFY(!c.panelSecretMatches("P1", kAbcSha256) && !c.panelSecretMatches("P3", "abc"));
    QCOMPARE(c.auditPath, path("trail.jsonl").toStdString());
    QCOMPARE(QByteArray::fromStdString(c.fileSha256), QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
}

void TestAudit::configMistakesAreRefusedWithFileAndLine()
{
    // Guards against a mistyped user section run on defaults, a name given twice (one user
    // logged under the other's name), or an error that does not say where it is.
    const QString ini = path("bad.ini");
    const QByteArray head = "[relay]\nlisten=127.0.0.1:0\n";
    const QString digest = kAbcSha256;
    const QList<QPair<QByteArray, QString>> cases = {
        {"[user al ice]\ntoken=a\n", ":3: [user al ice]: user names are 1-64"},
        {"[user " + QByteArray(65, 'n') + "]\ntoken=a\n", ":3: [user nnn"},
        {"[user alice]\ntoken=a\n[user Alice]\ntoken=b\n", ":5: [user Alice] is a second user of that name (the first is at line 3"},
        {"[user alice]\ntoken=a\npanel=*\n", ":5: [user alice] panel= is not a setting"},
        {"[user alice]\ntoken=a\ntoken_sha256=" + digest.toUtf8() + "\n", ":5: [user alice] needs exactly one of"},
        {"[user alice]\npanels=*\n", ":3: [user alice] needs exactly one of"},
        {"[user alice]\ntoken_sha256=abc\n", ":4: [user alice] token_sha256= must be 64 hex digits"},
        {"[user alice]\ntoken=a b\n", ":4: [user alice] token=: tokens are 1-256"},
        {"[user alice]\ntoken=a\npanels=x\npanels=y\n", ":6: [user alice] panels= is given twice"},
        {"[users]\nabc=*\n[user alice]\ntoken_sha256=" + digest.toUtf8() + "\n", ":6: user alice has the same token as user users:4"},
        {"[user]\ntoken=a\n", ":3: [user] is not a section of this file"},
        {"[panels]\nP1=sha256:12\n", ":4: [panels] P1:"},
    };
    for (const auto &[text, expected] : cases) {
        QVERIFY(saveFile(ini, head + text));
        relay::RelayConfig c;
        std::string error;
        QVERIFY2(!c.load(ini.toStdString(), &error), text.constData());
        QVERIFY2(QString::fromStdString(error).startsWith(ini + expected), error.c_str());
    }
    // An audit file that cannot be opened stops the start, in one line naming it.
    QVERIFY(saveFile(ini, head + "audit=" + path("no/such/dir/a.jsonl").toUtf8() + "\n"));
    const Run r = relayRun({"--config", ini});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.count('\n') == 1 && r.err.contains("cannot open " + path("no/such/dir/a.jsonl")), qPrintable(r.err));
}

void TestAudit::restartOnlyChangesAreNamed()
{
    // Guards against a reload that silently keeps an old listen address or cluster, or one
    // refused for a change (users, panels) it can take over.
    const QString ini = path("reload.ini");
    const QByteArray base = "[relay]\nlisten=127.0.0.1:7000\n[users]\nt=*\n";
    relay::RelayConfig a, b, c;
    std::string error;
    QVERIFY(saveFile(ini, base) && a.load(ini.toStdString(), &error));
    QVERIFY(saveFile(ini, base + "[user z]\ntoken=zz\n[panels]\nP=s\n") && b.load(ini.toStdString(), &error));
    QVERIFY(relay::restartOnlyChanges(a, b).empty());
    QVERIFY(a.fileSha256 != b.fileSha256);
    QVERIFY(saveFile(ini, "[relay]\nlisten=127.0.0.1:7001\nheartbeat_ms=5000\n[cluster]\nredis=127.0.0.1:6379\n"
                          "id=r1\npeer=127.0.0.1:7001\n")
            && c.load(ini.toStdString(), &error));
    const std::vector<std::string> expected = {"[relay] listen", "[relay] heartbeat_ms", "[cluster]"};
    QCOMPARE(relay::restartOnlyChanges(a, c), expected);
}

void TestAudit::hashTokenCommand()
{
    // Guards against a hash that does not match what the relay compares, and a bad token
    // (or a blank line) hashed without a word.
    Run r = relayRun({"--hash-token"}, "abc\n");
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QString(kAbcSha256) + "\n");
    for (const QByteArray &bad : {QByteArray("a b\n"), QByteArray("\n"), QByteArray(300, 'x')}) {
        r = relayRun({"--hash-token"}, bad);
        QCOMPARE(r.code, 2);
        QVERIFY(r.err.contains("1-256 printable characters"));
    }
}

void TestAudit::recordsFromManyThreadsFormOneChain()
{
    // Guards against interleaved or torn lines from concurrent I/O threads, a broken link,
    // a field under the wrong key, and bytes from the network that would throw.
    const QString file = path("threads.jsonl");
    AuditTrail trail;
    auto options = quiet();
    options.relayId = "relay-a";
    std::string error;
    QVERIFY(trail.open(file.toStdString(), options, &error));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&trail, t] {
            for (int i = 0; i < 50; ++i)
                trail.record(login("user" + std::to_string(t)));
        });
    for (auto &t : threads)
        t.join();
    AuditEvent end;
    end.kind = AuditEvent::Kind::StreamEnd;
    end.user = "alice";
    end.sn = "HMI-1";
    end.target = "10.0.0.1:502\xff";
    end.stream = "s1";
    end.bytesUp = 10;
    end.bytesDown = 20;
    end.durationMs = 30;
    end.cause = AuditEvent::Cause::TargetClosed;
    trail.record(end);
    QCOMPARE(trail.failures(), std::uint64_t(0));

    struct stat st {};
    QVERIFY(stat(file.toUtf8().constData(), &st) == 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0640));
    const auto all = lines(file);
    QCOMPARE(all.size(), 201);
    QByteArray prev(64, '0');
    const QRegularExpression time("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$");
    for (const auto &l : all) {
        const auto j = nlohmann::json::parse(l.toStdString());
        QCOMPARE(QByteArray::fromStdString(j.at("prev").get<std::string>()), prev);
        QVERIFY(time.match(QString::fromStdString(j.at("time").get<std::string>())).hasMatch());
        QCOMPARE(j.at("relay").get<std::string>(), std::string("relay-a"));
        prev = QCryptographicHash::hash(l, QCryptographicHash::Sha256).toHex();
    }
    const auto last = nlohmann::json::parse(all.last().toStdString());
    QCOMPARE(last.at("event").get<std::string>(), std::string("stream.end"));
    QCOMPARE(last.at("bytes_up").get<int>() + last.at("bytes_down").get<int>() + last.at("duration_ms").get<int>(), 60);
    QCOMPARE(last.at("cause").get<std::string>(), std::string("target-closed"));
    QCOMPARE(last.at("sn").get<std::string>() + last.at("stream").get<std::string>(), std::string("HMI-1s1"));
    QVERIFY(!last.contains("result") && !last.contains("source"));
    QVERIFY(QByteArray::fromStdString(last.at("target").get<std::string>()).startsWith("10.0.0.1:502"));
}

void TestAudit::verifyAcceptsUntouchedAndRotatedTrails()
{
    // Guards against a chain that breaks at a rotation: logrotate's rename-and-reopen, and
    // copytruncate, where the relay goes on writing into the emptied file.
    const QString file = path("rot.jsonl");
    AuditTrail trail;
    std::string error;
    QVERIFY(trail.open(file.toStdString(), quiet(), &error));
    trail.record(login("a"));
    trail.record(login("b"));
    Run r = relayRun({"--verify-audit", file});
    QVERIFY2(r.code == 0 && r.out.contains("2 records in 1 file, chain intact"), qPrintable(r.err));

    QVERIFY(QFile::rename(file, file + ".2"));
    QVERIFY(trail.reopen());
    trail.record(login("c"));
    QVERIFY(QFile::copy(file, file + ".1"));
    QVERIFY(QFile::resize(file, 0));
    trail.record(login("d"));
    trail.record(login("e"));
    QCOMPARE(lines(file).size(), 2);
    r = relayRun({"--verify-audit", file + ".2", file + ".1", file});
    QVERIFY2(r.code == 0 && r.out.contains("5 records in 3 files"), qPrintable(r.err));
    // The set piped as one stream (as from zcat) is the same chain.
    QByteArray all;
    for (const QString &f : {file + ".2", file + ".1", file}) {
        QFile in(f);
        QVERIFY(in.open(QIODevice::ReadOnly));
        all += in.readAll();
    }
    r = relayRun({"--verify-audit", "-"}, all);
    QVERIFY2(r.code == 0, qPrintable(r.err));
    // Without the oldest file the check says where the chain begins and how to go on.
    r = relayRun({"--verify-audit", file + ".1", file});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.startsWith(file + ".1:1: the chain does not begin here"), qPrintable(r.err));
    const QString after = QCryptographicHash::hash(lines(file + ".2").last(), QCryptographicHash::Sha256).toHex();
    r = relayRun({"--verify-audit", "--after", after, file + ".1", file});
    QVERIFY2(r.code == 0, qPrintable(r.err));
}

void TestAudit::verifyNamesFirstBadLine_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("badLine");
    QTest::newRow("edited") << "edit" << 3;
    QTest::newRow("removed") << "remove" << 2;
    QTest::newRow("reordered") << "swap" << 2;
    QTest::newRow("inserted") << "insert" << 2;
}

void TestAudit::verifyNamesFirstBadLine()
{
    // Guards against a changed trail passing the check, or the report naming the wrong line.
    QFETCH(QString, how);
    QFETCH(int, badLine);
    const QString file = path("tamper-" + how + ".jsonl");
    {
        AuditTrail trail;
        std::string error;
        QVERIFY(trail.open(file.toStdString(), quiet(), &error));
        for (const char *u : {"a", "b", "c", "d"})
            trail.record(login(u));
    }
    auto all = lines(file);
    if (how == "edit")
        all[1].replace("\"user\":\"b\"", "\"user\":\"x\"");
    else if (how == "remove")
        all.removeAt(1);
    else if (how == "swap")
        all.swapItemsAt(1, 2);
    else
        all.insert(1, all[0]);
    QVERIFY(saveLines(file, all));
    const Run r = relayRun({"--verify-audit", file});
    QVERIFY(r.code != 0);
    QVERIFY2(r.err.startsWith(file + ":" + QString::number(badLine) + ": prev does not match"), qPrintable(r.err));
}

void TestAudit::continuesAfterRestartAndCutShortLine()
{
    // Guards against a restarted relay beginning a second chain in the same file, and a
    // record cut short by a crash gluing itself to the next one or breaking the check.
    const QString file = path("restart.jsonl");
    std::string error;
    {
        AuditTrail trail;
        QVERIFY(trail.open(file.toStdString(), quiet(), &error));
        trail.record(login("a"));
    }
    {
        AuditTrail trail;
        QVERIFY(trail.open(file.toStdString(), quiet(), &error));
        trail.record(login("b"));
    }
    // What a crash leaves: the start of the next record, without its newline.
    const QByteArray next = QCryptographicHash::hash(lines(file).last(), QCryptographicHash::Sha256).toHex();
    QFile f(file);
    QVERIFY(f.open(QIODevice::Append));
    f.write("{\"prev\":\"" + next.left(30));
    f.close();
    {
        AuditTrail trail;
        QVERIFY(trail.open(file.toStdString(), quiet(), &error));
        trail.record(login("c"));
    }
    QCOMPARE(lines(file).size(), 4);
    QVERIFY(lines(file)[3].contains("\"user\":\"c\""));
    Run r = relayRun({"--verify-audit", file});
    QVERIFY2(r.code == 0 && r.out.contains(file + ":3: a record cut short"), qPrintable(r.err + r.out));
    // A cut-short line that does not begin as a record of this chain is not excused.
    auto all = lines(file);
    all[2] = "{\"prev\":\"" + QByteArray(1, next[0] == '0' ? '1' : '0');
    QVERIFY(saveLines(file, all));
    r = relayRun({"--verify-audit", file});
    QVERIFY2(r.code == 1 && r.err.startsWith(file + ":3: not a record"), qPrintable(r.err));
}

void TestAudit::writeFailuresAreCountedNotThrown()
{
    // Guards against a full disk or a vanished folder stopping the relay, or going unseen.
    std::atomic<std::uint64_t> counter{0};
    auto options = quiet();
    options.failureCounter = &counter;
    std::string error;
    {
        AuditTrail full;
        QVERIFY(full.open("/dev/full", options, &error));
        full.record(login("a"));
        full.record(login("b"));
        QCOMPARE(full.failures(), std::uint64_t(2));
    }
    QCOMPARE(counter.load(), std::uint64_t(2));
    // The folder goes while the relay runs: reopen fails, records are counted, and the
    // trail takes up again once the path can be opened.
    QDir(m_dir.path()).mkdir("gone");
    const QString file = path("gone/a.jsonl");
    AuditTrail trail;
    QVERIFY(trail.open(file.toStdString(), quiet(), &error));
    trail.countFailuresIn(&counter);
    trail.record(login("a"));
    QVERIFY(QDir(path("gone")).removeRecursively());
    trail.record(login("b"));
    QVERIFY(!trail.reopen());
    trail.record(login("c"));
    QCOMPARE(trail.failures(), std::uint64_t(2));
    QCOMPARE(counter.load(), std::uint64_t(4));
    QDir(m_dir.path()).mkdir("gone");
    trail.record(login("d"));
    QCOMPARE(trail.failures(), std::uint64_t(2));
    QCOMPARE(lines(file).size(), 1);
}

QTEST_GUILESS_MAIN(TestAudit)

#include "tst_audit.moc"
