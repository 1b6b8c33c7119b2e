// Guards the socket splice against corrupting or losing bytes, passing an abort on as a clean
// end (or an end as an abort), missing a reset behind a far end that stopped reading, dying
// of SIGPIPE, and leaking pipes or sockets.
#include "Bytes.h"
#include "wire/SocketSplice.h"
#include "wire/TcpStream.h"

#include <QtTest>

#include <csignal>
#include <future>
#include <thread>

#include <poll.h>
#include <sys/socket.h>

using namespace wire;
using asio::ip::tcp;

namespace {

constexpr auto kBound = std::chrono::seconds(10);

// The test's ends are used blocking, through their descriptors; every call gives up after
// kBound.
bool sendAll(tcp::socket &s, const std::string &bytes)
{
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::send(s.native_handle(), bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += std::size_t(n);
    }
    return true;
}

// Until the end of stream (error 0) or a failure (its errno; EAGAIN: nothing came in time).
std::string readToEnd(tcp::socket &s, int &error)
{
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(s.native_handle(), buf, sizeof buf, 0)) > 0)
        got.append(buf, std::size_t(n));
    error = n == 0 ? 0 : errno;
    return got;
}

// Sends from `at` on what goes without blocking; where it stopped.
std::size_t sendWhileRoom(tcp::socket &s, const std::string &bytes, std::size_t at = 0)
{
    for (ssize_t n; at < bytes.size() &&
                    (n = ::send(s.native_handle(), bytes.data() + at, std::min<std::size_t>(16384, bytes.size() - at),
                                MSG_DONTWAIT | MSG_NOSIGNAL)) > 0;)
        at += std::size_t(n);
    return at;
}

// Writes until the path to a far end that does not read is full. With `settle`, until nothing
// more goes for a moment, so that the splice is surely waiting on the far end.
void fillUntilBlocked(tcp::socket &s, bool settle)
{
    const std::string chunk(16384, 'x');
    for (pollfd p {s.native_handle(), POLLOUT, 0};;) {
        while (sendWhileRoom(s, chunk) == chunk.size()) {
        }
        if (!settle || ::poll(&p, 1, 100) != 1)
            return;
    }
}

int openDescriptors()
{
    return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size();
}

// What the splice reported when it finished.
struct Report
{
    std::uint64_t ab = 0, ba = 0, progressAb = 0, progressBa = 0;
    std::error_code error;
};

struct Spliced
{
    tcp::socket a, b; // the test's ends
    std::shared_ptr<SocketSplice> splice;
    std::shared_future<Report> done;

    bool wait() const { return done.wait_for(kBound) == std::future_status::ready; }
    const Report &report() const { return done.get(); } // after wait()
};

// An io_context on a thread of its own, as the relay runs it, and a loopback listener.
struct Rig
{
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work {io.get_executor()};
    tcp::acceptor acceptor {io, {asio::ip::make_address("127.0.0.1"), 0}};
    std::thread thread {[this] { io.run(); }};
    // Small buffers: a far end that does not read blocks the path after a few hundred KiB.
    int buffer = 32768;
    int bBuffer = buffer; // of B's end and of the splice's side towards B

    ~Rig()
    {
        io.stop();
        thread.join();
    }

    Spliced splice(std::string toB = {}, std::string toA = {})
    {
        Spliced s {tcp::socket(io), tcp::socket(io)};
        tcp::socket inA(io), inB(io);
        const timeval bound {kBound.count(), 0};
        for (auto [outer, inner, size] : {std::tuple(&s.a, &inA, buffer), std::tuple(&s.b, &inB, bBuffer)}) {
            outer->open(tcp::v4());
            outer->set_option(asio::socket_base::receive_buffer_size(size)); // before the window is set
            outer->connect(acceptor.local_endpoint());
            acceptor.accept(*inner);
            outer->set_option(asio::socket_base::send_buffer_size(size));
            inner->set_option(asio::socket_base::send_buffer_size(size));
            inner->set_option(asio::socket_base::receive_buffer_size(size));
            for (int opt : {SO_SNDTIMEO, SO_RCVTIMEO})
                ::setsockopt(outer->native_handle(), SOL_SOCKET, opt, &bound, sizeof bound);
        }
        auto r = std::make_shared<Report>();
        auto finished = std::make_shared<std::promise<Report>>();
        s.done = finished->get_future().share();
        s.splice = SocketSplice::start(
            std::move(inA), std::move(inB), std::move(toB), std::move(toA),
            [r, finished](std::uint64_t ab, std::uint64_t ba, const std::error_code &ec) {
                std::tie(r->ab, r->ba, r->error) = std::tie(ab, ba, ec);
                finished->set_value(*r);
            },
            [r](bool aToB, std::size_t n) { (aToB ? r->progressAb : r->progressBa) += n; });
        return s;
    }
};

void addModes()
{
    QTest::addColumn<bool>("plainCopy");
    QTest::newRow("splice") << false;
    QTest::newRow("plain copy") << true;
}

} // namespace

class TestSplice : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); } // as the daemons run
    void init()
    {
        if (QTest::currentDataTag())
            SocketSplice::forcePlainCopy(QTest::currentDataTag() == QByteArray("plain copy"));
    }
    void cleanup() { SocketSplice::forcePlainCopy(false); }

    void bytesAndEndsArriveIntact_data() { addModes(); }
    void bytesAndEndsArriveIntact();
    void resetBehindAStallReachesTheOtherEnd_data() { addModes(); }
    void resetBehindAStallReachesTheOtherEnd();
    void farEndGoneMidWriteIsNoSignal_data() { addModes(); }
    void farEndGoneMidWriteIsNoSignal();
    void noDescriptorOutlivesItsSplice();
};

// Bytes lost, reordered or duplicated when a pipe fills and its destination blocks, with both
// directions busy at once; an end of stream dropped, passed on before the bytes ahead of it, or
// taken for the end of both directions; a clean end that closes with a reset; bytes read past a
// handshake lost; counts that differ from what was delivered.
void TestSplice::bytesAndEndsArriveIntact()
{
    Rig rig;
    for (const bool aFirst : {true, false}) {
        Spliced s = rig.splice("to B ", "to A ");
        tcp::socket &first = aFirst ? s.a : s.b, &second = aFirst ? s.b : s.a;
        const std::string there = randomBytes(4 << 20, 7).toStdString(), back = randomBytes(3 << 20, 8).toStdString();
        std::string atFirst, atSecond;
        int errorFirst = -1, errorSecond = -1;
        std::promise<void> secondMayRead, endArrived;
        std::thread firstWrites([&] {
            const std::size_t sent = sendWhileRoom(first, there);
            secondMayRead.set_value(); // not before the path to it is full
            sendAll(first, there.substr(sent));
            ::shutdown(first.native_handle(), SHUT_WR); // on a thread: no exception
        });
        std::thread secondReads([&] {
            secondMayRead.get_future().wait_for(kBound);
            atSecond = readToEnd(second, errorSecond);
            endArrived.set_value();
        });
        std::thread secondWrites([&] { // half before the first end's end of stream, half after
            sendAll(second, back.substr(0, back.size() / 2));
            endArrived.get_future().wait_for(kBound);
            sendAll(second, back.substr(back.size() / 2));
            ::shutdown(second.native_handle(), SHUT_WR);
        });
        std::thread firstReads([&] { atFirst = readToEnd(first, errorFirst); });
        for (std::thread *t : {&firstWrites, &secondReads, &secondWrites, &firstReads})
            t->join();
        QVERIFY(s.wait());
        QCOMPARE(errorSecond, 0);
        QCOMPARE(errorFirst, 0);
        QVERIFY(atSecond == (aFirst ? "to B " : "to A ") + there);
        QVERIFY(atFirst == (aFirst ? "to A " : "to B ") + back);
        QVERIFY2(!s.report().error, s.report().error.message().c_str());
        QCOMPARE(s.report().ab, std::uint64_t((aFirst ? there : back).size()));
        QCOMPARE(s.report().ba, std::uint64_t((aFirst ? back : there).size()));
        QVERIFY(s.report().progressAb == s.report().ab && s.report().progressBa == s.report().ba);
        for (tcp::socket *end : {&first, &second}) { // closed cleanly: no reset after the end
            readToEnd(*end, errorFirst);
            QCOMPARE(errorFirst, 0);
        }
    }
}

// A reset missed while the direction from the reset end is blocked on a far end that does not
// read, or passed on as a clean end (a cut-off transfer that looks complete). An unblocked
// reset test_relay sees through a relay.
void TestSplice::resetBehindAStallReachesTheOtherEnd()
{
    Rig rig;
    for (const bool aResets : {true, false}) {
        Spliced s = rig.splice();
        tcp::socket &gone = aResets ? s.a : s.b, &survivor = aResets ? s.b : s.a;
        fillUntilBlocked(gone, true);
        resetConnection(gone);
        QVERIFY(s.wait()); // the stall check looks after a second
        QVERIFY2(s.report().error == asio::error::connection_reset, s.report().error.message().c_str());
        int error = 0;
        readToEnd(survivor, error);
        QCOMPARE(error, ECONNRESET);
    }
}

// A peer that closed its side and then reset while bytes still go to it: splice(2) raises
// SIGPIPE there, which must neither kill a process that does not ignore it nor go unreported.
void TestSplice::farEndGoneMidWriteIsNoSignal()
{
    const auto previous = std::signal(SIGPIPE, SIG_DFL);
    {
        Rig rig;
        Spliced s = rig.splice();
        s.b.shutdown(tcp::socket::shutdown_send);
        int aError = -1;
        readToEnd(s.a, aError);
        QCOMPARE(aError, 0); // the splice's side towards B is half-closed
        std::thread aWrites([&] {
            const std::string chunk(65536, 'y');
            for (int i = 0; i < 1000 && sendAll(s.a, chunk); ++i) {
            }
            aError = errno;
        });
        resetConnection(s.b);
        aWrites.join();
        QVERIFY(s.wait());
        QVERIFY2(s.report().error == asio::error::broken_pipe, s.report().error.message().c_str());
        QVERIFY2(aError == EPIPE || aError == ECONNRESET, strerror(aError));
    }
    std::signal(SIGPIPE, previous);
}

// Pipes or sockets left open by splices that ended, cleanly or cut off with bytes still in
// their pipes; such a pipe used again; a pipe pool that keeps more than its bound.
void TestSplice::noDescriptorOutlivesItsSplice()
{
    const int before = openDescriptors();
    {
        Rig rig;
        const int rigOwn = openDescriptors();
        { // bytes of a splice cut off stay in its pipe, and never reach the next splice
            Spliced cutOff = rig.splice();
            fillUntilBlocked(cutOff.a, true);
            cutOff.splice->stop(asio::error::timed_out);
            QVERIFY(cutOff.wait());
            Spliced next = rig.splice();
            QVERIFY(sendAll(next.a, "fresh"));
            for (tcp::socket *end : {&next.a, &next.b})
                end->shutdown(tcp::socket::shutdown_send);
            int error = -1;
            QCOMPARE(readToEnd(next.b, error), std::string("fresh"));
            QVERIFY(next.wait());
        }
        rig.bBuffer = 2048; // every A to B keeps bytes in its pipe
        std::vector<Spliced> many; // more pipes in use at once than the pool keeps
        for (std::size_t i = 0; i < SocketSplice::kMaxSparePipes * 2; ++i) {
            many.push_back(rig.splice());
            fillUntilBlocked(many.back().a, false);
        }
        for (std::size_t i = 0; i < many.size(); ++i) // every fifth cut off, the others ending
            if (i % 5 == 0)
                many[i].splice->stop(asio::error::timed_out);
            else
                for (tcp::socket *end : {&many[i].a, &many[i].b})
                    end->shutdown(tcp::socket::shutdown_send);
        for (std::size_t i = 0; i < many.size(); ++i) {
            int error = -1;
            readToEnd(many[i].b, error);
            QCOMPARE(error, i % 5 ? 0 : ECONNRESET);
            QVERIFY(many[i].wait());
            QVERIFY(i % 5 ? !many[i].report().error : many[i].report().error == asio::error::timed_out);
        }
        many.clear();
        std::promise<std::size_t> spare;
        asio::post(rig.io, [&spare] { spare.set_value(SocketSplice::sparePipes()); });
        const std::size_t n = spare.get_future().get();
        QVERIFY(n <= SocketSplice::kMaxSparePipes);
        QCOMPARE(openDescriptors(), rigOwn + 2 * int(n));
    }
    QCOMPARE(openDescriptors(), before); // the io thread's spare pipes went with it
}

QTEST_GUILESS_MAIN(TestSplice)
#include "test_splice.moc"
