// Guards the socket splice against corrupting or losing bytes, passing an abort on as a clean
// end (or an end as an abort), missing a reset behind a far end that stopped reading, dying
// of SIGPIPE, and leaking pipes or sockets.
#include "wire/SocketSplice.h"

#include <QtTest>

#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace wire;

namespace {

constexpr auto kBound = std::chrono::seconds(10);

// A test end: a blocking descriptor whose every read and write gives up after kBound.
struct Fd
{
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd &&o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Fd &operator=(Fd &&o) noexcept
    {
        close();
        fd = std::exchange(o.fd, -1);
        return *this;
    }
    ~Fd() { close(); }
    void close()
    {
        if (fd >= 0)
            ::close(std::exchange(fd, -1));
    }
    void reset() // RST instead of FIN
    {
        const linger l {1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }
};

bool sendAll(int fd, const std::string &s)
{
    for (std::size_t at = 0; at < s.size();) {
        const ssize_t n = ::send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += std::size_t(n);
    }
    return true;
}

// Until the end of stream (error 0) or a failure (its errno; EAGAIN: nothing came in time).
std::string readToEnd(int fd, int &error)
{
    std::string got;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            error = n == 0 ? 0 : errno;
            return got;
        }
        got.append(buf, std::size_t(n));
    }
}

// Writes until the path to a far end that does not read is full. With `settle`, until nothing
// more goes for a moment, so that the splice is surely waiting on the far end.
void fillUntilBlocked(int fd, bool settle)
{
    const std::string chunk(16384, 'x');
    for (;;) {
        while (::send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
        }
        pollfd p {fd, POLLOUT, 0};
        if (!settle || ::poll(&p, 1, 100) != 1)
            return;
    }
}

int openDescriptors()
{
    int n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (const dirent *e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n - 1; // the directory's own
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
    Fd a, b; // the test's ends
    std::shared_ptr<SocketSplice> splice;
    std::shared_ptr<Report> report = std::make_shared<Report>();
};

// An io_context on a thread of its own, as the relay runs it, and a loopback listener.
class Rig
{
public:
    Rig() : m_thread([this] { m_io.run(); }) {}
    ~Rig()
    {
        m_work.reset();
        m_io.stop();
        m_thread.join();
    }

    // Small buffers: a far end that does not read blocks the path after a few hundred KiB.
    Spliced splice(std::string toB = {}, std::string toA = {})
    {
        Spliced s;
        asio::ip::tcp::socket inA(m_io), inB(m_io);
        s.a = connect(inA);
        s.b = connect(inB);
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

    template <class F>
    auto onIoThread(F f)
    {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        asio::post(m_io, [&task] { task(); });
        result.wait_for(kBound);
        return result.get();
    }

private:
    Fd connect(asio::ip::tcp::socket &inner)
    {
        Fd outer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int size = 32768;
        const timeval bound {kBound.count(), 0};
        for (int opt : {SO_SNDBUF, SO_RCVBUF})
            ::setsockopt(outer.fd, SOL_SOCKET, opt, &size, sizeof size);
        for (int opt : {SO_SNDTIMEO, SO_RCVTIMEO})
            ::setsockopt(outer.fd, SOL_SOCKET, opt, &bound, sizeof bound);
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_acceptor.local_endpoint().port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(outer.fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0)
            m_acceptor.accept(inner);
        inner.set_option(asio::socket_base::send_buffer_size(size));
        inner.set_option(asio::socket_base::receive_buffer_size(size));
        return outer;
    }

    asio::io_context m_io;
    asio::executor_work_guard<asio::io_context::executor_type> m_work {m_io.get_executor()};
    asio::ip::tcp::acceptor m_acceptor {m_io, {asio::ip::make_address("127.0.0.1"), 0}};
    std::thread m_thread;
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
                        (n = ::send(s.a.fd, toB.data() + first, std::min<std::size_t>(16384, toB.size() - first),
                                    MSG_DONTWAIT | MSG_NOSIGNAL)) > 0;)
            first += std::size_t(n);
        bMayRead.set_value();
        sendAll(s.a.fd, toB.substr(first));
        ::shutdown(s.a.fd, SHUT_WR);
    });
    std::thread bWrites([&] {
        sendAll(s.b.fd, toA);
        ::shutdown(s.b.fd, SHUT_WR);
    });
    std::thread aReads([&] { atA = readToEnd(s.a.fd, errorA); });
    std::thread bReads([&] {
        bMayRead.get_future().wait_for(kBound);
        atB = readToEnd(s.b.fd, errorB);
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
        const int first = aFirst ? s.a.fd : s.b.fd, second = aFirst ? s.b.fd : s.a.fd;
        const std::string request = "how much?", reply(300000, 'r'); // more than the path holds
        QVERIFY(sendAll(first, request));
        ::shutdown(first, SHUT_WR);
        int error = -1;
        QCOMPARE(QString::fromStdString(readToEnd(second, error)),
                 QString::fromStdString((aFirst ? "OK\n" : "ahead ") + request));
        QCOMPARE(error, 0);
        std::thread replies([&] {
            sendAll(second, reply);
            ::shutdown(second, SHUT_WR);
        });
        const std::string got = readToEnd(first, error);
        replies.join();
        QVERIFY(got == (aFirst ? "ahead " : "OK\n") + reply);
        QCOMPARE(error, 0);
        QVERIFY(s.report->wait());
        QVERIFY2(!s.report->error, s.report->error.message().c_str());
        QCOMPARE(s.report->ab + s.report->ba, std::uint64_t(request.size() + reply.size()));
        char c;
        for (int fd : {first, second}) // closed cleanly: no reset after the end
            QCOMPARE(::recv(fd, &c, 1, 0), ssize_t(0));
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
            Fd &gone = aResets ? s.a : s.b;
            const int survivor = aResets ? s.b.fd : s.a.fd;
            if (stalled)
                fillUntilBlocked(gone.fd, true);
            else
                QVERIFY(sendAll(gone.fd, "partial"));
            gone.reset();
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
        ::shutdown(s.b.fd, SHUT_WR);
        char c;
        QCOMPARE(::recv(s.a.fd, &c, 1, 0), ssize_t(0)); // the splice's side towards B is half-closed
        int aError = 0;
        std::thread aWrites([&] {
            const std::string chunk(65536, 'y');
            for (int i = 0; i < 1000 && sendAll(s.a.fd, chunk); ++i) {
            }
            aError = errno;
        });
        s.b.reset();
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
            fillUntilBlocked(cutOff.a.fd, true);
            cutOff.splice->stop(asio::error::timed_out);
            QVERIFY(cutOff.report->wait());
            Spliced next = rig.splice();
            QVERIFY(sendAll(next.a.fd, "fresh"));
            for (int fd : {next.a.fd, next.b.fd})
                ::shutdown(fd, SHUT_WR);
            int error = -1;
            QCOMPARE(readToEnd(next.b.fd, error), std::string("fresh"));
            QVERIFY(next.report->wait());
        }
        std::vector<Spliced> clean(SocketSplice::kMaxSparePipes + 8), cut(8);
        for (auto *group : {&clean, &cut})
            for (Spliced &s : *group) {
                s = rig.splice();
                fillUntilBlocked(s.a.fd, false);
                QVERIFY(sendAll(s.b.fd, "b"));
            }
        for (Spliced &s : cut)
            s.splice->stop(asio::error::timed_out);
        for (Spliced &s : clean) { // more pipes in use at once than the pool keeps come back empty
            ::shutdown(s.a.fd, SHUT_WR);
            ::shutdown(s.b.fd, SHUT_WR);
        }
        for (Spliced &s : clean) {
            int error = -1;
            readToEnd(s.b.fd, error);
            QCOMPARE(error, 0);
            QCOMPARE(readToEnd(s.a.fd, error), std::string("b"));
            QVERIFY(s.report->wait() && !s.report->error);
        }
        for (Spliced &s : cut) {
            QVERIFY(s.report->wait());
            QVERIFY(s.report->error == asio::error::timed_out);
            int error = 0;
            readToEnd(s.b.fd, error);
            QCOMPARE(error, ECONNRESET);
        }
        clean.clear();
        cut.clear();
        const std::size_t spare = rig.onIoThread([] { return SocketSplice::sparePipes(); });
        QVERIFY(spare <= SocketSplice::kMaxSparePipes);
        QCOMPARE(openDescriptors(), rigOwn + 2 * int(spare));
    }
    QCOMPARE(openDescriptors(), before); // the io thread's spare pipes went with it
}

QTEST_GUILESS_MAIN(TestSplice)
#include "test_splice.moc"
