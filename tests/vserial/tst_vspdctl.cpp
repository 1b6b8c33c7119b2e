// Guards virtual serial pairs against altered bytes, leftovers, stalled writers, name hijacks and races.
#include "Bytes.h"
#include "vserial/PortDirectory.h"
#include "vserial/vspdctl.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/file.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
// Test side of a pair: the two published ports opened the way a user program opens them,
// and the bytes moved through them with poll(), never with sleeps.
class PortPair
{
public:
    PortPair(const QString &firstPath, const QString &secondPath) : m_path{firstPath, secondPath}
    {
        reopen(0);
        reopen(1);
    }
    ~PortPair() { close(0); close(1); }
    bool isOpen() const { return m_fd[0] >= 0 && m_fd[1] >= 0; }
    int fd(int side) const { return m_fd[side]; }
    void close(int side)
    {
        if (m_fd[side] >= 0)
            ::close(m_fd[side]);
        m_fd[side] = -1;
    }
    bool reopen(int side)
    {
        close(side);
        m_fd[side] = ::open(QFile::encodeName(m_path[side]).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return m_fd[side] >= 0;
    }
    // Closes the side, then waits until the relay has seen it go: the relay then opens the
    // port once, briefly, to clear what its last user left unread.
    bool closeAndWaitUntilCleared(int side)
    {
        const QByteArray device = QFile::encodeName(QFileInfo(m_path[side]).symLinkTarget());
        const int events = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        const bool watched = events >= 0 && ::inotify_add_watch(events, device.constData(), IN_OPEN | IN_CLOSE) >= 0;
        close(side);
        // Our own close comes first; the relay's open and close follow.
        bool opened = false, closedAfterOpen = false;
        QDeadlineTimer deadline(5000);
        alignas(inotify_event) char buffer[4096];
        while (watched && !closedAfterOpen) {
            pollfd fds{events, POLLIN, 0};
            const int remaining = int(deadline.remainingTime());
            if (remaining <= 0 || ::poll(&fds, 1, remaining) <= 0)
                break;
            const ssize_t n = ::read(events, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + event->len);
                if (event->mask & IN_OPEN)
                    opened = true;
                else if (opened && (event->mask & IN_CLOSE))
                    closedAfterOpen = true;
            }
        }
        if (events >= 0)
            ::close(events);
        return closedAfterOpen;
    }

    // Writes out[side] from each side (m_sent: how much went) while reading into what it
    // returns, until everything went and want[side] bytes came, or the time is up. A side that
    // is to receive nothing is not read. Both ways at once, so a burst larger than the
    // buffers cannot stall on itself.
    std::array<QByteArray, 2> pump(const std::array<QByteArray, 2> &out, std::array<int, 2> want)
    {
        std::array<QByteArray, 2> in;
        m_sent = {0, 0};
        auto pending = [&](int s) { return m_sent[s] < out[s].size() || in[s].size() < want[s]; };
        QDeadlineTimer deadline(20000);
        char buffer[65536];
        while (pending(0) || pending(1)) {
            pollfd fds[2];
            for (int s = 0; s < 2; ++s)
                fds[s] = {m_fd[s], short((want[s] ? POLLIN : 0) | (m_sent[s] < out[s].size() ? POLLOUT : 0)), 0};
            const int remaining = int(deadline.remainingTime());
            if (remaining <= 0 || ::poll(fds, 2, remaining) <= 0)
                break;
            for (int s = 0; s < 2; ++s) {
                if (fds[s].revents & POLLOUT) {
                    const ssize_t n = ::write(m_fd[s], out[s].constData() + m_sent[s], size_t(out[s].size() - m_sent[s]));
                    m_sent[s] += qMax<ssize_t>(n, 0);
                }
                if (fds[s].revents & POLLIN) {
                    const ssize_t n = ::read(m_fd[s], buffer, sizeof buffer);
                    if (n > 0)
                        in[s].append(buffer, int(n));
                }
            }
        }
        return in;
    }
    // What arrived at {first, second} when each sent the other its bytes at the same time.
    std::array<QByteArray, 2> exchange(const QByteArray &toSecond, const QByteArray &toFirst)
    {
        return pump({toSecond, toFirst}, {int(toFirst.size()), int(toSecond.size())});
    }
    qint64 writeAll(int side, const QByteArray &bytes)
    {
        std::array<QByteArray, 2> out;
        out[side] = bytes;
        pump(out, {0, 0});
        return m_sent[side];
    }
    bool waitReadable(int side)
    {
        pollfd fds{m_fd[side], POLLIN, 0};
        return ::poll(&fds, 1, 5000) == 1 && (fds.revents & POLLIN);
    }

private:
    QString m_path[2];
    int m_fd[2] = {-1, -1};
    std::array<qint64, 2> m_sent = {0, 0};
};
} // namespace

class TestVspdctl : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const char *name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QStringList entries() const
    {
        return QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                            | QDir::NoDotAndDotDot);
    }
    static bool setLine(int fd, speed_t speed, tcflag_t frame = CS8)
    {
        termios settings;
        if (::tcgetattr(fd, &settings) != 0)
            return false;
        ::cfmakeraw(&settings);
        ::cfsetspeed(&settings, speed);
        settings.c_cflag = (settings.c_cflag & ~(CSIZE | PARENB | PARODD | CSTOPB)) | frame;
        return ::tcsetattr(fd, TCSANOW, &settings) == 0;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("TALVO_VSERIAL_DIR", QFile::encodeName(m_dir.path()));
    }

    void cleanup()
    {
        DeletePair("COM30");
        DeletePair("COM32");
        QCOMPARE(entries(), QStringList());
    }

    // A pseudo-terminal has no wire: it carries eight bits whatever speed and frame either
    // side asks for, which is what a virtual port should do; what a terminal's default line
    // discipline would echo, translate or act upon passes too, and 1 MiB each way at once.
    void bytesPassUnchangedBothWays()
    {
        QVERIFY(CreatePair("COM30", "COM31"));
        PortPair ports(path("COM30"), path("COM31"));
        QVERIFY(ports.isOpen());
        QVERIFY(setLine(ports.fd(0), B50, CS7 | PARENB));
        QVERIFY(setLine(ports.fd(1), B4000000, CS8 | PARENB | PARODD));
        QByteArray bytes = QByteArray("\r\n\r\x03\x04\x11\x13\x1a\x7f\x1c\xff\n", 12).repeated(50);
        for (int i = 0; i < 256; ++i)
            bytes += char(i);
        bytes += randomBytes(1024 * 1024);
        QByteArray reversed(bytes);
        std::reverse(reversed.begin(), reversed.end());
        const auto at = ports.exchange(bytes, reversed);
        QCOMPARE(at[1], bytes);
        QCOMPARE(at[0], reversed);
    }

    // Like a cable: nothing is delivered to a port nobody holds, so the next program to open
    // it does not first read the remains of the last session; but what a program wrote just
    // before closing still arrives.
    void portsWithoutUsersGetNoLeftovers()
    {
        QVERIFY(CreatePair("COM30", "COM31"));
        PortPair ports(path("COM30"), path("COM31"));
        QVERIFY(ports.isOpen());

        QCOMPARE(ports.writeAll(1, "unread answer"), qint64(13));
        QVERIFY(ports.waitReadable(0));
        QCOMPARE(ports.writeAll(0, "last words"), qint64(10));
        QVERIFY(ports.closeAndWaitUntilCleared(0));
        QCOMPARE(ports.pump({}, {0, 10})[1], QByteArray("last words"));

        // Either side closed and reopened keeps working.
        for (int side : {0, 1}) {
            QVERIFY(ports.reopen(side));
            const auto at = ports.exchange("ping", "fresh");
            QCOMPARE(at[1], QByteArray("ping"));
            QCOMPARE(at[0], QByteArray("fresh"));
        }

        // However much is sent while nobody holds the port, the writer is not held up.
        QVERIFY(ports.closeAndWaitUntilCleared(0));
        const QByteArray lots = randomBytes(1024 * 1024);
        QCOMPARE(ports.writeAll(1, lots), qint64(lots.size()));
    }

    void namesArePublishedAndWithdrawn()
    {
        QVERIFY(CreatePair("COM30", "COM31"));
        const QString target = QFileInfo(path("COM30")).symLinkTarget();
        QVERIFY2(target.startsWith("/dev/pts/"), qPrintable(target));
        QVERIFY(QFileInfo(path("COM31")).symLinkTarget().startsWith("/dev/pts/"));

        // Asking again for a pair that exists is answered with "it exists", in either order,
        // and leaves it alone; a pair that would share a name with it is refused.
        QVERIFY(CreatePair("COM30", "COM31"));
        QVERIFY(CreatePair("COM31", "COM30"));
        QCOMPARE(QFileInfo(path("COM30")).symLinkTarget(), target);
        QVERIFY(!CreatePair("COM30", "COM32"));
        QVERIFY(!CreatePair("COM32", "COM31"));

        // Either name removes the pair, names and all.
        QVERIFY(DeletePair("COM31"));
        QCOMPARE(entries(), QStringList());
        QVERIFY(!DeletePair("COM30"));
    }

    // Names that would leave the directory, hide, clash or overflow: refused, nothing left.
    void badNamesAreRefused()
    {
        for (const auto &[first, second] : std::initializer_list<std::pair<QByteArray, QByteArray>>{
                 {"", "COM31"}, {"COM30", "COM30"}, {"../COM30", "COM31"}, {"COM30", "/tmp/COM31"},
                 {".COM30", "COM31"}, {QByteArray(33, 'C'), "COM31"}}) {
            QVERIFY2(!CreatePair(first.constData(), second.constData()) && !DeletePair(first.constData()),
                     (first + ' ' + second).constData());
            QCOMPARE(entries(), QStringList());
        }
        QVERIFY(!CreatePair(nullptr, "COM31"));
        QVERIFY(!DeletePair(nullptr));
    }

    void namesOfOthersAreRespected()
    {
        // A process that ended without removing its pair leaves a dangling link: taken over.
        QVERIFY(QFile::link("/dev/pts/nonexistent", path("COM30")));
        QVERIFY(CreatePair("COM30", "COM31"));
        QVERIFY(QFileInfo(path("COM30")).exists());
        QVERIFY(DeletePair("COM30"));

        // A live owner holds the name's lock (flock conflicts between separate opens, so this
        // stands for another process): refused, and nothing half made is left behind.
        const QByteArray lock = QFile::encodeName(path(".COM31.lock"));
        const int held = ::open(lock.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        QCOMPARE(::flock(held, LOCK_EX | LOCK_NB), 0);
        QVERIFY(!CreatePair("COM30", "COM31"));
        QVERIFY(!QFileInfo::exists(path("COM30")));
        ::unlink(lock.constData());
        ::close(held);

        // Something that is not a link is not ours to replace.
        QFile foreign(path("COM31"));
        QVERIFY(foreign.open(QIODevice::WriteOnly));
        QCOMPARE(foreign.write("keep me"), qint64(7));
        foreign.close();
        QVERIFY(!CreatePair("COM30", "COM31"));
        QCOMPARE(QFileInfo(foreign).size(), qint64(7));
        QVERIFY(foreign.remove());
    }

    void concurrentCreateAndDeleteStayConsistent()
    {
        std::atomic<int> created{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&created, t] {
                const char *first = t % 2 ? "COM30" : "COM32";
                const char *second = t % 2 ? "COM31" : "COM33";
                for (int i = 0; i < 40; ++i) {
                    if (CreatePair(first, second))
                        ++created;
                    DeletePair(i % 3 ? first : second);
                }
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QVERIFY(created > 0);
        // Whatever the interleaving, nothing is left half made.
        QCOMPARE(entries(), QStringList());
    }

    void privateDefaultDirectoryIsRequired()
    {
        const QByteArray savedOverride = qgetenv("TALVO_VSERIAL_DIR"), savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        const auto restore = qScopeGuard([&] {
            qputenv("TALVO_VSERIAL_DIR", savedOverride);
            savedRuntime.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", savedRuntime);
        });
        qunsetenv("TALVO_VSERIAL_DIR");
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString directory = runtime.filePath("talvo-vserial");

        QCOMPARE(QString::fromStdString(vserial::portDirectoryPath()), directory);
        QVERIFY(CreatePair("COM30", "COM31"));
        QVERIFY(QFileInfo(directory + "/COM30").isSymLink());
        QCOMPARE(QFileInfo(directory).permissions() & 0x0077, QFileDevice::Permissions());
        QVERIFY(DeletePair("COM30"));

        // Others could swap the names in a directory they may write to.
        QVERIFY(QFile::setPermissions(directory, QFileDevice::Permissions(0x7777)));
        QVERIFY(!CreatePair("COM30", "COM31"));
        QVERIFY(!QFileInfo::exists(directory + "/COM30"));
    }
};

QTEST_GUILESS_MAIN(TestVspdctl)
#include "tst_vspdctl.moc"
