#include "PortPair.h"
#include "vserial/PortDirectory.h"
#include "vserial/vspdctl.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

// The pair library through its C interface, with the ports used as a user program uses them.
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
    static QByteArray randomBytes(int size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator generator(size);
        for (char &c : bytes)
            c = char(generator.bounded(256));
        return bytes;
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

    void bytesPassUnchangedBothWays_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QByteArray all(256, 0);
        for (int i = 0; i < 256; ++i)
            all[i] = char(i);
        QTest::newRow("every byte value") << all;
        // What a terminal's default line discipline would echo, translate or act upon.
        QTest::newRow("line discipline bait") << QByteArray("\r\n\r\x03\x04\x11\x13\x1a\x7f\x1c\xff\n", 12).repeated(50);
        QTest::newRow("64 KiB burst") << randomBytes(64 * 1024);
        QTest::newRow("1 MiB burst") << randomBytes(1024 * 1024);
    }
    void bytesPassUnchangedBothWays()
    {
        QFETCH(QByteArray, bytes);
        QVERIFY(CreatePair("COM30", "COM31"));
        PortPair ports(path("COM30"), path("COM31"));
        QVERIFY(ports.isOpen());

        QByteArray reversed(bytes);
        std::reverse(reversed.begin(), reversed.end());
        QByteArray atSecond, atFirst;
        ports.exchange(bytes, reversed, &atSecond, &atFirst);
        QCOMPARE(atSecond.size(), bytes.size());
        QCOMPARE(atFirst.size(), reversed.size());
        QVERIFY(atSecond == bytes);
        QVERIFY(atFirst == reversed);
    }

    void lineSettingsOfEitherSideDoNotAlterBytes()
    {
        QVERIFY(CreatePair("COM30", "COM31"));
        PortPair ports(path("COM30"), path("COM31"));
        QVERIFY(ports.isOpen());
        const QByteArray bytes = randomBytes(4096);
        // A pseudo-terminal has no wire: it carries eight bits whatever frame a side asks for,
        // which is what a virtual port should do.
        const struct { speed_t speed[2]; tcflag_t frame[2]; } lines[] = {
            {{B9600, B115200}, {CS8, CS8}},
            {{B50, B4000000}, {CS8, CS8 | CSTOPB}},
            {{B1200, B1200}, {CS7 | PARENB, CS8 | PARENB | PARODD}},
        };
        for (const auto &line : lines) {
            QVERIFY(setLine(ports.fd(0), line.speed[0], line.frame[0]));
            QVERIFY(setLine(ports.fd(1), line.speed[1], line.frame[1]));
            QByteArray atSecond, atFirst;
            ports.exchange(bytes, bytes, &atSecond, &atFirst);
            QVERIFY(atSecond == bytes);
            QVERIFY(atFirst == bytes);
        }
    }

    void sideClosedAndReopenedKeepsWorking()
    {
        QVERIFY(CreatePair("COM30", "COM31"));
        PortPair ports(path("COM30"), path("COM31"));
        QVERIFY(ports.isOpen());
        QByteArray atSecond, atFirst;
        for (int side : {0, 1, 0, 1}) {
            QVERIFY(ports.reopen(side));
            ports.exchange("ping", "pong", &atSecond, &atFirst);
            QCOMPARE(atSecond, QByteArray("ping"));
            QCOMPARE(atFirst, QByteArray("pong"));
        }
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
        QCOMPARE(ports.read(1, 10), QByteArray("last words"));

        QVERIFY(ports.reopen(0));
        QByteArray atSecond, atFirst;
        ports.exchange(QByteArray(), "fresh", &atSecond, &atFirst);
        QCOMPARE(atFirst, QByteArray("fresh"));

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

    void badNamesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");
        QTest::newRow("empty") << QByteArray("") << QByteArray("COM31");
        QTest::newRow("same twice") << QByteArray("COM30") << QByteArray("COM30");
        QTest::newRow("parent directory") << QByteArray("../COM30") << QByteArray("COM31");
        QTest::newRow("absolute path") << QByteArray("COM30") << QByteArray("/tmp/COM31");
        QTest::newRow("hidden name") << QByteArray(".COM30") << QByteArray("COM31");
        QTest::newRow("too long") << QByteArray(33, 'C') << QByteArray("COM31");
    }
    void badNamesAreRefused()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QVERIFY(!CreatePair(first.constData(), second.constData()));
        QVERIFY(!DeletePair(first.constData()));
        QCOMPARE(entries(), QStringList());
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
        const QByteArray savedOverride = qgetenv("TALVO_VSERIAL_DIR");
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
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

        qputenv("TALVO_VSERIAL_DIR", savedOverride);
        if (savedRuntime.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", savedRuntime);
    }
};

QTEST_GUILESS_MAIN(TestVspdctl)
#include "tst_vspdctl.moc"
