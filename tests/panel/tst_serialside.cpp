// The agent's serial side against a virtual serial port pair standing in for the panel's
// device: "PANEL1" is what the agent opens, "PLC1" is the PLC's end of the cable.
#include "devices/VirtualPortsManager.h"
#include "panel/PassThroughConfig.h"
#include "panel/SerialSide.h"

#include <QtTest>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <random>
#include <termios.h>
#include <thread>
#include <unistd.h>

using panel::SerialLine;
using panel::SerialSide;

namespace {

std::string pattern(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = char(random());
    return bytes;
}

// The agent's io thread, as in the agent: the side lives there and is only touched there.
class IoThread
{
public:
    IoThread() : m_guard(asio::make_work_guard(io)), m_thread([this] { io.run(); }) {}
    ~IoThread()
    {
        m_guard.reset();
        io.stop();
        m_thread.join();
    }
    // Runs f on the io thread and waits for it (bounded).
    template <typename F> bool run(F f)
    {
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        asio::post(io, [f, done]() mutable { f(); done->set_value(); });
        return finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }
    asio::io_context io;

private:
    asio::executor_work_guard<asio::io_context::executor_type> m_guard;
    std::thread m_thread;
};

// What the side hands to its session, collected across threads.
class Collected
{
public:
    panel::PortSideEvents events()
    {
        panel::PortSideEvents e;
        e.toPc = [this](std::string bytes) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bytes += bytes;
        };
        e.pcBacklog = [this] { return backlog.load(); };
        e.report = [this](const std::string &line) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_reports.push_back(line);
        };
        return e;
    }
    std::string bytes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }
    std::size_t size()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes.size();
    }
    std::vector<std::string> reports()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports;
    }
    bool reported(const std::string &part)
    {
        for (const std::string &line : reports())
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }
    // Sum of "dropped N bytes" reports.
    std::size_t droppedReported()
    {
        std::size_t sum = 0;
        for (const std::string &line : reports()) {
            const auto at = line.find("dropped ");
            if (at != std::string::npos && line.find(" bytes from the PC", at) != std::string::npos)
                sum += std::stoul(line.substr(at + 8));
        }
        return sum;
    }

    std::atomic<std::size_t> backlog {0}; // what the session says the PC has not yet taken

private:
    std::mutex m_mutex;
    std::string m_bytes;
    std::vector<std::string> m_reports;
};

// The PLC's end of the cable, raw and non-blocking; pumped from the waits' predicates.
class DeviceEnd
{
public:
    ~DeviceEnd() { close(); }
    bool open(const QString &path)
    {
        close();
        m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t {};
        if (m_fd < 0 || ::tcgetattr(m_fd, &t) != 0)
            return false;
        ::cfmakeraw(&t);
        return ::tcsetattr(m_fd, TCSANOW, &t) == 0;
    }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    std::string readAvailable()
    {
        std::string got;
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0)
            got.append(buffer, std::size_t(n));
        return got;
    }
    std::size_t writeSome(const std::string &bytes, std::size_t from)
    {
        if (from >= bytes.size())
            return 0;
        const ssize_t n = ::write(m_fd, bytes.data() + from, std::min<std::size_t>(bytes.size() - from, 65536));
        return n > 0 ? std::size_t(n) : 0;
    }
    // Reads until `count` bytes came (bounded, on the event loop's waits).
    std::string read(std::size_t count, int ms = 10000)
    {
        std::string got;
        (void)QTest::qWaitFor([&] { got += readAvailable(); return got.size() >= count; }, ms);
        return got;
    }

private:
    int m_fd = -1;
};

} // namespace

class TestSerialSide : public QObject
{
    Q_OBJECT

    QTemporaryDir m_ports;
    QString m_panelPath;
    QString m_plcPath;

    std::shared_ptr<SerialSide> openSide(IoThread &io, Collected &collected, const SerialLine &line = {},
                                         std::string *error = nullptr, const QString &path = QString())
    {
        std::shared_ptr<SerialSide> side;
        std::string why;
        const std::string device = (path.isEmpty() ? m_panelPath : path).toStdString();
        io.run([&] { side = SerialSide::open(io.io, "COM1", device, line, collected.events(), &why); });
        if (error)
            *error = why;
        return side;
    }
    static void send(IoThread &io, const std::shared_ptr<SerialSide> &side, const std::string &bytes,
                     std::size_t chunk = 16384)
    {
        io.run([&] {
            for (std::size_t at = 0; at < bytes.size(); at += chunk)
                side->send(bytes.substr(at, chunk));
        });
    }
    static void close(IoThread &io, const std::shared_ptr<SerialSide> &side)
    {
        io.run([&] { side->close(); });
    }

private slots:
    void initTestCase()
    {
        qputenv("TALVO_VSERIAL_DIR", m_ports.path().toLocal8Bit());
        QVERIFY(VirtualPortsManager::createPair("PANEL1", "PLC1"));
        m_panelPath = VirtualPortsManager::portLocation("PANEL1");
        m_plcPath = VirtualPortsManager::portLocation("PLC1");
    }
    void cleanupTestCase()
    {
        VirtualPortsManager::deletePair("PANEL1");
    }

    void markedInputKeepsDataAndCountsDamage_data()
    {
        QTest::addColumn<QByteArray>("read");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("damaged");
        QTest::newRow("plain") << QByteArray("\x01\x02\x00", 3) << QByteArray("\x01\x02\x00", 3) << 0;
        QTest::newRow("escaped 0xff") << QByteArray("\xff\xff\x41", 3) << QByteArray("\xff\x41", 2) << 0;
        QTest::newRow("parity error") << QByteArray("\x41\xff\x00\x42\x43", 5) << QByteArray("ABC") << 1;
        QTest::newRow("break") << QByteArray("\xff\x00\x00", 3) << QByteArray("\x00", 1) << 1;
        QTest::newRow("stray mark") << QByteArray("\xff\x41", 2) << QByteArray("\xff\x41", 2) << 0;
    }
    // Marks cut anywhere by the end of a read come out the same as whole.
    void markedInputKeepsDataAndCountsDamage()
    {
        QFETCH(QByteArray, read);
        QFETCH(QByteArray, data);
        QFETCH(int, damaged);
        for (int cut = 0; cut <= read.size(); ++cut) {
            panel::MarkedInput marks;
            std::string out;
            std::size_t count = marks.decode(read.constData(), std::size_t(cut), out);
            count += marks.decode(read.constData() + cut, std::size_t(read.size() - cut), out);
            QCOMPARE(QByteArray::fromStdString(out), data);
            QCOMPARE(int(count), damaged);
        }
    }

    void lineSettingsFromTheConfig()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("p.ini");
        auto load = [&](const QByteArray &text, std::string *error) {
            QFile file(path);
            if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                file.write("[passthrough]\n" + text);
            file.close();
            auto config = std::make_unique<panel::PassThroughConfig>();
            return config->load(path.toStdString(), error) ? std::move(config) : nullptr;
        };
        std::string error;
        auto config = load("COM1=/dev/ttyUSB0\nCOM2=/dev/ttyS1\nCOM2.baud=19200\nCOM2.parity=odd\n"
                           "COM2.data=7\nCOM2.stop=2\n", &error);
        QVERIFY2(config, error.c_str());
        QCOMPARE(config->serialLines["COM1"].text(), std::string("9600 8N1"));
        QCOMPARE(config->serialLines["COM2"].text(), std::string("19200 7O2"));

        const char *bad[][2] = {
            {"COM1=/dev/x\nCOM1.baud=12345\n", "COM1.baud=12345: not a baud rate"},
            {"COM1=/dev/x\nCOM1.baud=\n", "not a baud rate"},
            {"COM1=/dev/x\nCOM1.parity=mark\n", "parity is none, even or odd"},
            {"COM1=/dev/x\nCOM1.data=9\n", "data bits are 5, 6, 7 or 8"},
            {"COM1=/dev/x\nCOM1.stop=1.5\n", "stop bits are 1 or 2"},
            {"COM1=/dev/x\nCOM1.flow=rtscts\n", "unknown setting"},
            {"COM2.baud=9600\n", "settings for COM2 but no COM2=DEVICE"},
            {"COM1=/dev/x\netherent=eth1\n", "p.ini:3: [passthrough] etherent= is not a setting"},
        };
        for (const auto &[text, expected] : bad) {
            QVERIFY2(!load(text, &error), text);
            QVERIFY2(error.find(expected) != std::string::npos, error.c_str());
        }

        // The settings reach the device, not only the config.
        IoThread io;
        Collected collected;
        auto side = openSide(io, collected, config->serialLines["COM2"], &error);
        QVERIFY2(side, error.c_str());
        // A second user of the agent's own end sees its line settings.
        termios t {};
        const int fd = ::open(m_panelPath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(fd >= 0);
        QCOMPARE(::tcgetattr(fd, &t), 0);
        ::close(fd);
        QCOMPARE(::cfgetospeed(&t), speed_t(B19200));
        QCOMPARE(t.c_cflag & CSTOPB, tcflag_t(CSTOPB)); // a pseudo-terminal keeps 8 bits, no parity
        QCOMPARE(t.c_iflag & (INPCK | PARMRK), tcflag_t(INPCK | PARMRK));
        QCOMPARE(t.c_cflag & CRTSCTS, tcflag_t(0));
        QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(0));
        close(io, side);
    }

    void devicesThatCannotServeAreRefused()
    {
        IoThread io;
        Collected collected;
        std::string error;
        QVERIFY(!openSide(io, collected, {}, &error, m_ports.filePath("COM9")));
        QCOMPARE(error, std::string("No such file or directory"));
        QVERIFY(!openSide(io, collected, {}, &error, "/dev/null"));
        QCOMPARE(error, std::string("not a serial device"));

        // The agent's opener knows only configured ports and applies their settings.
        panel::PassThroughConfig config;
        config.serialPorts["COM1"] = m_panelPath.toStdString();
        auto opener = panel::serialOpener(config);
        panel::PortSidePtr side;
        io.run([&] { side = opener(io.io, "COM2", collected.events(), &error); });
        QVERIFY(!side);
        io.run([&] { side = opener(io.io, "COM1", collected.events(), &error); });
        QVERIFY(side);
        QVERIFY(collected.reported("serial COM1 (" + m_panelPath.toStdString() + "): open at 9600 8N1"));
        io.run([&] { side->close(); });
    }

    // Every byte value, marks look-alikes included, and 1 MB each way at the same time.
    void bytesPassUnchangedBothWays()
    {
        IoThread io;
        Collected collected;
        DeviceEnd device;
        QVERIFY(device.open(m_plcPath));
        auto side = openSide(io, collected);
        QVERIFY(side);

        std::string every;
        for (int i = 0; i < 256; ++i)
            every += char(i);
        every += std::string("\xff\x00\x41\xff\xff\x11\x13\r\n", 9);
        send(io, side, every);
        QCOMPARE(device.read(every.size()), every);
        QVERIFY(device.writeSome(every, 0) == every.size());
        QVERIFY(QTest::qWaitFor([&] { return collected.size() >= every.size(); }, 5000));
        QCOMPARE(collected.bytes(), every);

        const std::string toDevice = pattern(1 << 20, 1);
        const std::string toPc = pattern(1 << 20, 2);
        std::thread pc([&] { send(io, side, toDevice, 4096 + 17); });
        std::string atDevice;
        std::size_t written = 0;
        (void)QTest::qWaitFor([&] {
            written += device.writeSome(toPc, written);
            atDevice += device.readAvailable();
            return atDevice.size() >= toDevice.size() && collected.size() >= every.size() + toPc.size();
        }, 30000);
        pc.join();
        QCOMPARE(atDevice.size(), toDevice.size());
        QVERIFY(atDevice == toDevice);
        QCOMPARE(collected.size(), every.size() + toPc.size());
        QVERIFY(collected.bytes().substr(every.size()) == toPc);
        QVERIFY(!collected.reported("dropped"));
        QVERIFY(!collected.reported("error"));
        close(io, side);
    }

    // A second session for the same port (the first one's PC went silently) takes it over:
    // the device's bytes are not shared out between two readers.
    void newerSessionTakesThePortOver()
    {
        IoThread io;
        Collected first, second;
        DeviceEnd device;
        QVERIFY(device.open(m_plcPath));
        auto older = openSide(io, first);
        QVERIFY(older);
        auto newer = openSide(io, second);
        QVERIFY(newer);
        QVERIFY(first.reported("a newer session took the port over"));
        send(io, older, "from the old PC");
        send(io, newer, "from the new PC");
        QCOMPARE(device.read(15), std::string("from the new PC"));
        QVERIFY(device.writeSome(std::string("answer"), 0) == 6);
        QVERIFY(QTest::qWaitFor([&] { return second.size() >= 6; }, 5000));
        QCOMPARE(second.bytes(), std::string("answer"));
        QCOMPARE(first.size(), std::size_t(0));
        close(io, newer);
        close(io, older);
    }

    // A USB adapter pulled and plugged in again: reported both times, data from the PC in
    // between is dropped and said so, and afterwards the port works as before.
    void vanishedDeviceIsReportedAndReopened()
    {
        IoThread io;
        Collected collected;
        DeviceEnd device;
        QVERIFY(device.open(m_plcPath));
        auto side = openSide(io, collected);
        QVERIFY(side);
        send(io, side, "before");
        QCOMPARE(device.read(6), std::string("before"));

        QVERIFY(VirtualPortsManager::deletePair("PANEL1"));
        device.close();
        QVERIFY(QTest::qWaitFor([&] { return collected.reported("device gone"); }, 5000));
        send(io, side, "lost while gone");
        QVERIFY(collected.reported("dropped 15 bytes from the PC: the device is gone"));

        QVERIFY(VirtualPortsManager::createPair("PANEL1", "PLC1"));
        QVERIFY(device.open(m_plcPath));
        QVERIFY(QTest::qWaitFor([&] { return collected.reported("device back after"); }, 5000));
        send(io, side, "after");
        QCOMPARE(device.read(5), std::string("after")); // nothing of what was dropped
        QVERIFY(device.writeSome(std::string("answer"), 0) == 6);
        QVERIFY(QTest::qWaitFor([&] { return collected.size() >= 6; }, 5000));
        QCOMPARE(collected.bytes(), std::string("answer"));

        // Gone for good: the side keeps trying without a fuss and closes at once.
        QVERIFY(VirtualPortsManager::deletePair("PANEL1"));
        device.close();
        QVERIFY(QTest::qWaitFor([&] {
            const auto r = collected.reports();
            return std::count_if(r.begin(), r.end(), [](const std::string &l) { return l.find("device gone") != std::string::npos; }) == 2;
        }, 5000));
        close(io, side);
        QVERIFY(VirtualPortsManager::createPair("PANEL1", "PLC1"));
        const std::size_t reportsAtClose = collected.reports().size();
        QVERIFY(io.run([] {}));
        QCOMPARE(collected.reports().size(), reportsAtClose);
    }

    // A PC slower than the device: the device is left unread until the PC catches up, and
    // nothing is lost on the way.
    void slowPcPausesReadingWithoutLoss()
    {
        IoThread io;
        Collected collected;
        DeviceEnd device;
        QVERIFY(device.open(m_plcPath));
        auto side = openSide(io, collected);
        QVERIFY(side);

        collected.backlog = SerialSide::kMaxPcBacklog + 1;
        const std::string toPc = pattern(1 << 20, 3);
        std::size_t written = 0;
        int idle = 0;
        // Until the cable's buffers are full and the device cannot write any more.
        QVERIFY(QTest::qWaitFor([&] {
            const std::size_t n = device.writeSome(toPc, written);
            written += n;
            idle = n ? 0 : idle + 1;
            return idle >= 20 || written == toPc.size();
        }, 20000));
        QVERIFY(written < toPc.size());
        QVERIFY(collected.reported("the PC reads slower than the device sends"));
        QVERIFY(collected.size() <= 16384); // at most the read that found the PC behind

        collected.backlog = 0;
        (void)QTest::qWaitFor([&] {
            written += device.writeSome(toPc, written);
            return collected.size() >= toPc.size();
        }, 20000);
        QCOMPARE(collected.size(), toPc.size());
        QVERIFY(collected.bytes() == toPc);
        close(io, side);
    }

    // A device slower than the PC: the queue stops at its bound, the rest is dropped and
    // reported, and what is written arrives whole and in order.
    void slowDeviceDropsBeyondTheBoundAndSaysSo()
    {
        IoThread io;
        Collected collected;
        DeviceEnd device;
        QVERIFY(device.open(m_plcPath));
        auto side = openSide(io, collected);
        QVERIFY(side);

        const std::size_t chunk = 128 * 1024;
        const int chunks = 64; // 8 MiB, twice the bound
        io.run([&] {
            for (int i = 0; i < chunks; ++i)
                side->send(std::string(chunk, char(i)));
        });
        QVERIFY(collected.reported("the device does not take them as fast as the PC sends"));

        std::string got;
        (void)QTest::qWaitFor([&] {
            got += device.readAvailable();
            return got.size() + collected.droppedReported() >= chunk * chunks;
        }, 30000);
        QCOMPARE(got.size() + collected.droppedReported(), chunk * chunks);
        QVERIFY(got.size() <= SerialSide::kMaxQueuedBytes + (1 << 20));
        QCOMPARE(got.size() % chunk, std::size_t(0));
        for (std::size_t at = 0; at < got.size(); at += chunk)
            QCOMPARE(got.substr(at, chunk), std::string(chunk, char(at / chunk)));

        // Closing with bytes still queued drops them, says so and returns at once.
        send(io, side, std::string(2 << 20, 'x'), chunk);
        close(io, side);
        QVERIFY(collected.reported("bytes from the PC not yet sent; they are dropped"));
        const std::size_t before = collected.size();
        QVERIFY(device.writeSome(std::string("late"), 0) == 4);
        QVERIFY(io.run([] {}));
        QCOMPARE(collected.size(), before); // a closed side hands nothing on
    }
};

QTEST_GUILESS_MAIN(TestSerialSide)
#include "tst_serialside.moc"
