// Guards the pieces all three programs share against misreading what comes from files and
// the network, losing the relay's pinned identity, and dropping the splice's half-close.
#include "relay/RelayConfig.h"
#include "wire/Identity.h"
#include "wire/Address.h"
#include "wire/Ini.h"
#include "wire/IoPool.h"
#include "wire/Messages.h"
#include "wire/Splicer.h"
#include "wire/TcpStream.h"
#include "wire/Tls.h"
#include "wire/TlsStream.h"
#include "wire/WriteQueue.h"

#include <QTemporaryDir>
#include <QtTest>

#include <set>
#include <thread>

using namespace wire;

// A relay's key and certificate made afresh, and the server context on them.
struct Identity
{
    QTemporaryDir dir;
    std::string fingerprint, error;
    bool created = false;
    std::shared_ptr<asio::ssl::context> server;

    Identity()
    {
        const std::string key = dir.filePath("k.pem").toStdString(), cert = dir.filePath("c.pem").toStdString();
        if (wire::ensureKeyAndCertificate(key, cert, "test", &created, &error) && fileFingerprint(cert, &fingerprint, &error))
            server = makeServerContext(key, cert, &error);
    }
    // The next connection on `acceptor`, once its TLS handshake is through.
    void accept(asio::ip::tcp::acceptor &acceptor, const asio::any_io_executor &ex,
                std::function<void(TlsStream::Ptr)> onTls)
    {
        acceptor.async_accept(ex, [this, onTls](const std::error_code &ec, asio::ip::tcp::socket s) {
            if (!ec)
                TlsStream::accept(std::move(s), server, std::chrono::seconds(5),
                                  [onTls](const std::error_code &ec, TlsStream::Ptr tls) {
                                      if (!ec)
                                          onTls(tls);
                                  });
        });
    }
};

// Reads until the peer's end of stream, then answers how many bytes came and ends its side.
void countThenAnswer(const TlsStream::Ptr &tls, std::shared_ptr<std::size_t> count = std::make_shared<std::size_t>())
{
    auto buf = std::make_shared<std::array<char, 4096>>();
    tls->readSome(asio::buffer(*buf), [tls, buf, count](const std::error_code &ec, std::size_t n) {
        if (!ec) {
            *count += n;
            return countThenAnswer(tls, count);
        }
        auto reply = std::make_shared<std::string>("got " + std::to_string(*count));
        tls->writeAll(asio::buffer(*reply), [tls, reply](const std::error_code &, std::size_t) {
            tls->shutdownSend();
        });
    });
}

class TestWire : public QObject
{
    Q_OBJECT
private slots:
    void iniKeepsOrderAndMergesSections();
    void addressesAreStrict();
    void messagesRoundTrip();
    void malformedMessagesAreRefused();
    void writeQueueKeepsOrderAndBound();
    void streamsSpreadOverThreads();
    void patternsAndSecrets();
    void keyIsPrivateToItsOwner();
    void spliceCarriesHalfCloseThroughTls();
    void resetWhileWaitingReadsAsReset();
};

void TestWire::iniKeepsOrderAndMergesSections()
{
    Ini ini;
    std::string error;
    QVERIFY(ini.parse("; comment\n[Targets]\nb=1\n# x\n[other]\nk = v \n[targets]\na=2\nc=x=y\n", &error));
    const auto &t = ini.section("targets");
    QCOMPARE(int(t.size()), 3);
    QCOMPARE(QString::fromStdString(t[0].first), QString("b"));
    QCOMPARE(QString::fromStdString(t[2].second), QString("x=y"));
    QCOMPARE(QString::fromStdString(ini.value("OTHER", "K").value_or("")), QString("v"));
    QVERIFY(!ini.parse("[a]\nno equals sign\n", &error));
    QVERIFY(QString::fromStdString(error).contains("line 2"));
    QVERIFY(!ini.parse("[broken\n", &error));
}

void TestWire::addressesAreStrict()
{
    for (const char *good : {"127.0.0.1:7530", "[::1]:80", "[fe80::1%eth0]:8"})
        QCOMPARE(QString::fromStdString(parseHostPort(good)->text()), QString(good));
    QCOMPARE(parseHostPort("panel-7.local:1")->host, std::string("panel-7.local"));
    QCOMPARE(parseHostPort("[fe80::1%eth0]:1")->host, std::string("fe80::1%eth0"));
    for (const char *bad : {"", ":80", "host", "host:", "host:0", "host:65536", "host:12a", "a b:1", "h;rm:1",
                            "h:1:2", "[::1]80", "*:1", "host:*",
                            // brackets hold IPv6 literals only, not names or IPv4
                            "[1%eth0]:8", "[abc%]:1", "[abc]:1", "[127.0.0.1]:1", "[::1%]:1", "[::1%a%b]:1"})
        QVERIFY2(!parseHostPort(bad), bad);
    const AddressRules wildcards {true, false}, portZero {false, true};
    QVERIFY(parseHostPort("*:502", wildcards)->anyHost && parseHostPort("h:*", wildcards)->anyPort);
    QCOMPARE(int(parseHostPort("127.0.0.1:0", portZero)->port), 0);
}

// The wire text both ends of a link, built apart, must agree on (each field in its place), and
// the values at the edges; the other suites carry every message type between the programs.
void TestWire::messagesRoundTrip()
{
    using namespace msg;
    const std::string join(kJoinDigits, 'a'), secret(kSecretDigits, 'b'), key(64, 'c'), mac(64, 'd');
    // The text a message encodes to, and what that text decodes to encodes to it again.
    auto pinned = [](const auto &m, const std::string &text) {
        const auto back = std::decay_t<decltype(m)>::decode(text);
        const bool ok = m.encode() == text && back && back->encode() == text;
        if (!ok)
            qWarning("%s", m.encode().c_str());
        return ok;
    };
    QVERIFY(pinned(Hello {}, "TALVO 2"));
    QVERIFY(pinned(Check {UINT64_MAX, "SN-1"}, "CHECK 18446744073709551615 SN-1"));
    QVERIFY(pinned(Checked {3, Reason::Ok}, "CHECKED 3 OK"));
    QVERIFY(pinned(msg::Stream {7, "SN1", "[::1]:80"}, "STREAM 7 SN1 [::1]:80"));
    QVERIFY(pinned(Granted {7, join, secret, key}, "GRANTED 7 " + join + " " + secret + " " + key));
    QVERIFY(pinned(Refused {7, Reason::Offline, "panel SN1 is offline"}, "REFUSED 7 OFFLINE panel SN1 is offline"));
    QVERIFY(pinned(Refused {8, Reason::Target, ""}, "REFUSED 8 TARGET"));
    QVERIFY(pinned(Panel {"SN1", "s3cret", key}, "PANEL SN1 s3cret " + key));
    QVERIFY(pinned(Open {9, "127.0.0.1:5900", join, secret}, "OPEN 9 127.0.0.1:5900 " + join + " " + secret));
    QVERIFY(pinned(Fail {9, Reason::Unreachable}, "FAIL 9 UNREACHABLE"));
    QVERIFY(pinned(Join {join, ""}, "JOIN " + join));
    QVERIFY(pinned(Join {join, mac}, "JOIN " + join + " " + mac));
    QVERIFY(pinned(Held {join, key}, "HELD " + join + " " + key));
    QVERIFY(pinned(Err {Reason::Version, "relay speaks protocol 2"}, "ERR VERSION relay speaks protocol 2"));
    const Forward forward {"SN1", "127.0.0.1:5900", secret, mac};
    QVERIFY(pinned(forward, "FORWARD SN1 127.0.0.1:5900 " + secret + " " + mac));
    // The MAC covers every word before it, and only those.
    QCOMPARE(forward.signedText() + " " + mac, forward.encode());
    QCOMPARE(Hello::decode("TALVO 3")->version, 3u);

    // A relay tells a peer of version 1 by its first line, which it never logs.
    for (const char *v1 : {"USER t", "PANEL SN1 s", "STREAM SN1 h:1", "DATA SN1 s 1", "FORWARD SN1 h:1 s"})
        QCOMPARE(legacyVersion(v1), 1u);
    for (const char *other : {"TALVO 2", "USERS t", "JOIN x", "", "GET / HTTP/1.0"})
        QCOMPARE(legacyVersion(other), 0u);
}

// Lines a peer may send that no decoder may take: a miscounted, doubled or empty field, a bad
// number, a byte that is no printable ASCII, an overlong line, an unknown reason, and hex values
// not lower-case or not of exactly their length (else shortened, padded or spelt twice).
void TestWire::malformedMessagesAreRefused()
{
    using namespace msg;
    const std::string join(kJoinDigits, 'a'), secret(kSecretDigits, 'b'), key(64, 'c');
    const std::vector<std::pair<bool, std::string>> cases = {
        {bool(Check::decode("CHECK 1")), "field missing"},
        {bool(Check::decode("CHECK 1 SN1 x")), "field too many"},
        {bool(Check::decode("CHECK  1 SN1")), "doubled blank"},
        {bool(Check::decode("CHECK 1 SN1 ")), "trailing blank"},
        {bool(msg::Stream::decode("STREAM -1 SN1 h:1")), "negative id"},
        {bool(msg::Stream::decode("STREAM 18446744073709551616 SN1 h:1")), "id overflows"},
        {bool(Hello::decode("TALVO 65536")), "version out of range"},
        {bool(Panel::decode("PANEL SN1 s\x01 " + key)), "control byte"},
        {bool(Panel::decode("PANEL SN1 s\xff " + key)), "non-ASCII byte"},
        {bool(Panel::decode("PANEL SN1 secret")), "a version-1 registration"},
        {bool(User::decode("USER " + std::string(kMaxLine, 't'))), "overlong"},
        {bool(Fail::decode("FAIL 1 OK")), "OK as a failure"},
        {bool(Refused::decode("REFUSED 1 MAYBE")), "unknown reason"},
        {bool(Ok::decode("OK ")) || bool(Err::decode("ERR")), "empty verbs"},
        {bool(Granted::decode("GRANTED 1 " + join.substr(1) + " " + secret + " " + key)), "short join"},
        {bool(Granted::decode("GRANTED 1 " + join + " " + secret + "b " + key)), "long secret"},
        {bool(Granted::decode("GRANTED 1 " + join + " " + secret + " " + std::string(64, 'C'))), "upper-case key"},
        {bool(Open::decode("OPEN 1 h:1 " + join + " " + std::string(64, 'g'))), "secret not hex"},
        {bool(Join::decode("JOIN " + join + " " + std::string(63, 'd'))), "short mac"},
        {bool(Join::decode("JOIN " + join + " ")), "empty mac"},
        {bool(Forward::decode("FORWARD SN1 h:1 " + secret)), "unsigned forward"},
        {bool(Held::decode("HELD " + join + " " + key.substr(2))), "short key"},
    };
    for (const auto &[taken, what] : cases)
        QVERIFY2(!taken, what.c_str());
}

void TestWire::writeQueueKeepsOrderAndBound()
{
    using P = WriteQueue::Push;
    WriteQueue q(5);
    QVERIFY(q.push("ab") == P::Start && q.push("cde") == P::Queued);
    QVERIFY(q.push("f") == P::Overflow); // the bound counts what is being written
    QVERIFY(q.front() == "ab" && q.pop() && q.front() == "cde" && q.bytes() == 3 && !q.pop());
    QVERIFY(q.push("g") == P::Start); // idle again: the owner must write
    q.clear();
    QVERIFY(q.push("h") == P::Start); // a write cut off by clear() is not waited for

    // Joining keeps the order and the byte count, stops at the limit, and a queue that
    // ends up with one buffer is idle after its write.
    WriteQueue j(100);
    for (const char *s : {"ab", "cd", "efg", "h"})
        j.push(s);
    j.joinFront(7);
    QVERIFY(j.front() == "abcdefg" && j.bytes() == 8);
    QVERIFY(j.pop() && j.front() == "h" && !j.pop());
}

// A count that never came down would crowd every later stream onto one thread, busy ones
// beside quiet ones.
void TestWire::streamsSpreadOverThreads()
{
    wire::ThreadLoad load(3);
    auto a = load.pick(), b = load.pick(), c = load.pick();
    QCOMPARE(std::set<std::size_t>({a.thread, b.thread, c.thread}).size(), std::size_t(3));
    // A stream's handlers hold copies of its token: its place is taken until the last goes.
    auto copy = a.token;
    a.token.reset();
    b.token.reset();
    QCOMPARE(load.pick().thread, b.thread);
}

void TestWire::patternsAndSecrets()
{
    QVERIFY(relay::globMatch("SN*", "SN123") && relay::globMatch("*", "") && relay::globMatch("A*B*C", "AxxBxxBC"));
    QVERIFY(!relay::globMatch("A*B", "AxxBx") && !relay::globMatch("SN1", "SN12"));
    QVERIFY(relay::globMatch("*****x", std::string(2000, 'a') + "x")); // no exponential backtracking
    QVERIFY(msg::validSn("ABC-12_3.x"));
    QVERIFY(!msg::validSn("") && !msg::validSn("a/b") && !msg::validSn(std::string(65, 'a')));
    QVERIFY(!msg::validSecret("with space"));
    QVERIFY(relay::secretEquals("abc", "abc") && !relay::secretEquals("abc", "abd"));
    QCOMPARE(QString::fromStdString(normaliseFingerprint(std::string(32, 'A') + ":" + std::string(32, 'b'))),
             QString(32, 'a') + QString(32, 'b'));
    QVERIFY(normaliseFingerprint("abcd").empty());
}

// Created once and kept across restarts is the relay suite's keepsItsCertificateAcrossRestarts;
// here, that nobody else on the machine may read the key.
void TestWire::keyIsPrivateToItsOwner()
{
    const Identity identity;
    QVERIFY2(identity.server && identity.created, identity.error.c_str());
    QCOMPARE(QFile(identity.dir.filePath("k.pem")).permissions() & (QFile::ReadGroup | QFile::ReadOther),
             QFile::Permissions());
}

// A TLS server that counts until the client half-closes, then answers and closes: the
// half-close must arrive through TLS and the reply must still come back.
void TestWire::spliceCarriesHalfCloseThroughTls()
{
    Identity identity;
    QVERIFY2(identity.server, identity.error.c_str());
    asio::io_context io;
    asio::ip::tcp::acceptor tlsAcceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    asio::ip::tcp::acceptor plainAcceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    const HostPort tlsAddress {"127.0.0.1", tlsAcceptor.local_endpoint().port()};
    // Two threads, a strand per connection: the splice's two streams run on different strands.
    identity.accept(tlsAcceptor, asio::make_strand(io), [](TlsStream::Ptr tls) { countThenAnswer(tls); });
    // Plain side: spliced to a TLS connection towards the server.
    plainAcceptor.async_accept(asio::make_strand(io), [&](const std::error_code &ec, asio::ip::tcp::socket s) {
        if (ec)
            return;
        auto plain = std::make_shared<TcpStream>(std::move(s));
        TlsStream::connect(asio::make_strand(io), makeClientContext(identity.fingerprint), tlsAddress,
                           std::chrono::seconds(5), [plain](const std::error_code &ec, TlsStream::Ptr tls) {
                               if (!ec)
                                   Splicer::start(plain, tls);
                           });
    });
    const auto plainPort = plainAcceptor.local_endpoint().port();
    std::string answer;
    std::thread client([&] {
        asio::io_context cio;
        asio::ip::tcp::socket s(cio);
        s.connect({asio::ip::make_address("127.0.0.1"), plainPort});
        asio::write(s, asio::buffer(std::string(300000, 'z')));
        s.shutdown(asio::socket_base::shutdown_send);
        std::error_code ec;
        char buf[256];
        for (std::size_t n; (n = s.read_some(asio::buffer(buf), ec)) > 0 || !ec;)
            answer.append(buf, n);
    });
    std::thread second([&] { io.run_for(std::chrono::seconds(20)); });
    io.run_for(std::chrono::seconds(20));
    second.join();
    client.join();
    QCOMPARE(QString::fromStdString(answer), QString("got 300000"));
}

// A wait for input receives ahead for OpenSSL; a reset it receives is reported once by the
// socket and must not turn into a plain cut-off for the read that follows.
void TestWire::resetWhileWaitingReadsAsReset()
{
    Identity identity;
    QVERIFY2(identity.server, identity.error.c_str());
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    TlsStream::Ptr server, client;
    std::error_code readError;
    bool waited = false, read = false;
    const auto resetOnceBoth = [&] {
        if (server && client)
            server->abort();
    };
    identity.accept(acceptor, io.get_executor(), [&](TlsStream::Ptr tls) {
        server = tls;
        resetOnceBoth();
    });
    char buffer[64];
    TlsStream::connect(io, makeClientContext(identity.fingerprint), {"127.0.0.1", acceptor.local_endpoint().port()},
                       std::chrono::seconds(5), [&](const std::error_code &ec, TlsStream::Ptr tls) {
                           if (ec)
                               return;
                           client = tls;
                           client->waitBeforeReads();
                           client->waitReadable([&](const std::error_code &ec) {
                               waited = !ec;
                               client->readSome(asio::buffer(buffer), [&](const std::error_code &ec, std::size_t) {
                                   readError = ec;
                                   read = true;
                               });
                           });
                           resetOnceBoth();
                       });
    while (!read && io.run_one_for(std::chrono::seconds(10)) > 0) {
    }
    QVERIFY(waited && read);
    QCOMPARE(QString::fromStdString(readError.message()),
             QString::fromStdString(std::error_code(asio::error::connection_reset).message()));
}

QTEST_GUILESS_MAIN(TestWire)
#include "test_wire.moc"
