// Serial channel figures on loopback: the engine with its virtual pair COM30/COM31, the real
// tunnel library, relay and panel agent, and on the panel's side a serial device (one end of
// a second virtual pair) whose other end echoes every byte. Measured at COM30, where the PLC
// software sits: round trip of an 8-byte request, a sustained stream at the byte rate of
// 115,200 baud, and 1 MB of binary data through and back. Every loop is bounded in count
// and time. Runs in a private network namespace (the engine's port 7540 is fixed): needs
// root. Usage: serial_bench [--quick] [--seconds N] [--round-trips N]
#include "TunnelFixture.h"
#include "base/AppDir.h"
#include "devices/VirtualPortsManager.h"
#include "engine/PLCDownloadPassThrough.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr double kBytesPerSecond = 115200.0 / 10; // 8N1: ten bits on the line per byte

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

int openRaw(const QString &path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t {};
    if (fd >= 0 && ::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B115200);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

std::string pattern(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = char(random());
    return bytes;
}

// The PLC on the panel's serial port: echoes what it reads, counting it.
class SerialEcho
{
public:
    explicit SerialEcho(int fd) : m_fd(fd), m_stop(::eventfd(0, EFD_CLOEXEC)), m_thread([this] { run(); }) {}
    ~SerialEcho()
    {
        const uint64_t one = 1;
        (void)!::write(m_stop, &one, sizeof one);
        m_thread.join();
        ::close(m_stop);
        ::close(m_fd);
    }
    std::atomic<std::size_t> received {0};

private:
    void run()
    {
        std::string pending;
        char buffer[65536];
        for (;;) {
            pollfd fds[2] = {{m_stop, POLLIN, 0},
                             {m_fd, short((pending.size() < sizeof buffer ? POLLIN : 0) | (pending.empty() ? 0 : POLLOUT)), 0}};
            if (::poll(fds, 2, 1000) < 0 && errno != EINTR)
                return;
            if (fds[0].revents)
                return;
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
                if (n > 0) {
                    pending.append(buffer, std::size_t(n));
                    received += std::size_t(n);
                }
            }
            if (!pending.empty()) {
                const ssize_t n = ::write(m_fd, pending.data(), pending.size());
                if (n > 0)
                    pending.erase(0, std::size_t(n));
            }
        }
    }
    int m_fd;
    int m_stop;
    std::thread m_thread;
};

// COM30 as the PLC software uses it, driven with poll() from a thread of its own while the
// engine runs on the main thread's event loop.
class PlcSoftware
{
public:
    explicit PlcSoftware(int fd) : m_fd(fd) {}
    ~PlcSoftware() { ::close(m_fd); }

    // Writes what it can of the first `limit` bytes of `out` from `written` and reads what
    // came; waits at most `ms`.
    void step(const std::string &out, std::size_t limit, std::size_t &written, std::string &in, int ms)
    {
        limit = std::min(limit, out.size());
        pollfd fd {m_fd, short(POLLIN | (written < limit ? POLLOUT : 0)), 0};
        ::poll(&fd, 1, ms);
        if (fd.revents & POLLOUT) {
            const ssize_t n = ::write(m_fd, out.data() + written, std::min<std::size_t>(limit - written, 65536));
            if (n > 0)
                written += std::size_t(n);
        }
        if (fd.revents & POLLIN) {
            char buffer[65536];
            ssize_t n;
            while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0)
                in.append(buffer, std::size_t(n));
        }
    }
    // Sends `out` whole and collects `expect` bytes back, within `ms`.
    bool exchange(const std::string &out, std::size_t expect, std::string &in, int ms)
    {
        std::size_t written = 0;
        const QDeadlineTimer deadline(ms);
        while ((written < out.size() || in.size() < expect) && !deadline.hasExpired())
            step(out, out.size(), written, in, int(std::max<qint64>(1, deadline.remainingTime())));
        return written == out.size() && in.size() >= expect;
    }

private:
    int m_fd;
};

struct Options
{
    int roundTrips = 1000;
    int seconds = 60;
};

void roundTrips(PlcSoftware &plc, int count)
{
    std::vector<double> ms;
    int lost = 0;
    std::string junk;
    for (int i = 0; i < count + 20; ++i) {
        // A Modbus-sized request: read one holding register at a varying address.
        std::string request = {'\x01', '\x03', char(i >> 8), char(i), '\x00', '\x01', '\x55', '\xaa'};
        std::string answer;
        const auto t = Clock::now();
        const bool ok = plc.exchange(request, request.size(), answer, 2000);
        const double elapsed = msSince(t);
        if (!ok || answer != request) {
            ++lost;
            plc.exchange({}, SIZE_MAX, junk, 200); // let stragglers pass before the next one
            continue;
        }
        if (i >= 20) // the first ones warm up caches and connections
            ms.push_back(elapsed);
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, std::size_t(q * double(ms.size())))]; };
    std::printf("round trip, 8 bytes COM30 -> engine -> relay -> agent -> serial echo -> back (%d runs): "
                "median %.3f ms, p99 %.3f ms, max %.3f ms, failed %d\n",
                count, at(0.5), at(0.99), ms.empty() ? 0.0 : ms.back(), lost);
}

void sustained(PlcSoftware &plc, int seconds)
{
    const std::size_t total = std::size_t(kBytesPerSecond * seconds);
    const std::string out = pattern(total, 11);
    std::string in;
    std::size_t written = 0;
    std::size_t checked = 0, corrupted = 0;
    double worstBehind = 0; // how far the echo trailed the schedule, in ms
    const auto start = Clock::now();
    const QDeadlineTimer deadline((seconds + 10) * 1000);
    while ((written < total || in.size() < total) && !deadline.hasExpired()) {
        const double elapsedS = std::chrono::duration<double>(Clock::now() - start).count();
        const std::size_t due = std::min(total, std::size_t(elapsedS * kBytesPerSecond));
        plc.step(out, due, written, in, 5);
        for (; checked < in.size() && checked < total; ++checked)
            corrupted += in[checked] != out[checked];
        if (written > in.size())
            worstBehind = std::max(worstBehind, double(written - in.size()) / kBytesPerSecond * 1000);
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("sustained at the byte rate of 115,200 baud (%.0f B/s) for %d s: sent %zu B, back %zu B in %.2f s, "
                "lost %zu, corrupted %zu, echo at most %.1f ms behind the sender\n",
                kBytesPerSecond, seconds, written, in.size(), took, total - std::min(total, in.size()), corrupted,
                worstBehind);
}

void megabyte(PlcSoftware &plc, const SerialEcho &echo)
{
    const std::size_t size = 1 << 20;
    const std::string out = pattern(size, 7);
    const std::size_t before = echo.received;
    std::string in;
    const auto start = Clock::now();
    const bool complete = plc.exchange(out, size, in, 60000);
    const double took = msSince(start) / 1000;
    const std::size_t atPanel = echo.received - before;
    std::size_t firstDifference = 0;
    while (firstDifference < std::min(in.size(), out.size()) && in[firstDifference] == out[firstDifference])
        ++firstDifference;
    std::printf("1 MB binary COM30 -> panel's serial device -> COM30: panel got %zu B, PC got %zu B back, %s, "
                "%.2f s (%.0f kB/s each way)\n",
                atPanel, in.size(),
                complete && in == out ? "intact both ways"
                                      : ("DIFFERENT from byte " + std::to_string(firstDifference)).c_str(),
                took, size / took / 1000);
}

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--quick")) {
            options.roundTrips = 200;
            options.seconds = 5;
        } else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
            options.seconds = std::clamp(std::atoi(argv[++i]), 1, 3600);
        } else if (!std::strcmp(argv[i], "--round-trips") && i + 1 < argc) {
            options.roundTrips = std::clamp(std::atoi(argv[++i]), 1, 1000000);
        } else {
            std::fprintf(stderr, "usage: serial_bench [--quick] [--seconds N] [--round-trips N]\n");
            return 2;
        }
    }
    const QString noNetwork = enterPrivateNetwork(); // while this process has one thread
    if (!noNetwork.isEmpty()) {
        std::fprintf(stderr, "serial_bench: %s\n", qPrintable(noNetwork));
        return 1;
    }
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietDebug); // the engine traces every read in hexadecimal

    QTemporaryDir dir;
    AppDir::setOverride(dir.path());
    QDir::setCurrent(dir.path()); // demoTunnel.cfg is read from here
    QDir(dir.path()).mkdir("ports");
    qputenv("TALVO_VSERIAL_DIR", QDir(dir.path()).filePath("ports").toLocal8Bit());
    if (!VirtualPortsManager::createPair("PANEL1", "PLC1")) {
        std::fprintf(stderr, "serial_bench: cannot make the panel's virtual serial device\n");
        return 1;
    }
    SerialEcho echo(openRaw(VirtualPortsManager::portLocation("PLC1")));

    RelayFixture relay(dir.path());
    ToolProcess agent;
    if (!relay.start()) {
        std::fprintf(stderr, "serial_bench: the relay did not start\n");
        return 1;
    }
    const QString agentConfig = writePanelConfig(
        dir.path(), "panel.ini", "SN1", "secret-1", relay.port(), relay.fingerprint(),
        {"[passthrough]", "COM1=" + VirtualPortsManager::portLocation("PANEL1"), "COM1.baud=115200"});
    if (!agent.start(kPanelBinary, agentConfig) || !agent.waitForOutput("registered", 10000)) {
        std::fprintf(stderr, "serial_bench: the agent did not register:\n%s\n", qPrintable(agent.output()));
        return 1;
    }
    writeTunnelConfig(QDir(dir.path()).filePath("demoTunnel.cfg"), relay.port(), relay.fingerprint(), "token-a");

    PLCDownloadPassThrough engine;
    engine.setDeviceSn("SN1");
    engine.setComPort("COM1");
    engine.connectDevice();
    const QDeadlineTimer ready(20000);
    while (engine.state() != PLCDownloadPassThrough::DeviceReady && !ready.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    if (engine.state() != PLCDownloadPassThrough::DeviceReady) {
        std::fprintf(stderr, "serial_bench: the channel did not become ready\n%s\n", qPrintable(agent.output()));
        return 1;
    }
    std::printf("serial_bench: engine, tunnel library, relay and agent on loopback; panel's COM1 is a virtual "
                "serial device at 115200 8N1 with an echo on its far end\n");
    std::fflush(stdout);

    std::thread measuring([&] {
        PlcSoftware plc(openRaw(VirtualPortsManager::portLocation("COM30")));
        roundTrips(plc, options.roundTrips);
        std::fflush(stdout);
        sustained(plc, options.seconds);
        std::fflush(stdout);
        megabyte(plc, echo);
        std::fflush(stdout);
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    measuring.join();

    const QString log = agent.output();
    std::printf("agent: %d line(s) about dropped bytes, %d about a device gone, %d about line errors\n",
                int(log.count("dropped")), int(log.count("device gone")), int(log.count("parity or framing")));
    engine.setStopReconnect(true);
    engine.disconnectDevice();
    VirtualPortsManager::deletePair("PANEL1");
    return 0;
}
