// Guards the socket splice against corrupting or losing bytes, passing an abort on as a clean
// end (or an end as an abort), missing a reset behind a far end that stopped reading, dying
// of SIGPIPE, and leaking pipes or sockets.
#include "wire/SocketSplice.h"
#include "wire/TcpStream.h"

#include <QtTest>

#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include <dirent.h>
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

// Writes until the path to a far end that does not read is full. With `settle`, until nothing
// more goes for a moment, so that the splice is surely waiting on the far end.
void fillUntilBlocked(tcp::socket &s, bool settle)
{
    const std::string chunk(16384, 'x');
    for (pollfd p {s.native_handle(), POLLOUT, 0};;) {
        while (::send(p.fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
        }
        if (!settle || ::poll(&p, 1, 100) != 1)
            return;
    }
}

int openDescriptors()
{
    int n = -1; // the directory's own
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (const dirent *e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// What the splice reported; written on the io thread, read after done.
struct Report
{
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::uint64_t ab = 0, ba = 0, progressAb = 0, progressBa = 0;
    std::error_code error;

    bool wait()
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, kBound, [this] { return done; });
    }
};

struct Spliced
{
    tcp::socket a, b; // the test's ends
    std::shared_ptr<SocketSplice> splice;
    std::shared_ptr<Report> report = std::make_shared<Report>();
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
        auto r = s.report;
        s.splice = SocketSplice::start(
            std::move(inA), std::move(inB), std::move(toB), std::move(toA),
            [r](std::uint64_t ab, std::uint64_t ba, const std::error_code &ec) {
                std::lock_guard<std::mutex> lock(r->m);
                r->ab = ab;
                r->ba = ba;
                r->error = ec;
                r->done = true;
                r->cv.notify_all();
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

    void bytesArriveIntactBothWays_data() { addModes(); }
    void bytesArriveIntactBothWays();
    void halfCloseTravelsEachWay_data() { addModes(); }
    void halfCloseTravelsEachWay();
    void resetReachesTheOtherEnd_data() { addModes(); }
    void resetReachesTheOtherEnd();
    void farEndGoneMidWriteIsNoSignal_data() { addModes(); }
    void farEndGoneMidWriteIsNoSignal();
    void noDescriptorOutlivesItsSplice();
};

// Bytes lost, reordered or duplicated when the pipe fills and the destination blocks, with
// both directions busy at once; counts that differ from what was delivered.
void TestSplice::bytesArriveIntactBothWays()
{
    std::mt19937 random(7);
    std::string toB(4 << 20, '\0'), toA(3 << 20, '\0');
    for (std::string *s : {&toB, &toA})
        for (char &c : *s)
            c = char(random());
    Rig rig;
    Spliced s = rig.splice();
    std::promise<void> bMayRead;
    std::string atA, atB;
    int errorA = -1, errorB = -1;
    std::thread aWrites([&] {
        // B reads nothing until A's path is full: the splice meets a full destination.
        std::size_t first = 0;
        for (ssize_t n; first < toB.size() &&
                        (n = ::send(s.a.native_handle(), toB.data() + first,
                                    std::min<std::size_t>(16384, toB.size() - first), MSG_DONTWAIT)) > 0;)
            first += std::size_t(n);
        bMayRead.set_value();
        sendAll(s.a, toB.substr(first));
        s.a.shutdown(tcp::socket::shutdown_send);
    });
    std::thread bWrites([&] {
        sendAll(s.b, toA);
        s.b.shutdown(tcp::socket::shutdown_send);
    });
    std::thread aReads([&] { atA = readToEnd(s.a, errorA); });
    std::thread bReads([&] {
        bMayRead.get_future().wait_for(kBound);
        atB = readToEnd(s.b, errorB);
    });
    for (std::thread *t : {&aWrites, &bWrites, &aReads, &bReads})
        t->join();
    QVERIFY(s.report->wait());
    QCOMPARE(errorA, 0);
    QCOMPARE(errorB, 0);
    QVERIFY(atB == toB);
    QVERIFY(atA == toA);
    QVERIFY2(!s.report->error, s.report->error.message().c_str());
    QCOMPARE(s.report->ab, std::uint64_t(toB.size()));
    QCOMPARE(s.report->ba, std::uint64_t(toA.size()));
    QCOMPARE(s.report->progressAb, s.report->ab);
    QCOMPARE(s.report->progressBa, s.report->ba);
}

// An end of stream dropped, passed on before the bytes ahead of it, or taken for the end of
// both directions; a clean end that closes with a reset; bytes read past a handshake lost.
void TestSplice::halfCloseTravelsEachWay()
{
    Rig rig;
    for (const bool aFirst : {true, false}) {
        Spliced s = rig.splice("OK\n", "ahead ");
        tcp::socket &first = aFirst ? s.a : s.b, &second = aFirst ? s.b : s.a;
        const std::string request = "how much?", reply(300000, 'r'); // more than the path holds
        QVERIFY(sendAll(first, request));
        first.shutdown(tcp::socket::shutdown_send);
        int error = -1;
        QCOMPARE(QString::fromStdString(readToEnd(second, error)),
                 QString::fromStdString((aFirst ? "OK\n" : "ahead ") + request));
        QCOMPARE(error, 0);
        std::thread replies([&] {
            sendAll(second, reply);
            second.shutdown(tcp::socket::shutdown_send);
        });
        const std::string got = readToEnd(first, error);
        replies.join();
        QVERIFY(got == (aFirst ? "ahead " : "OK\n") + reply);
        QCOMPARE(error, 0);
        QVERIFY(s.report->wait());
        QVERIFY2(!s.report->error, s.report->error.message().c_str());
        QCOMPARE(s.report->ab + s.report->ba, std::uint64_t(request.size() + reply.size()));
        for (tcp::socket *end : {&first, &second}) { // closed cleanly: no reset after the end
            readToEnd(*end, error);
            QCOMPARE(error, 0);
        }
    }
}

// A reset passed on as a clean end (a cut-off transfer that looks complete), and one missed
// while the direction from the reset end is blocked on a far end that does not read.
void TestSplice::resetReachesTheOtherEnd()
{
    Rig rig;
    for (const bool stalled : {false, true}) {
        for (const bool aResets : {true, false}) {
            Spliced s = rig.splice();
            tcp::socket &gone = aResets ? s.a : s.b, &survivor = aResets ? s.b : s.a;
            if (stalled)
                fillUntilBlocked(gone, true);
            else
                QVERIFY(sendAll(gone, "partial"));
            resetConnection(gone);
            QVERIFY(s.report->wait()); // the stall check looks after a second
            QVERIFY2(s.report->error == asio::error::connection_reset, s.report->error.message().c_str());
            int error = 0;
            readToEnd(survivor, error);
            QCOMPARE(error, ECONNRESET);
        }
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
        QVERIFY(s.report->wait());
        QVERIFY2(s.report->error == asio::error::broken_pipe, s.report->error.message().c_str());
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
            QVERIFY(cutOff.report->wait());
            Spliced next = rig.splice();
            QVERIFY(sendAll(next.a, "fresh"));
            for (tcp::socket *end : {&next.a, &next.b})
                end->shutdown(tcp::socket::shutdown_send);
            int error = -1;
            QCOMPARE(readToEnd(next.b, error), std::string("fresh"));
            QVERIFY(next.report->wait());
        }
        rig.bBuffer = 2048; // every A to B keeps bytes in its pipe
        std::vector<Spliced> clean, cut;
        for (std::size_t i = 0; i < SocketSplice::kMaxSparePipes * 2; ++i) {
            auto &group = i % 5 ? clean : cut;
            group.push_back(rig.splice());
            fillUntilBlocked(group.back().a, false);
            QVERIFY(sendAll(group.back().b, "b"));
        }
        for (Spliced &s : cut)
            s.splice->stop(asio::error::timed_out);
        for (Spliced &s : clean) { // more pipes in use at once than the pool keeps come back empty
            s.a.shutdown(tcp::socket::shutdown_send);
            s.b.shutdown(tcp::socket::shutdown_send);
        }
        for (Spliced &s : clean) {
            int error = -1;
            readToEnd(s.b, error);
            QCOMPARE(error, 0);
            QCOMPARE(readToEnd(s.a, error), std::string("b"));
            QVERIFY(s.report->wait() && !s.report->error);
        }
        for (Spliced &s : cut) {
            QVERIFY(s.report->wait());
            QVERIFY(s.report->error == asio::error::timed_out);
            int error = 0;
            readToEnd(s.b, error);
            QCOMPARE(error, ECONNRESET);
        }
        clean.clear();
        cut.clear();
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
