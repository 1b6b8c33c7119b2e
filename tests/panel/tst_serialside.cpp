// Guards the agent's serial side against altered or lost bytes, unbounded queues, two readers, a vanished device.
// A virtual serial pair stands in for the panel's device: the agent opens "PANEL1", the PLC holds "PLC1".
#include "AgentLoop.h"
#include "Bytes.h"
#include "Files.h"
#include "devices/VirtualPortsManager.h"
#include "panel/PassThroughConfig.h"
#include "panel/SerialSide.h"

#include <QtTest>

#include <algorithm>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using panel::SerialSide;
using Loop = AgentLoop;

namespace {

// What a side hands to its session.
struct Collected
{
    std::string bytes;
    std::vector<std::string> reports;
    std::size_t backlog = 0; // what the session says the PC has not yet taken

    panel::PortSideEvents events()
    {
        panel::PortSideEvents e;
        e.toPc = [this](std::string b) { bytes += b; };
        e.pcBacklog = [this] { return backlog; };
        e.report = [this](const std::string &line) { reports.push_back(line); };
        return e;
    }
    int reported(const std::string &part) const
    {
        return int(std::count_if(reports.begin(), reports.end(), [&](const std::string &l) { return l.find(part) != std::string::npos; }));
    }
    // Sum of "dropped N bytes" reports.
    std::size_t droppedReported() const
    {
        std::size_t sum = 0;
        for (const std::string &line : reports)
            if (const auto at = line.find("dropped "); at != std::string::npos && line.find(" bytes from the PC", at) != std::string::npos)
                sum += std::stoul(line.substr(at + 8));
        return sum;
    }
};

// The PLC's end of the cable, raw and non-blocking; pumped from the waits' predicates.
struct DeviceEnd
{
    int fd = -1;
    ~DeviceEnd() { close(); }
    bool open(const QString &path)
    {
        close();
        fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t {};
        if (fd < 0 || ::tcgetattr(fd, &t) != 0)
            return false;
        ::cfmakeraw(&t);
        return ::tcsetattr(fd, TCSANOW, &t) == 0;
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    std::string readAvailable()
    {
        std::string got;
        char buffer[65536];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            got.append(buffer, std::size_t(n));
        return got;
    }
    std::size_t writeSome(const std::string &bytes, std::size_t from = 0)
    {
        const ssize_t n = ::write(fd, bytes.data() + from, std::min<std::size_t>(bytes.size() - from, 65536));
        return n > 0 ? std::size_t(n) : 0;
    }
    // Reads until `count` bytes came, running the loop meanwhile (bounded).
    std::string read(Loop &loop, std::size_t count)
    {
        std::string got;
        loop.runUntil([&] { got += readAvailable(); return got.size() >= count; });
        return got;
    }
    // The PLC answers; true when the session got the answer whole.
    bool answers(Loop &loop, Collected &session)
    {
        return writeSome("answer") == 6 && loop.runUntil([&] { return session.bytes.size() >= 6; })
            && session.bytes == "answer";
    }
};

// A side open on the panel's device, with the PLC's end of the cable held.
struct Cable
{
    Loop loop;
    Collected collected;
    DeviceEnd device;
    std::shared_ptr<SerialSide> side;
};

} // namespace

class TestSerialSide : public QObject
{
    Q_OBJECT

    QTemporaryDir m_ports;
    QString m_panelPath;
    QString m_plcPath;

    std::shared_ptr<SerialSide> openSide(Loop &loop, Collected &collected, const panel::SerialLine &line = {},
                                         std::string *error = nullptr, const QString &path = QString())
    {
        std::string why;
        return SerialSide::open(loop.io, "COM1", (path.isEmpty() ? m_panelPath : path).toStdString(), line,
                                collected.events(), error ? error : &why);
    }
    bool plugIn(Cable &c) { return c.device.open(m_plcPath) && (c.side = openSide(c.loop, c.collected)); }

private slots:
    void initTestCase()
    {
        qputenv("TALVO_VSERIAL_DIR", m_ports.path().toLocal8Bit());
        QVERIFY(VirtualPortsManager::createPair("PANEL1", "PLC1"));
        m_panelPath = VirtualPortsManager::portLocation("PANEL1");
        m_plcPath = VirtualPortsManager::portLocation("PLC1");
    }
    void cleanupTestCase() { VirtualPortsManager::deletePair("PANEL1"); }

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

    // Mistyped settings and devices that cannot serve are refused with the reason; the
    // settings given reach the device, not only the config.
    void badSettingsAndDevicesAreRefused()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("p.ini");
        std::string error;
        auto load = [&](const QByteArray &text) {
            saveFile(path, "[passthrough]\n" + text);
            auto config = std::make_unique<panel::PassThroughConfig>();
            return config->load(path.toStdString(), &error) ? std::move(config) : nullptr;
        };
        const QByteArray announce = "\nannounce-mac=02:54:56:00:04:12\nannounce-ip=192.168.57.10\n";
        auto config = load("COM1=/dev/ttyUSB0\nCOM2=/dev/ttyS1\nCOM2.baud=19200\nCOM2.parity=odd\n"
                           "COM2.data=7\nCOM2.stop=2\nethernet=enp3s0.100" + announce);
        QVERIFY2(config, error.c_str());
        QCOMPARE(config->serialLines["COM1"].text(), std::string("9600 8N1"));
        QCOMPARE(config->serialLines["COM2"].text(), std::string("19200 7O2"));
        // Interface names reach a capture call and log lines: no paths, no shell, no overlong.
        const QByteArray bad[][2] = {
            {"COM1=/dev/x\nCOM1.baud=12345\n", "COM1.baud=12345: not a baud rate"},
            {"COM1=/dev/x\nCOM1.stop=1.5\n", "stop bits are 1 or 2"},
            {"COM2.baud=9600\n", "settings for COM2 but no COM2=DEVICE"},
            {"COM1=/dev/x\netherent=eth1\n", "p.ini:3: [passthrough] etherent= is not a setting"},
            {"ethernet=eth0;reboot" + announce, "is not an interface name"},
            {"ethernet=.." + announce, "is not an interface name"},
            {"ethernet=abcdefghijklmnop" + announce, "is not an interface name"},
        };
        for (const auto &[text, expected] : bad) {
            QVERIFY2(!load(text), text.constData());
            QVERIFY2(error.find(expected.toStdString()) != std::string::npos, error.c_str());
        }

        Loop loop;
        Collected collected;
        QVERIFY(!openSide(loop, collected, {}, &error, m_ports.filePath("COM9")));
        QCOMPARE(error, std::string("No such file or directory"));
        QVERIFY(!openSide(loop, collected, {}, &error, "/dev/null"));
        QCOMPARE(error, std::string("not a serial device"));
        auto side = openSide(loop, collected, config->serialLines["COM2"], &error);
        QVERIFY2(side, error.c_str());
        // A second user of the agent's own end sees its line settings.
        termios t {};
        const int fd = ::open(m_panelPath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(fd >= 0);
        QCOMPARE(::tcgetattr(fd, &t), 0);
        ::close(fd);
        QCOMPARE(::cfgetospeed(&t), speed_t(B19200));
        QCOMPARE(t.c_cflag & CSTOPB, tcflag_t(CSTOPB)); // a pseudo-terminal keeps 8 bits, no parity
        side->close();
    }

    // Every byte value and marks look-alikes, then 1 MB, each way at the same time; a PC
    // slower than the device leaves the device unread until it catches up, losing nothing.
    void bytesPassUnchangedBothWays()
    {
        Cable c;
        QVERIFY(plugIn(c));
        std::string every("\xff\x00\x41\xff\xff\x11\x13\r\n", 9);
        for (int i = 0; i < 256; ++i)
            every += char(i);
        const std::string toDevice = every + randomBytes(1 << 20, 1).toStdString();
        const std::string toPc = every + randomBytes(1 << 20, 2).toStdString();
        for (std::size_t at = 0; at < toDevice.size(); at += 4096 + 17)
            c.side->send(toDevice.substr(at, 4096 + 17));
        c.collected.backlog = SerialSide::kMaxPcBacklog + 1;
        std::size_t written = 0;
        int idle = 0;
        // Until the cable's buffers are full and the device cannot write any more.
        QVERIFY(c.loop.runUntil([&] {
            const std::size_t n = c.device.writeSome(toPc, written);
            written += n;
            idle = n ? 0 : idle + 1;
            return idle >= 20 || written == toPc.size();
        }, 20000));
        QVERIFY(written < toPc.size());
        QVERIFY(c.collected.reported("the PC reads slower than the device sends"));
        QVERIFY(c.collected.bytes.size() <= 16384); // at most the read that found the PC behind

        c.collected.backlog = 0;
        std::string atDevice;
        c.loop.runUntil([&] {
            written += c.device.writeSome(toPc, written);
            atDevice += c.device.readAvailable();
            return atDevice.size() >= toDevice.size() && c.collected.bytes.size() >= toPc.size();
        }, 30000);
        QVERIFY(atDevice == toDevice);
        QVERIFY(c.collected.bytes == toPc);
        QCOMPARE(c.collected.reported("dropped"), 0);
        QCOMPARE(c.collected.reported("error"), 0);
        c.side->close();
    }

    // A second session for the same port (the first one's PC went silently) takes it over:
    // the device's bytes are not shared out between two readers.
    void newerSessionTakesThePortOver()
    {
        Loop loop;
        Collected first, second;
        DeviceEnd device;
        QVERIFY(device.open(m_plcPath));
        auto older = openSide(loop, first);
        auto newer = older ? openSide(loop, second) : nullptr;
        QVERIFY(older && newer);
        QVERIFY(first.reported("a newer session took the port over"));
        older->send("from the old PC");
        newer->send("from the new PC");
        QCOMPARE(device.read(loop, 15), std::string("from the new PC"));
        QVERIFY(device.answers(loop, second));
        QCOMPARE(first.bytes, std::string());
        newer->close();
        older->close();
    }

    // A USB adapter pulled and plugged in again: reported both times, data from the PC in
    // between is dropped and said so, and afterwards the port works as before.
    void vanishedDeviceIsReportedAndReopened()
    {
        Cable c;
        QVERIFY(plugIn(c));
        c.side->send("before");
        QCOMPARE(c.device.read(c.loop, 6), std::string("before"));

        QVERIFY(VirtualPortsManager::deletePair("PANEL1"));
        c.device.close();
        QVERIFY(c.loop.runUntil([&] { return c.collected.reported("device gone"); }));
        c.side->send("lost while gone");
        QVERIFY(c.collected.reported("dropped 15 bytes from the PC: the device is gone"));

        QVERIFY(VirtualPortsManager::createPair("PANEL1", "PLC1"));
        QVERIFY(c.device.open(m_plcPath));
        QVERIFY(c.loop.runUntil([&] { return c.collected.reported("device back after"); }));
        c.side->send("after");
        QCOMPARE(c.device.read(c.loop, 5), std::string("after")); // nothing of what was dropped
        QVERIFY(c.device.answers(c.loop, c.collected));

        // Gone for good: the side keeps trying without a fuss and closes at once.
        QVERIFY(VirtualPortsManager::deletePair("PANEL1"));
        c.device.close();
        QVERIFY(c.loop.runUntil([&] { return c.collected.reported("device gone") == 2; }));
        c.side->close();
        QVERIFY(VirtualPortsManager::createPair("PANEL1", "PLC1"));
        const std::size_t reportsAtClose = c.collected.reports.size();
        c.loop.io.run_for(std::chrono::milliseconds(200));
        QCOMPARE(c.collected.reports.size(), reportsAtClose);
    }

    // A device slower than the PC: the queue stops at its bound, the rest is dropped and
    // reported, and what is written arrives whole and in order.
    void slowDeviceDropsBeyondTheBoundAndSaysSo()
    {
        Cable c;
        QVERIFY(plugIn(c));
        const std::size_t chunk = 128 * 1024;
        const int chunks = 64; // 8 MiB, twice the bound
        for (int i = 0; i < chunks; ++i)
            c.side->send(std::string(chunk, char(i)));
        QVERIFY(c.collected.reported("the device does not take them as fast as the PC sends"));

        std::string got;
        c.loop.runUntil([&] {
            got += c.device.readAvailable();
            return got.size() + c.collected.droppedReported() >= chunk * chunks;
        }, 30000);
        QCOMPARE(got.size() + c.collected.droppedReported(), chunk * chunks);
        QVERIFY(got.size() <= SerialSide::kMaxQueuedBytes + (1 << 20));
        QCOMPARE(got.size() % chunk, std::size_t(0));
        for (std::size_t at = 0; at < got.size(); at += chunk)
            QCOMPARE(got.substr(at, chunk), std::string(chunk, char(at / chunk)));

        // Closing with bytes still queued drops them, says so and returns at once.
        for (int i = 0; i < 16; ++i)
            c.side->send(std::string(chunk, 'x'));
        c.side->close();
        QVERIFY(c.collected.reported("bytes from the PC not yet sent; they are dropped"));
        const std::size_t before = c.collected.bytes.size();
        QVERIFY(c.device.writeSome("late") == 4);
        c.loop.io.run_for(std::chrono::milliseconds(200));
        QCOMPARE(c.collected.bytes.size(), before); // a closed side hands nothing on
    }
};

QTEST_GUILESS_MAIN(TestSerialSide)
#include "tst_serialside.moc"
