// Figures of the Ethernet channel, as root in network namespaces: the window with the real
// bridge on talvo0/talvo0p, the tunnel library, relay and panel agent on loopback, and the
// agent's Ethernet side on panel0, whose peer plc0 sits in a "PLC" namespace. Every figure
// is measured through the bridge and, in the same run, over a direct veth pair between the
// same two namespaces, and printed as a table with its target: small frames per second
// each way at full speed, frames lost at a steady 20,000 frames/s each way, the ping round
// trip (median), and TCP throughput each way.
//
//   sudo bin/ethernet_bench [--quick]
#include "PrivateNetwork.h"
#include "TunnelFixture.h"
#include "base/AppDir.h"
#include "bridge/LinuxVethAdapter.h"
#include "bridge/PCapOperator.h"
#include "bridge/ProcessCommandRunner.h"
#include "window/PLCDownloadAssistant.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const char *const kPlcIp = "192.168.57.5";
const char *const kPanelIp = "192.168.57.10";
const char *const kPlcDirectIp = "10.99.0.2";
const char *const kPcDirectIp = "10.99.0.1";
int g_plcNs = -1;

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

int sh(const std::string &cmd)
{
    return std::system(cmd.c_str());
}

// The PLC's namespace: made by a thread of its own, which moves plc0 and the direct veth's
// end into it and configures them from there (a child forked by that thread is inside).
bool makePlcNamespace()
{
    std::promise<bool> done;
    std::thread holder([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            done.set_value(false);
            return;
        }
        g_plcNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const pid_t tid = pid_t(syscall(SYS_gettid));
        // The moves happen from the bench's namespace: a child of this thread is already inside.
        const std::string move = "nsenter --net=/proc/" + std::to_string(getpid()) + "/ns/net ip link set %s netns "
            + std::to_string(tid);
        char cmd[256];
        bool ok = true;
        for (const char *dev : {"plc0", "dirplc0"}) {
            std::snprintf(cmd, sizeof cmd, move.c_str(), dev);
            ok = ok && sh(cmd) == 0;
        }
        ok = ok
            && sh(std::string("ip link set lo up && ip addr add ") + kPlcIp + "/24 dev plc0 && ip addr add " + kPlcDirectIp
                  + "/24 dev dirplc0 && ip link set plc0 up && ip link set dirplc0 up") == 0;
        sh("ethtool -K plc0 tx off tso off gso off gro off >/dev/null 2>&1; "
           "ethtool -K dirplc0 tx off tso off gso off gro off >/dev/null 2>&1");
        done.set_value(ok && g_plcNs >= 0);
    });
    const bool ok = done.get_future().get();
    holder.join();
    return ok;
}

void intoPlcNamespace()
{
    if (setns(g_plcNs, CLONE_NEWNET) != 0)
        std::perror("setns");
}

// Runs the GUI thread's event loop (which carries the frames) until done() holds.
bool serveUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (done() || timer.elapsed() > timeoutMs)
            loop.quit();
    });
    tick.start(2);
    loop.exec();
    return done();
}

QString runServing(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!serveUntil([&] { return p.state() == QProcess::NotRunning; }, timeoutMs))
        p.kill();
    p.waitForFinished(2000);
    return QString::fromLocal8Bit(p.readAll());
}

// Median ping round trip in ms, or -1.
double pingMedian(const char *ip, int count)
{
    const QString out = runServing("ping", {"-c", QString::number(count), "-i", "0.005", "-W", "2", ip}, 60000);
    std::vector<double> times;
    auto it = QRegularExpression("time=([0-9.]+) ms").globalMatch(out);
    while (it.hasNext())
        times.push_back(it.next().captured(1).toDouble());
    const auto loss = QRegularExpression("([0-9.]+)% packet loss").match(out);
    if (times.empty())
        std::fprintf(stderr, "ping %s: %s\n", ip, qPrintable(out.right(300)));
    else if (loss.hasMatch() && loss.captured(1).toDouble() > 0)
        std::fprintf(stderr, "ping %s: %s%% lost\n", ip, qPrintable(loss.captured(1)));
    if (times.empty())
        return -1;
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

sockaddr_in address(const char *ip, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

struct FrameRate
{
    int sent = 0;
    int received = 0;
    double rate = 0; // received frames per second, first to last
};

// Sends `count` UDP datagrams of 18 bytes (60-byte frames, 64 with the wire's checksum)
// from one namespace to the other, at full speed or at `perSecond`; the receiver counts
// until 300 ms pass without a frame. `to` is the receiver's address, on the PLC's side
// when towardsPlc.
FrameRate frameRate(bool towardsPlc, const char *to, int count, int perSecond = 0)
{
    FrameRate result;
    static int port = 9000;
    ++port;
    std::atomic<bool> ready{false}, finished{false};
    std::thread receiver([&] {
        if (towardsPlc)
            intoPlcNamespace();
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        int big = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        const sockaddr_in any = address("0.0.0.0", port);
        bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any);
        ready = true;
        char buf[2048];
        Clock::time_point first, last;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, result.received ? 300 : 5000) <= 0)
                break;
            if (recv(fd, buf, sizeof buf, 0) <= 0)
                break;
            last = Clock::now();
            if (result.received++ == 0)
                first = last;
            if (result.received == count)
                break;
        }
        if (result.received > 1)
            result.rate = (result.received - 1) / seconds(last - first);
        close(fd);
        finished = true;
    });
    while (!ready)
        std::this_thread::yield();
    std::thread sender([&] {
        if (!towardsPlc)
            intoPlcNamespace();
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in target = address(to, port);
        char payload[18] = "talvo bench frame";
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            // Paced in steps of a millisecond's worth: a frame's own sleep would oversleep.
            if (perSecond && i % (perSecond / 1000) == 0)
                std::this_thread::sleep_until(start + std::chrono::microseconds(std::int64_t(i) * 1000000 / perSecond));
            if (sendto(fd, payload, sizeof payload, 0, reinterpret_cast<const sockaddr *>(&target), sizeof target) > 0)
                ++result.sent;
        }
        close(fd);
    });
    serveUntil([&] { return finished.load(); }, 120000);
    sender.join();
    receiver.join();
    return result;
}

// Megabytes per second of `bytes` sent from one namespace and read to the end in the
// other, over a connection from the PC's namespace to `ip` in the PLC's; -1 on failure.
double tcpThroughput(const char *ip, std::size_t bytes, bool fromPlc)
{
    std::atomic<bool> listening{false};
    std::atomic<int> finished{0};
    double result = -1;
    static int port = 5000;
    ++port;
    auto pour = [bytes](int fd) {
        std::vector<char> block(64 * 1024, 'x');
        for (std::size_t sent = 0; sent < bytes;) {
            const ssize_t n = send(fd, block.data(), std::min(block.size(), bytes - sent), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += std::size_t(n);
        }
    };
    auto drain = [](int fd) {
        std::size_t got = 0;
        std::vector<char> buf(256 * 1024);
        for (ssize_t n; (n = recv(fd, buf.data(), buf.size(), 0)) > 0;)
            got += std::size_t(n);
        return got;
    };
    const auto start = Clock::now();
    std::size_t got = 0;
    std::thread server([&] {
        intoPlcNamespace();
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in any = address("0.0.0.0", port);
        bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any);
        listen(fd, 1);
        listening = true;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) == 1) {
            const int c = accept(fd, nullptr, nullptr);
            timeval limit{60, 0};
            setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            if (fromPlc) {
                pour(c);
            } else {
                got = drain(c);
                if (got == bytes)
                    result = double(bytes) / 1e6 / seconds(Clock::now() - start);
            }
            close(c);
        }
        close(fd);
        ++finished;
    });
    while (!listening)
        std::this_thread::yield();
    std::thread client([&] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        timeval limit{60, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        const sockaddr_in to = address(ip, port);
        if (connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
            std::fprintf(stderr, "TCP to %s: connect: %s\n", ip, std::strerror(errno));
        else {
            if (fromPlc) {
                got = drain(fd);
                if (got == bytes)
                    result = double(bytes) / 1e6 / seconds(Clock::now() - start);
            } else {
                pour(fd);
                shutdown(fd, SHUT_WR);
                char c;
                recv(fd, &c, 1, 0); // the server's close: everything was read
            }
        }
        close(fd);
        ++finished;
    });
    // The tool's bridge runs on this thread's event loop: joining at once would stall every
    // frame of the connection.
    serveUntil([&] { return finished == 2; }, 150000);
    client.join();
    server.join();
    if (result < 0)
        std::fprintf(stderr, "TCP %s %s: %zu of %zu bytes\n", fromPlc ? "from" : "to", ip, got, bytes);
    return result;
}

struct Row
{
    std::string figure;
    double bridge, direct;
    std::string target;
    bool met;
    const char *format; // of the two figures
};

void printTable(const std::vector<Row> &rows)
{
    std::printf("\n| figure | through the bridge | direct veth | ratio | target | met |\n|---|---|---|---|---|---|\n");
    for (const Row &r : rows) {
        char bridge[32], direct[32], ratio[32];
        std::snprintf(bridge, sizeof bridge, r.format, r.bridge);
        std::snprintf(direct, sizeof direct, r.format, r.direct);
        if (r.direct > 0 && r.bridge >= 0)
            std::snprintf(ratio, sizeof ratio, "%.2f", r.bridge / r.direct);
        else
            std::snprintf(ratio, sizeof ratio, "-");
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.figure.c_str(), bridge, direct, ratio, r.target.c_str(),
                    r.met ? "yes" : "no");
    }
}

} // namespace

int main(int argc, char **argv)
{
    const bool quick = argc > 1 && !std::strcmp(argv[1], "--quick");
    if (geteuid() != 0) {
        std::fputs("ethernet_bench: needs root (network namespaces, veth pairs, capture)\n", stderr);
        return 2;
    }
    if (!enterPrivateNetworkWithSysfs().isEmpty()) {
        std::perror("ethernet_bench: private network namespace");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // The tool's tracing of every frame would drown the figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QApplication app(argc, argv);
    QTemporaryDir dir;
    sh("ip link set lo up");
    if (sh(TALVO_SOURCE_DIR "/scripts/setup-adapter /nonexistent/talvo-hmi-tunnel >/dev/null 2>&1") != 0)
        return 1;
    for (const char *pair : {"panel0 type veth peer name plc0", "dirpc0 type veth peer name dirplc0"})
        sh(std::string("ip link add ") + pair);
    sh("for d in panel0 plc0 dirpc0 dirplc0; do ethtool -K $d tx off tso off gso off gro off >/dev/null 2>&1; done; "
       "sysctl -qw net.ipv6.conf.panel0.disable_ipv6=1; ip link set panel0 up; "
       "ip addr add 10.99.0.1/24 dev dirpc0; ip link set dirpc0 up");
    if (!makePlcNamespace()) {
        std::fputs("ethernet_bench: cannot set up the PLC namespace\n", stderr);
        return 1;
    }

    AppDir::setOverride(dir.path());
    QDir::setCurrent(dir.path());
    RelayFixture relay(dir.path());
    if (!relay.start()) {
        std::fputs("ethernet_bench: relay did not start\n", stderr);
        return 1;
    }
    ToolProcess agent;
    const QString agentConfig = writePanelConfig(dir.path(), "panel.ini", "SN1", "secret-1", relay.port(),
                                                 relay.fingerprint(),
                                                 {"[passthrough]", "ethernet=panel0", "announce-mac=02:54:56:00:04:12",
                                                  QStringLiteral("announce-ip=") + kPanelIp});
    if (!agent.start(kPanelBinary, agentConfig) || !agent.waitForOutput("registered")) {
        std::fputs("ethernet_bench: panel agent did not register\n", stderr);
        return 1;
    }
    writeTunnelConfig(dir.filePath("demoTunnel.cfg"), relay.port(), relay.fingerprint(), "token-a");

    PCapOperator bridge(std::make_unique<LinuxVethAdapter>(), std::make_unique<ProcessCommandRunner>());
    PLCDownloadAssistant window;
    window.setBridge(&bridge);
    window.changeLanguage(0);
    window.findChild<QLineEdit *>("lineEditDeviceSn")->setText("SN1");
    window.findChild<QComboBox *>("comboBox_pcap")->setCurrentText("eth0");
    window.findChild<QPushButton *>("pushButtonCreateChannel")->click();
    if (!serveUntil([&] { return bridge.isRunning(); }, 20000)) {
        std::fprintf(stderr, "ethernet_bench: the channel did not come up\n%s\n", qPrintable(agent.output()));
        return 1;
    }

    const int pings = quick ? 100 : 400;
    const int burst = quick ? 20000 : 60000;
    const int steady = quick ? 10000 : 20000; // at 20,000 frames/s
    const std::size_t tcpBytes = std::size_t(quick ? 96 : 256) << 20;
    pingMedian(kPlcIp, 3); // resolves addresses on both sides first

    frameRate(true, kPlcIp, 10);
    frameRate(false, kPanelIp, 10);
    const double pingDirect = pingMedian(kPlcDirectIp, pings);
    const double pingBridged = pingMedian(kPlcIp, pings);
    const FrameRate upDirect = frameRate(true, kPlcDirectIp, burst);
    const FrameRate up = frameRate(true, kPlcIp, burst);
    const FrameRate downDirect = frameRate(false, kPcDirectIp, burst);
    const FrameRate down = frameRate(false, kPanelIp, burst);
    const FrameRate upSteadyDirect = frameRate(true, kPlcDirectIp, steady, 20000);
    const FrameRate upSteady = frameRate(true, kPlcIp, steady, 20000);
    const FrameRate downSteadyDirect = frameRate(false, kPcDirectIp, steady, 20000);
    const FrameRate downSteady = frameRate(false, kPanelIp, steady, 20000);
    const double tcpUpDirect = tcpThroughput(kPlcDirectIp, tcpBytes, false);
    const double tcpUp = tcpThroughput(kPlcIp, tcpBytes, false);
    const double tcpDownDirect = tcpThroughput(kPlcDirectIp, tcpBytes, true);
    const double tcpDown = tcpThroughput(kPlcIp, tcpBytes, true);

    auto lost = [](const FrameRate &r) { return double(r.sent - r.received); };
    std::printf("Ethernet channel: PC namespace -> bridge talvo0p -> relay -> panel agent (panel0) -> PLC namespace\n"
                "60-byte frames (64 on a wire); %d sent at full speed, %d at 20,000 frames/s; TCP %zu MB; %d pings\n",
                burst, steady, tcpBytes >> 20, pings);
    printTable({
        {"frames/s PC -> PLC, full speed", up.rate, upDirect.rate, ">= 20,000", up.rate >= 20000, "%.0f"},
        {"frames/s PLC -> PC, full speed", down.rate, downDirect.rate, ">= 20,000", down.rate >= 20000, "%.0f"},
        {"frames lost PC -> PLC at 20,000/s", lost(upSteady), lost(upSteadyDirect), "0", lost(upSteady) == 0, "%.0f"},
        {"frames lost PLC -> PC at 20,000/s", lost(downSteady), lost(downSteadyDirect), "0", lost(downSteady) == 0, "%.0f"},
        {"TCP PC -> PLC, MB/s", tcpUp, tcpUpDirect, ">= 100", tcpUp >= 100, "%.1f"},
        {"TCP PLC -> PC, MB/s", tcpDown, tcpDownDirect, ">= 100", tcpDown >= 100, "%.1f"},
        {"ping round trip, median ms", pingBridged, pingDirect, "<= direct + 0.3",
         pingBridged >= 0 && pingBridged - pingDirect <= 0.3, "%.3f"},
    });
    std::printf("(full speed: %d and %d of %d frames arrived through the bridge PC -> PLC and PLC -> PC)\n",
                up.received, down.received, burst);

    window.findChild<QPushButton *>("pushButtonDisConnectChannel")->click();
    serveUntil([&] { return bridge.isFinished() && agent.output().contains("PC disconnected"); }, 5000);
    agent.kill();
    // Where the agent dropped frames (towards a PC that read too slowly), as it logged it.
    for (const QString &line : agent.output().split('\n'))
        if (qEnvironmentVariableIsSet("ETHERNET_BENCH_AGENT_LOG") || line.contains("dropped") || line.contains("slowly"))
            std::printf("agent: %s\n", qPrintable(line));
    return 0;
}
