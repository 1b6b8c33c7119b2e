// The shared pieces whose mistakes would hit all three programs: parsing of what comes
// from files and the network, the relay's identity and its pinning, backoff, and the
// splice's half-close.
#include "relay/RelayIdentity.h"
#include "wire/Address.h"
#include "wire/Backoff.h"
#include "wire/Ini.h"
#include "wire/Protocol.h"
#include "wire/Splicer.h"
#include "wire/TcpStream.h"
#include "wire/Tls.h"
#include "wire/TlsStream.h"

#include <QTemporaryDir>
#include <QtTest>

#include <thread>

using namespace wire;

class TestWire : public QObject
{
    Q_OBJECT
private slots:
    void iniKeepsOrderAndMergesSections();
    void addressesAreStrict();
    void wordsAndPatterns();
    void backoffGrowsToCapWithJitter();
    void certificateIsCreatedOnceAndPinned();
    void spliceCarriesHalfCloseThroughTls();
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
    QCOMPARE(QString::fromStdString(parseHostPort("127.0.0.1:7530")->text()), QString("127.0.0.1:7530"));
    QCOMPARE(QString::fromStdString(parseHostPort("[::1]:80")->text()), QString("[::1]:80"));
    QCOMPARE(QString::fromStdString(parseHostPort("[1%eth0]:8")->text()), QString("[1%eth0]:8"));
    QCOMPARE(parseHostPort("panel-7.local:1")->host, std::string("panel-7.local"));
    for (const char *bad : {"", ":80", "host", "host:", "host:0", "host:65536", "host:12a", "a b:1", "h;rm:1",
                            "h:1:2", "[::1]80", "*:1", "host:*"})
        QVERIFY2(!parseHostPort(bad), bad);
    AddressRules wild;
    wild.allowWildcards = true;
    QVERIFY(parseHostPort("*:502", wild)->anyHost);
    QVERIFY(parseHostPort("h:*", wild)->anyPort);
    AddressRules zero;
    zero.allowPortZero = true;
    QCOMPARE(int(parseHostPort("127.0.0.1:0", zero)->port), 0);
}

void TestWire::wordsAndPatterns()
{
    QCOMPARE(int(proto::splitWords("  A  b c ").size()), 3);
    QVERIFY(proto::globMatch("SN*", "SN123"));
    QVERIFY(proto::globMatch("*", ""));
    QVERIFY(proto::globMatch("A*B*C", "AxxBxxBC"));
    QVERIFY(!proto::globMatch("A*B", "AxxBx"));
    QVERIFY(!proto::globMatch("SN1", "SN12"));
    QVERIFY(proto::globMatch("*****x", std::string(2000, 'a') + "x"));
    QVERIFY(proto::validSn("ABC-12_3.x"));
    QVERIFY(!proto::validSn(""));
    QVERIFY(!proto::validSn("a/b"));
    QVERIFY(!proto::validSn(std::string(65, 'a')));
    QVERIFY(!proto::validSecret("with space"));
    QVERIFY(proto::secretEquals("abc", "abc"));
    QVERIFY(!proto::secretEquals("abc", "abd"));
    QCOMPARE(QString::fromStdString(normaliseFingerprint(std::string(32, 'A') + ":" + std::string(32, 'b'))),
             QString(32, 'a') + QString(32, 'b'));
    QVERIFY(normaliseFingerprint("abcd").empty());
}

void TestWire::backoffGrowsToCapWithJitter()
{
    Backoff b;
    const auto first = b.next();
    QVERIFY(first >= std::chrono::milliseconds(160) && first <= std::chrono::milliseconds(240));
    std::chrono::milliseconds last {};
    for (int i = 0; i < 20; ++i)
        last = b.next();
    QVERIFY(last <= Backoff::kCap);
    QVERIFY(last >= std::chrono::milliseconds(12000));
    b.reset();
    QVERIFY(b.next() <= std::chrono::milliseconds(240));
}

void TestWire::certificateIsCreatedOnceAndPinned()
{
    QTemporaryDir dir;
    const std::string key = dir.filePath("k.pem").toStdString(), cert = dir.filePath("c.pem").toStdString();
    bool created = false;
    std::string error, fp1, fp2;
    QVERIFY(relay::ensureKeyAndCertificate(key, cert, &created, &error));
    QVERIFY(created);
    QVERIFY(fileFingerprint(cert, &fp1, &error));
    QVERIFY(relay::ensureKeyAndCertificate(key, cert, &created, &error));
    QVERIFY(!created);
    QVERIFY(fileFingerprint(cert, &fp2, &error));
    QCOMPARE(fp1, fp2);
    QCOMPARE(int(fp1.size()), 64);
    QCOMPARE(QFile(dir.filePath("k.pem")).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
}

// A TLS server that echoes until the client half-closes, then says "bye" and closes:
// the half-close must arrive through TLS and the reply must still come back.
void TestWire::spliceCarriesHalfCloseThroughTls()
{
    QTemporaryDir dir;
    const std::string key = dir.filePath("k.pem").toStdString(), cert = dir.filePath("c.pem").toStdString();
    std::string error, fp;
    QVERIFY(relay::ensureKeyAndCertificate(key, cert, nullptr, &error));
    QVERIFY(fileFingerprint(cert, &fp, &error));
    auto serverCtx = makeServerContext(key, cert, &error);
    QVERIFY(serverCtx);

    asio::io_context io;
    asio::ip::tcp::acceptor tlsAcceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    asio::ip::tcp::acceptor plainAcceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    HostPort tlsAddress {"127.0.0.1", tlsAcceptor.local_endpoint().port()};

    // TLS side: reads all, then answers its length and closes.
    auto collected = std::make_shared<std::string>();
    tlsAcceptor.async_accept([&](const std::error_code &ec, asio::ip::tcp::socket s) {
        QVERIFY(!ec);
        TlsStream::accept(std::move(s), serverCtx, std::chrono::seconds(5), [&, collected](const std::error_code &ec,
                                                                                           TlsStream::Ptr tls) {
            QVERIFY(!ec);
            auto buf = std::make_shared<std::array<char, 4096>>();
            auto loop = std::make_shared<std::function<void()>>();
            *loop = [tls, buf, collected, loop] {
                tls->readSome(asio::buffer(*buf), [tls, buf, collected, loop](const std::error_code &ec, std::size_t n) {
                    if (!ec) {
                        collected->append(buf->data(), n);
                        return (*loop)();
                    }
                    auto reply = std::make_shared<std::string>("got " + std::to_string(collected->size()));
                    tls->writeAll(asio::buffer(*reply), [tls, reply, loop](const std::error_code &, std::size_t) {
                        tls->shutdownSend();
                        *loop = nullptr;
                    });
                });
            };
            (*loop)();
        });
    });
    // Plain side: spliced to a TLS connection towards the server.
    plainAcceptor.async_accept([&](const std::error_code &ec, asio::ip::tcp::socket s) {
        QVERIFY(!ec);
        auto plain = std::make_shared<TcpStream>(std::move(s));
        TlsStream::connect(io, makeClientContext(fp), tlsAddress, std::chrono::seconds(5),
                           [plain](const std::error_code &ec, TlsStream::Ptr tls) {
                               QVERIFY(!ec);
                               Splicer::start(plain, tls);
                           });
    });
    const auto plainPort = plainAcceptor.local_endpoint().port();
    std::string answer;
    std::thread client([&] {
        asio::io_context cio;
        asio::ip::tcp::socket s(cio);
        s.connect({asio::ip::make_address("127.0.0.1"), plainPort});
        const std::string payload(300000, 'z');
        asio::write(s, asio::buffer(payload));
        s.shutdown(asio::socket_base::shutdown_send);
        std::error_code ec;
        char buf[256];
        for (std::size_t n; (n = s.read_some(asio::buffer(buf), ec)) > 0 || !ec;)
            answer.append(buf, n);
    });
    io.run_for(std::chrono::seconds(20));
    client.join();
    QCOMPARE(QString::fromStdString(answer), QString("got 300000"));

    // The same client context refuses a server with another certificate.
    QTemporaryDir other;
    const std::string key2 = other.filePath("k.pem").toStdString(), cert2 = other.filePath("c.pem").toStdString();
    QVERIFY(relay::ensureKeyAndCertificate(key2, cert2, nullptr, &error));
    auto otherCtx = makeServerContext(key2, cert2, &error);
    asio::io_context io2;
    asio::ip::tcp::acceptor a2(io2, {asio::ip::make_address("127.0.0.1"), 0});
    a2.async_accept([&](const std::error_code &, asio::ip::tcp::socket s) {
        TlsStream::accept(std::move(s), otherCtx, std::chrono::seconds(5), [](const std::error_code &, TlsStream::Ptr) {});
    });
    std::error_code result;
    bool done = false;
    TlsStream::connect(io2, makeClientContext(fp), HostPort {"127.0.0.1", a2.local_endpoint().port()},
                       std::chrono::seconds(5), [&](const std::error_code &ec, TlsStream::Ptr) {
                           result = ec;
                           done = true;
                       });
    io2.run_for(std::chrono::seconds(10));
    QVERIFY(done);
    QVERIFY2(isCertificateMismatch(result), result.message().c_str());
}

QTEST_GUILESS_MAIN(TestWire)
#include "test_wire.moc"
