// Guards who-did-what at the relay: users named in relay.ini without their tokens showing,
// config mistakes refused where they are, and an audit trail whose chain shows any edited,
// removed or reordered record, across rotations, without ever stopping the relay.
#include "relay/Audit.h"
#include "relay/RelayConfig.h"

#include "Files.h"

#include <QProcess>
#include <QtTest>

#include <sys/stat.h>
#include <thread>

using relay::AuditEvent;
using relay::AuditTrail;

namespace {

const char *const kRelay = TALVO_RELAY_BIN;
const char *const kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

QList<QByteArray> lines(const QString &path)
{
    QList<QByteArray> out = readFile(path).split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

QString lastHash(const QString &path)
{
    return QCryptographicHash::hash(lines(path).last(), QCryptographicHash::Sha256).toHex();
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

// A relay's run from start to stop that records a login of each user.
bool appendRun(const QString &path, const std::vector<std::string> &users)
{
    AuditTrail trail;
    std::string error;
    if (!trail.open(path.toStdString(), quiet(), &error))
        return false;
    for (const auto &user : users)
        trail.record(login(user));
    return true;
}

} // namespace

class TestAudit : public QObject
{
    Q_OBJECT
private slots:
    void usersAndRestartOnlySettingsAreRead();
    void configMistakesAreRefusedWithFileAndLine();
    void recordsFromManyThreadsFormOneChain();
    void chainGoesOnAcrossRotationRestartAndCrash();
    void verifyNamesFirstBadLine();
    void writeFailuresAreCountedNotThrown();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

void TestAudit::usersAndRestartOnlySettingsAreRead()
{
    // Guards against a hashed entry that never matches (or --hash-token printing another hash
    // than the relay compares), a bad token hashed without a word, a user found under another's
    // name, a name that shows the token, and a reload that silently keeps an old listen address
    // or cluster (that one takes users and names heartbeat_ms, tst_operations shows).
    const Run ok = relayRun({"--hash-token"}, "abc\n");
    QVERIFY2(ok.code == 0 && ok.out == QString(kAbcSha256) + "\n", qPrintable(ok.out + ok.err));
    for (const QByteArray &bad : {QByteArray("a b\n"), QByteArray("\n"), QByteArray(300, 'x')}) {
        const Run r = relayRun({"--hash-token"}, bad);
        QVERIFY2(r.code == 2 && r.err.contains("1-256 printable characters"), qPrintable(r.err));
    }
    const QString ini = path("users.ini");
    const QByteArray text = QByteArray("[relay]\nlisten=127.0.0.1:0\n[panels]\nP1=sha256:") + kAbcSha256
                            + "\nP2=plain-secret\n[users]\nlegacy-token=HMI-*\n[user alice]\ntoken_sha256="
                            + QByteArray(kAbcSha256).toUpper() + "\npanels=PANEL01, HMI-*\n[user bob.2]\ntoken=bob-token\npanels=P1\n";
    QVERIFY(saveFile(ini, text));
    relay::RelayConfig c;
    std::string error;
    QVERIFY2(c.load(ini.toStdString(), &error), error.c_str());
    const auto *legacy = c.findUser("legacy-token"), *alice = c.findUser("abc"), *bob = c.findUser("bob-token");
    QVERIFY(legacy && alice && bob && !c.findUser("abd") && !c.findUser(""));
    QCOMPARE(legacy->name + " " + alice->name + " " + bob->name, std::string("users:7 alice bob.2"));
    QVERIFY(c.mayReach(*alice, "PANEL01") && c.mayReach(*alice, "HMI-7") && !c.mayReach(*bob, "HMI-7"));
    QVERIFY(c.panelSecretMatches("P1", "abc") && c.panelSecretMatches("P2", "plain-secret"));
    QVERIFY(!c.panelSecretMatches("P1", kAbcSha256) && !c.panelSecretMatches("P3", "abc"));
    // The reload record names it, to be compared with sha256sum of the file.
    QCOMPARE(QByteArray::fromStdString(c.fileSha256), QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());

    relay::RelayConfig moved;
    QVERIFY(saveFile(ini, "[relay]\nlisten=127.0.0.1:7001\n[cluster]\nredis=127.0.0.1:6379\nid=r1\npeer=127.0.0.1:7001\n")
            && moved.load(ini.toStdString(), &error));
    QCOMPARE(relay::restartOnlyChanges(c, moved), (std::vector<std::string> {"[relay] listen", "[cluster]"}));
}

void TestAudit::configMistakesAreRefusedWithFileAndLine()
{
    // Guards against a mistyped user section run on defaults, a name given twice (one user
    // logged under the other's name), or an error that does not say where it is.
    const QString ini = path("bad.ini");
    const QByteArray head = "[relay]\nlisten=127.0.0.1:0\n", digest = kAbcSha256;
    const QList<QPair<QByteArray, QString>> cases = {
        {"[user al ice]\ntoken=a\n", ":3: [user al ice]: user names are 1-64"},
        {"[user alice]\ntoken=a\n[user Alice]\ntoken=b\n", ":5: [user Alice] is a second user of that name (the first is at line 3"},
        {"[user alice]\ntoken=a\npanel=*\n", ":5: [user alice] panel= is not a setting"},
        {"[user alice]\ntoken=a\ntoken_sha256=" + digest + "\n", ":5: [user alice] needs exactly one of"},
        {"[user alice]\npanels=*\n", ":3: [user alice] needs exactly one of"},
        {"[user alice]\ntoken_sha256=abc\n", ":4: [user alice] token_sha256= must be 64 hex digits"},
        {"[user alice]\ntoken=a b\n", ":4: [user alice] token=: tokens are 1-256"},
        {"[user alice]\ntoken=a\npanels=x\npanels=y\n", ":6: [user alice] panels= is given twice"},
        {"[users]\nabc=*\n[user alice]\ntoken_sha256=" + digest + "\n", ":6: user alice has the same token as user users:4"},
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
    QVERIFY2(r.code == 1 && r.err.count('\n') == 1 && r.err.contains("cannot open " + path("no/such/dir/a.jsonl")),
             qPrintable(r.err));
}

void TestAudit::recordsFromManyThreadsFormOneChain()
{
    // Guards against interleaved or torn lines from concurrent I/O threads, a broken link, a
    // trail anyone may read, a record without its relay, and network bytes that would throw.
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
    AuditEvent open = login("alice");
    open.kind = AuditEvent::Kind::StreamOpen;
    open.target = "10.0.0.1:502\xff";
    trail.record(open);

    struct stat st {};
    QVERIFY(stat(file.toUtf8().constData(), &st) == 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0640));
    const QByteArray all = readFile(file);
    QCOMPARE(all.count("\"relay\":\"relay-a\""), 201);
    QVERIFY(all.contains("\"target\":\"10.0.0.1:502"));
    const Run r = relayRun({"--verify-audit", file});
    QVERIFY2(r.code == 0 && r.out.startsWith("201 records in 1 file, chain intact"), qPrintable(r.err));
}

void TestAudit::chainGoesOnAcrossRotationRestartAndCrash()
{
    // Guards against a chain that breaks at logrotate's rename-and-reopen or its copytruncate
    // (the relay goes on writing into the emptied file), a restarted relay beginning a second
    // chain in the same file, and a record cut short by a crash gluing itself to the next one
    // or breaking the check, while a line that merely looks cut short is not excused.
    const QString file = path("rot.jsonl");
    {
        AuditTrail trail;
        std::string error;
        QVERIFY(trail.open(file.toStdString(), quiet(), &error));
        trail.record(login("a"));
        QVERIFY(QFile::rename(file, file + ".2"));
        QVERIFY(trail.reopen());
        trail.record(login("b"));
        QVERIFY(QFile::copy(file, file + ".1"));
        QVERIFY(QFile::resize(file, 0));
        trail.record(login("c"));
    }
    QVERIFY(appendRun(file, {"d"}));
    // What a crash leaves: the start of the next record, without its newline.
    const QByteArray cut = "{\"prev\":\"" + lastHash(file).left(30).toLatin1();
    QVERIFY(saveFile(file, readFile(file) + cut));
    QVERIFY(appendRun(file, {"e"}));
    auto all = lines(file);
    QCOMPARE(all.size(), 4);
    QVERIFY(all[2] == cut && all[3].contains("\"user\":\"e\""));
    const QStringList files = {file + ".2", file + ".1", file};
    Run r = relayRun(QStringList("--verify-audit") + files);
    QVERIFY2(r.code == 0 && r.out.contains(file + ":3: a record cut short") && r.out.contains("5 records in 3 files"),
             qPrintable(r.err + r.out));
    // The set piped as one stream (as from zcat) is the same chain.
    r = relayRun({"--verify-audit", "-"}, readFile(files[0]) + readFile(files[1]) + readFile(files[2]));
    QVERIFY2(r.code == 0, qPrintable(r.err));
    // Without the oldest file the check says where the chain begins and how to go on.
    r = relayRun({"--verify-audit", files[1], files[2]});
    QVERIFY2(r.code == 1 && r.err.startsWith(files[1] + ":1: the chain does not begin here"), qPrintable(r.err));
    r = relayRun({"--verify-audit", "--after", lastHash(files[0]), files[1], files[2]});
    QVERIFY2(r.code == 0, qPrintable(r.err));

    all[2] = "{\"prev\":\"" + QByteArray(1, cut[9] == '0' ? '1' : '0');
    QVERIFY(saveFile(file, all.join('\n') + '\n'));
    r = relayRun(QStringList("--verify-audit") + files);
    QVERIFY2(r.code == 1 && r.err.startsWith(file + ":3: not a record"), qPrintable(r.err));
}

void TestAudit::verifyNamesFirstBadLine()
{
    // Guards against an edited, removed, reordered or inserted record passing the check, or
    // the report naming the wrong line.
    const QList<QPair<QString, int>> cases = {{"edit", 3}, {"remove", 2}, {"swap", 2}, {"insert", 2}};
    for (const auto &[how, badLine] : cases) {
        const QString file = path("tamper-" + how + ".jsonl");
        QVERIFY(appendRun(file, {"a", "b", "c", "d"}));
        auto all = lines(file);
        if (how == "edit")
            all[1].replace("\"user\":\"b\"", "\"user\":\"x\"");
        else if (how == "remove")
            all.removeAt(1);
        else if (how == "swap")
            all.swapItemsAt(1, 2);
        else
            all.insert(1, all[0]);
        QVERIFY(saveFile(file, all.join('\n') + '\n'));
        const Run r = relayRun({"--verify-audit", file});
        QVERIFY2(r.code != 0 && r.err.startsWith(file + ":" + QString::number(badLine) + ": prev does not match"),
                 qPrintable(how + ": " + r.err));
    }
}

void TestAudit::writeFailuresAreCountedNotThrown()
{
    // Guards against a full disk or a vanished folder stopping the relay, or going unseen in
    // talvo_relay_audit_write_failures_total.
    std::atomic<std::uint64_t> counter{0};
    auto options = quiet();
    options.failureCounter = &counter;
    std::string error;
    {
        AuditTrail full;
        QVERIFY(full.open("/dev/full", options, &error));
        full.record(login("a"));
    }
    QCOMPARE(counter.load(), std::uint64_t(1));
    // The folder goes while the relay runs: records are counted, and the trail takes up
    // again once the path can be opened.
    QVERIFY(QDir(m_dir.path()).mkdir("gone"));
    const QString file = path("gone/a.jsonl");
    AuditTrail trail;
    QVERIFY(trail.open(file.toStdString(), quiet(), &error));
    trail.countFailuresIn(&counter);
    QVERIFY(QDir(path("gone")).removeRecursively());
    trail.record(login("b"));
    QVERIFY(!trail.reopen());
    trail.record(login("c"));
    QCOMPARE(counter.load(), std::uint64_t(3));
    QVERIFY(QDir(m_dir.path()).mkdir("gone"));
    trail.record(login("d"));
    QCOMPARE(counter.load(), std::uint64_t(3));
    QCOMPARE(lines(file).size(), 1);
}

QTEST_GUILESS_MAIN(TestAudit)

#include "tst_audit.moc"
