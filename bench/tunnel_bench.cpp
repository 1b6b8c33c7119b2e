// Tunnel figures on loopback: bulk throughput and 64-byte round-trip latency through
// library -> relay -> agent -> target against a direct loopback connection measured in the
// same run, the relay's CPU per byte against the agent's (the relay splices ciphertext, the
// agent decrypts it), 500 concurrent streams through one panel, relay memory per idle
// registered panel, and the time until an SN is reachable again after the agent or the
// relay restarts.
// --memory instead: relay and agent memory per open stream, idle, busy, and idle again.
// --profile-bulk S instead: only the tunnel's bulk stream for S seconds, with the relay's
// and the agent's pids printed first, for perf to attach to.
// TALVO_RELAY_BIN, TALVO_PANEL_BIN in the environment: other builds of the daemons, to compare.
// Every loop is bounded in count and time.
// Usage: tunnel_bench [--quick] [--relay-outage S] | tunnel_bench --memory | tunnel_bench --profile-bulk S
#include "BenchProcess.h"
#include "EndToEnd.h"
#include "tunnel/pgDllTunnel.h"
#include "wire/Messages.h"
#include "wire/ReadLine.h"
#include "wire/TlsStream.h"
#include "wire/Tls.h"

#include <asio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

using bench::Clock;
using bench::readFile;
using bench::secondsSince;
using bench::writeFile;
using asio::ip::tcp;

namespace {

// A daemon of the tunnel started with its configuration file.
struct Child : bench::Child
{
    void start(const std::string &program, const std::string &config, const std::string &logPath)
    {
        bench::Child::start({program, "--config", config}, logPath);
    }
    void startArgs(const std::vector<std::string> &args, const std::string &logPath) { bench::Child::start(args, logPath); }
};

// CPU of the sink's threads, in nanoseconds: this program's CPU less the sender's and the
// sink's is the tunnel library's.
std::atomic<long long> g_sinkCpuNs {0};


struct Moved
{
    double bytes = 0, seconds = 0;
    double senderCpu = 0; // the sending thread's
    double rate() const { return seconds > 0 ? bytes / seconds : 0; }
};

// Sends for `seconds`, half-closes, waits for the sink's count.
Moved bulk(uint16_t port, double seconds)
{
    asio::io_context io;
    tcp::socket s(io);
    s.connect({asio::ip::make_address("127.0.0.1"), port});
    std::vector<char> chunk(256 * 1024, 'x');
    const double cpu0 = bench::threadCpuSeconds();
    const auto t0 = Clock::now();
    while (secondsSince(t0) < seconds)
        asio::write(s, asio::buffer(chunk));
    s.shutdown(tcp::socket::shutdown_send);
    uint64_t got = 0;
    asio::read(s, asio::buffer(&got, sizeof got));
    return {double(got), secondsSince(t0), bench::threadCpuSeconds() - cpu0};
}

struct Latency
{
    double median = 0, p99 = 0;
};

// Up to `rounds` round trips, for at most `limitSeconds`.
Latency pingPong(uint16_t port, int rounds, double limitSeconds = 60)
{
    asio::io_context io;
    tcp::socket s(io);
    s.connect({asio::ip::make_address("127.0.0.1"), port});
    s.set_option(tcp::no_delay(true));
    char out[64], in[64];
    std::memset(out, 'p', sizeof out);
    std::vector<double> us;
    const auto start = Clock::now();
    for (int i = 0; i < rounds && secondsSince(start) < limitSeconds; ++i) {
        const auto t = Clock::now();
        asio::write(s, asio::buffer(out));
        asio::read(s, asio::buffer(in));
        us.push_back(secondsSince(t) * 1e6);
    }
    if (us.empty())
        return {};
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::size_t(us.size() * 0.99)]};
}

// `count` streams at once, each sends `bytes` and checks the echo. Returns the errors.
int manyStreams(uint16_t port, int count, std::size_t bytes, double limitSeconds)
{
    asio::io_context io;
    std::atomic<int> errors{0}, done{0};
    std::string pattern(bytes, '\0');
    for (std::size_t i = 0; i < bytes; ++i)
        pattern[i] = char('a' + i % 26);
    for (int i = 0; i < count; ++i) {
        auto s = std::make_shared<tcp::socket>(io);
        auto in = std::make_shared<std::string>(bytes, '\0');
        s->async_connect({asio::ip::make_address("127.0.0.1"), port}, [&, s, in](const std::error_code &ec) {
            if (ec) {
                ++errors, ++done;
                return;
            }
            asio::async_write(*s, asio::buffer(pattern), [](const std::error_code &, std::size_t) {});
            asio::async_read(*s, asio::buffer(*in), [&, s, in](const std::error_code &ec, std::size_t) {
                if (ec || *in != pattern)
                    ++errors;
                ++done;
            });
        });
    }
    io.run_for(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(limitSeconds)));
    return errors + (count - done);
}

// `count` streams open at once: resident memory of the relay and the agent per stream once
// each has echoed 64 bytes (idle), at the peak while each echoes `busyBytes`, and after.
void streamMemory(uint16_t port, const Child &relay, const Child &agent, int count, std::size_t busyBytes)
{
    asio::io_context io;
    const long relay0 = relay.rssKb(), agent0 = agent.rssKb();
    std::vector<std::shared_ptr<tcp::socket>> sockets;
    int done = 0;
    auto echoEach = [&](std::size_t bytes) {
        done = 0;
        auto out = std::make_shared<std::string>(bytes, 'm');
        for (auto &s : sockets) {
            auto in = std::make_shared<std::string>(bytes, '\0');
            asio::async_write(*s, asio::buffer(*out), [out](const std::error_code &, std::size_t) {});
            asio::async_read(*s, asio::buffer(*in), [&done, in](const std::error_code &, std::size_t) { ++done; });
        }
    };
    for (int i = 0; i < count; ++i) {
        auto s = std::make_shared<tcp::socket>(io);
        s->connect({asio::ip::make_address("127.0.0.1"), port});
        sockets.push_back(s);
    }
    echoEach(64);
    for (auto t = Clock::now(); done < count && secondsSince(t) < 30;)
        io.run_for(std::chrono::milliseconds(50));
    io.restart();
    const long relayIdle = relay.rssKb(), agentIdle = agent.rssKb();
    echoEach(busyBytes);
    long relayPeak = relayIdle, agentPeak = agentIdle;
    for (auto t = Clock::now(); done < count && secondsSince(t) < 60;) {
        io.run_for(std::chrono::milliseconds(20));
        relayPeak = std::max(relayPeak, relay.rssKb());
        agentPeak = std::max(agentPeak, agent.rssKb());
    }
    io.restart();
    io.run_for(std::chrono::milliseconds(500));
    const long relayAfter = relay.rssKb(), agentAfter = agent.rssKb();
    auto per = [count](long a, long b) { return double(b - a) / count; };
    std::printf("%d streams, RSS per stream in KiB (relay / agent): idle %.1f / %.1f; busy (%zu KiB echoed each, "
                "peak) %.1f / %.1f; idle again %.1f / %.1f\n",
                count, per(relay0, relayIdle), per(agent0, agentIdle), busyBytes >> 10, per(relay0, relayPeak),
                per(agent0, agentPeak), per(relay0, relayAfter), per(agent0, agentAfter));
}

int addForwarding(const char *sn, const std::string &remote, uint16_t local)
{
    char text[TUNNEL_ERROR_TEXT_SIZE] = {};
    return TunnelAddConnect("", sn, 0, 0, remote.c_str(), ("127.0.0.1:" + std::to_string(local)).c_str(), text);
}

// Polls until the SN can be forwarded again; seconds, or -1.
double untilReachable(Clock::time_point since, uint16_t local, double limit)
{
    while (secondsSince(since) < limit) {
        TunnelDelListen("", ("127.0.0.1:" + std::to_string(local)).c_str());
        if (addForwarding("SN1", "127.0.0.1:7530", local) == TUNNEL_OK)
            return secondsSince(since);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

} // namespace

int main(int argc, char **argv)
{
    bool quick = false, memory = false;
    int outage = 20, profileSeconds = 0;
    bench::Arguments args;
    args.flag("--quick", &quick);
    args.flag("--memory", &memory);
    args.number("--profile-bulk", &profileSeconds, 1, 600);
    args.number("--relay-outage", &outage, 0, 60);
    if (!args.parse(argc, argv,
                    "[--quick] [--relay-outage SECONDS(0..60, default 20)] | --memory | --profile-bulk SECONDS(1..600)"))
        return 2;
    bench::prepareLoadProcess();

    char tmpl[] = "/tmp/tunnel-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const int idlePanels = 300;
    std::string panels = "SN1=secret-1\n";
    for (int i = 0; i < idlePanels; ++i)
        panels += "IDLE" + std::to_string(i) + "=s" + std::to_string(i) + "\n";
    writeFile(dir + "/relay.ini", "[relay]\nlisten=127.0.0.1:0\n[panels]\n" + panels + "[users]\ntok=*\n");
    Child relay, agent;
    relay.start(bench::program("TALVO_RELAY_BIN", TALVO_RELAY_BIN), dir + "/relay.ini", dir + "/relay.log");
    if (!relay.waitFor("fingerprint ", 10)) {
        std::fprintf(stderr, "relay did not start\n");
        return 1;
    }
    std::smatch m;
    const std::string relayLog = readFile(dir + "/relay.log");
    std::regex_search(relayLog, m, std::regex("listening on 127.0.0.1:(\\d+)"));
    const std::string relayPort = m[1];
    std::regex_search(relayLog, m, std::regex("fingerprint ([0-9a-f]{64})"));
    const std::string fp = m[1];
    writeFile(dir + "/relay.ini", "[relay]\nlisten=127.0.0.1:" + relayPort + "\n[panels]\n" + panels
                                      + "[users]\ntok=*\n");

    asio::io_context serverIo;
    tcp::acceptor sinkAcceptor(serverIo), echoAcceptor(serverIo);
    const uint16_t sinkPort = bench::listenLoopback(sinkAcceptor), echoPort = bench::listenLoopback(echoAcceptor);
    std::thread sinkThread([&] { bench::runSink(sinkAcceptor, &g_sinkCpuNs); });
    sinkThread.detach();
    bench::startEcho(echoAcceptor);
    std::thread echoThread([&] { serverIo.run(); });
    echoThread.detach();

    writeFile(dir + "/panel.ini", "[panel]\nsn=SN1\nsecret=secret-1\nrelay=127.0.0.1:" + relayPort
                                      + "\nfingerprint=" + fp + "\n[targets]\n127.0.0.1:7530=127.0.0.1:"
                                      + std::to_string(echoPort) + "\n127.0.0.1:9000=127.0.0.1:"
                                      + std::to_string(sinkPort) + "\n");
    agent.start(bench::program("TALVO_PANEL_BIN", TALVO_PANEL_BIN), dir + "/panel.ini", dir + "/panel.log");
    agent.waitFor("registered at", 10);
    writeFile(dir + "/demoTunnel.cfg", "[tunnel]\nrelay=127.0.0.1:" + relayPort + "\nfingerprint=" + fp + "\ntoken=tok\n");
    char info[256] = {};
    const std::string cfg = dir + "/demoTunnel.cfg";
    if (TunnelInit(cfg.c_str(), info, 256) || TunnelStart(cfg.c_str(), info, 0, 0)) {
        std::fprintf(stderr, "tunnel did not start\n");
        return 1;
    }
    const uint16_t echoLocal = bench::freePort(), sinkLocal = bench::freePort();
    if (addForwarding("SN1", "127.0.0.1:7530", echoLocal) || addForwarding("SN1", "127.0.0.1:9000", sinkLocal)) {
        std::fprintf(stderr, "forwarding refused\n");
        return 1;
    }

    if (profileSeconds) {
        std::printf("relay pid %d, agent pid %d; bulk for %d s\n", int(relay.pid), int(agent.pid), profileSeconds);
        std::fflush(stdout);
        const double relay0 = relay.cpuSeconds(), agent0 = agent.cpuSeconds();
        const Moved t = bulk(sinkLocal, profileSeconds);
        std::printf("%.2f GB at %.2f Gbit/s; CPU per GB: relay %.3f s, agent %.3f s\n", t.bytes / 1e9,
                    t.rate() * 8 / 1e9, (relay.cpuSeconds() - relay0) / (t.bytes / 1e9),
                    (agent.cpuSeconds() - agent0) / (t.bytes / 1e9));
        agent.kill9();
        relay.kill9();
        std::fflush(stdout);
        _exit(0);
    }

    if (memory) {
        streamMemory(echoLocal, relay, agent, 200, 1 << 20);
        agent.kill9();
        relay.kill9();
        std::fflush(stdout);
        _exit(0);
    }

    // Idle registered panels, as bare registrations (what the relay holds per panel),
    // measured before any stream has grown the relay's heap. They share one key pair.
    {
        std::string error;
        const bench::PanelKey key = bench::makePanelKey(dir + "/idle-panels", &error);
        if (!key.server) {
            std::fprintf(stderr, "no key pair for the idle panels: %s\n", error.c_str());
            return 1;
        }
        asio::io_context io;
        auto ctx = wire::makeClientContext(fp);
        const long before = relay.rssKb();
        std::vector<wire::StreamPtr> links;
        std::atomic<int> ok{0};
        for (int i = 0; i < idlePanels; ++i) {
            wire::TlsStream::connect(io, ctx, {"127.0.0.1", uint16_t(std::stoi(relayPort))}, std::chrono::seconds(10),
                                     [&, i](const std::error_code &ec, wire::TlsStream::Ptr tls) {
                                         if (ec)
                                             return;
                                         links.push_back(tls);
                                         auto line = std::make_shared<std::string>(bench::panelRegistration(
                                             "IDLE" + std::to_string(i), "s" + std::to_string(i), key.fingerprint));
                                         tls->writeAll(asio::buffer(*line), [&, tls, line](const std::error_code &, std::size_t) {
                                             auto pending = std::make_shared<std::string>();
                                             wire::readLine(tls, pending, 100, [&](const std::error_code &ec, std::string l) {
                                                 if (!ec && wire::msg::Ok::decode(l))
                                                     ++ok;
                                             });
                                         });
                                     });
        }
        io.run_for(std::chrono::seconds(20));
        const long after = relay.rssKb();
        std::printf("relay memory per idle registered panel: %.1f KiB (%d panels, RSS %ld -> %ld KiB)\n",
                    double(after - before) / std::max(1, ok.load()), ok.load(), before, after);
        for (auto &l : links)
            l->close();
        io.restart();
        io.run_for(std::chrono::milliseconds(200));
    }

    // One plain TLS leg for reference: an stunnel client and server between the same sender
    // and sink (TLS 1.3, AES-128-GCM, as the tunnel negotiates), the classic TLS relay.
    Child stunnelServer, stunnelClient;
    uint16_t stunnelPort = 0;
    {
        const uint16_t tlsPort = bench::freePort(), plainPort = bench::freePort();
        const std::string common = "foreground = yes\npid =\nsslVersionMin = TLSv1.3\n"
                                   "ciphersuites = TLS_AES_128_GCM_SHA256\n";
        writeFile(dir + "/stunnel-server.conf", common + "[leg]\naccept = 127.0.0.1:" + std::to_string(tlsPort)
                                                    + "\nconnect = 127.0.0.1:" + std::to_string(sinkPort)
                                                    + "\ncert = " + dir + "/relay.crt\nkey = " + dir + "/relay.key\n");
        writeFile(dir + "/stunnel-client.conf", common + "[leg]\nclient = yes\naccept = 127.0.0.1:"
                                                    + std::to_string(plainPort) + "\nconnect = 127.0.0.1:"
                                                    + std::to_string(tlsPort) + "\n");
        stunnelServer.startArgs({"stunnel4", dir + "/stunnel-server.conf"}, dir + "/stunnel-server.log");
        stunnelClient.startArgs({"stunnel4", dir + "/stunnel-client.conf"}, dir + "/stunnel-client.log");
        if (stunnelServer.pid > 0 && stunnelClient.pid > 0 && stunnelServer.waitFor("Configuration successful", 5)
            && stunnelClient.waitFor("Configuration successful", 5))
            stunnelPort = plainPort;
        else
            std::printf("stunnel4 not available: no TLS-leg reference\n");
    }

    // Interleaved rounds, best of each: the other load on the machine only ever lowers a figure.
    // The relay's and the agent's CPU are read around the tunnel's rounds only.
    const double bulkSeconds = quick ? 1.5 : 4;
    const int bulkRounds = quick ? 2 : 3;
    double direct = 0, tunnel = 0, leg = 0;
    Moved tunnelTotal, legTotal;
    double relayCpu = 0, agentCpu = 0, selfCpu = 0, legCpu = 0, libraryCpu = 0;
    const pid_t self = getpid();
    for (int round = 0; round < bulkRounds; ++round) {
        direct = std::max(direct, bulk(sinkPort, bulkSeconds).rate());
        const double relay0 = relay.cpuSeconds(), agent0 = agent.cpuSeconds(), self0 = bench::cpuSecondsOf(self);
        const long long sink0 = g_sinkCpuNs;
        const Moved t = bulk(sinkLocal, bulkSeconds);
        relayCpu += relay.cpuSeconds() - relay0;
        agentCpu += agent.cpuSeconds() - agent0;
        selfCpu += bench::cpuSecondsOf(self) - self0;
        libraryCpu += bench::cpuSecondsOf(self) - self0 - t.senderCpu - double(g_sinkCpuNs - sink0) / 1e9;
        tunnelTotal.bytes += t.bytes;
        tunnelTotal.seconds += t.seconds;
        tunnel = std::max(tunnel, t.rate());
        if (stunnelPort) {
            const double leg0 = stunnelClient.cpuSeconds() + stunnelServer.cpuSeconds();
            const Moved l = bulk(stunnelPort, bulkSeconds);
            legCpu += stunnelClient.cpuSeconds() + stunnelServer.cpuSeconds() - leg0;
            legTotal.bytes += l.bytes;
            leg = std::max(leg, l.rate());
        }
    }
    const double gb = tunnelTotal.bytes / 1e9;
    const double relayPerGb = gb > 0 ? relayCpu / gb : 0, agentPerGb = gb > 0 ? agentCpu / gb : 0;
    std::printf("bulk, one stream, TLS end to end: direct %.2f Gbit/s, tunnel %.2f Gbit/s, ratio %.0f %%; one stunnel "
                "TLS leg %.2f Gbit/s\n",
                direct * 8 / 1e9, tunnel * 8 / 1e9, 100 * tunnel / direct, leg * 8 / 1e9);
    std::printf("  CPU over %.2f GB through the tunnel: relay %.2f s (%.0f ticks), agent %.2f s (%.0f ticks), this "
                "program (sender, library, sink) %.2f s; per GB: relay %.3f s, agent %.3f s, this program %.3f s\n",
                gb, relayCpu, relayCpu * double(sysconf(_SC_CLK_TCK)), agentCpu, agentCpu * double(sysconf(_SC_CLK_TCK)),
                selfCpu, relayPerGb, agentPerGb, gb > 0 ? selfCpu / gb : 0);
    // The library and the agent do the TLS work of stunnel's client and server, and each a
    // hop more (to the relay and from it).
    std::printf("  the tunnel library alone (this program less its sender and sink): %.3f s per GB; library and agent "
                "together %.3f s per GB",
                gb > 0 ? libraryCpu / gb : 0, gb > 0 ? (libraryCpu + agentCpu) / gb : 0);
    if (legTotal.bytes > 0)
        std::printf("; stunnel's client and server together %.3f s per GB", legCpu / (legTotal.bytes / 1e9));
    std::printf("\n");
    stunnelClient.kill9();
    stunnelServer.kill9();

    const int rounds = quick ? 1000 : 3000;
    const Latency d = pingPong(echoPort, rounds), t = pingPong(echoLocal, rounds);
    std::printf("64 B round trip: direct median %.0f us p99 %.0f us; tunnel median %.0f us p99 %.0f us; "
                "added median %.3f ms p99 %.3f ms\n",
                d.median, d.p99, t.median, t.p99, (t.median - d.median) / 1000, (t.p99 - d.p99) / 1000);

    // 64-byte request/response on one stream while another through the same panel moves
    // bulk as fast as it can; the baseline is the same pair of streams without the tunnel.
    auto besideBulk = [&](uint16_t bulkPort, uint16_t echo) {
        const double seconds = quick ? 2 : 5;
        std::thread sender([&] { bulk(bulkPort, seconds); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // past the bulk stream's start
        const Latency l = pingPong(echo, 1000000, seconds - 0.4);
        sender.join();
        return l;
    };
    const Latency busyDirect = besideBulk(sinkPort, echoPort), busyTunnel = besideBulk(sinkLocal, echoLocal);
    std::printf("64 B round trip beside a bulk stream: direct median %.0f us p99 %.0f us; tunnel median %.0f us p99 "
                "%.0f us\n",
                busyDirect.median, busyDirect.p99, busyTunnel.median, busyTunnel.p99);

    const auto manyStart = Clock::now();
    const int errors = manyStreams(echoLocal, 500, 64 * 1024, 60);
    std::printf("500 concurrent streams through one panel, 64 KiB echoed each: %d errors, %.2f s\n", errors,
                secondsSince(manyStart));

    std::printf("\n| figure | tunnel | baseline | ratio | target | met |\n|---|---|---|---|---|---|\n");
    auto row = [](const char *figure, const std::string &tunnelText, const std::string &baseText,
                  const std::string &ratio, const char *target, bool met) {
        std::printf("| %s | %s | %s | %s | %s | %s |\n", figure, tunnelText.c_str(), baseText.c_str(), ratio.c_str(),
                    target, met ? "yes" : "no");
    };
    auto fmt = [](const char *f, double v) {
        char b[64];
        std::snprintf(b, sizeof b, f, v);
        return std::string(b);
    };
    row("bulk, one stream, TLS end to end, vs direct loopback", fmt("%.2f Gbit/s", tunnel * 8 / 1e9),
        fmt("%.2f Gbit/s", direct * 8 / 1e9), fmt("%.0f %%", 100 * tunnel / direct), ">= 35 %",
        tunnel >= 0.35 * direct);
    if (leg > 0)
        row("bulk, one stream, vs one stunnel TLS leg", fmt("%.2f Gbit/s", tunnel * 8 / 1e9),
            fmt("%.2f Gbit/s", leg * 8 / 1e9), fmt("%.2fx", tunnel / leg), ">= 1.5x", tunnel >= 1.5 * leg);
    row("relay CPU per GB during bulk (baseline: the agent's)", fmt("%.3f s", relayPerGb), fmt("%.3f s", agentPerGb),
        fmt("%.2f", agentPerGb > 0 ? relayPerGb / agentPerGb : 0), "<= 0.25",
        agentPerGb > 0 && relayPerGb <= 0.25 * agentPerGb);
    row("64 B round trip, median (added)", fmt("%.0f us", t.median), fmt("%.0f us", d.median),
        fmt("+%.3f ms", (t.median - d.median) / 1000), "-", true);
    row("64 B round trip beside bulk, p99 (added)", fmt("%.2f ms", busyTunnel.p99 / 1000),
        fmt("%.2f ms", busyDirect.p99 / 1000), fmt("+%.2f ms", (busyTunnel.p99 - busyDirect.p99) / 1000),
        "<= +3 ms", busyTunnel.p99 - busyDirect.p99 <= 3000);
    row("500 concurrent streams, 64 KiB echoed each: errors", std::to_string(errors), "0", "-", "0", errors == 0);
    std::printf("\n");

    // kill -9 of the agent, then its restart.
    {
        agent.kill9();
        const uint16_t probe = bench::freePort();
        const auto t0 = Clock::now();
        agent.start(bench::program("TALVO_PANEL_BIN", TALVO_PANEL_BIN), dir + "/panel.ini", dir + "/panel.log");
        const double s = untilReachable(t0, probe, 10);
        std::printf("agent killed (-9) and restarted: SN reachable %.0f ms after the agent's start\n", s * 1000);
        TunnelDelListen("", ("127.0.0.1:" + std::to_string(probe)).c_str());
    }

    // kill -9 of the relay, down for `outage` seconds, then its restart.
    {
        relay.kill9();
        std::this_thread::sleep_for(std::chrono::seconds(outage));
        const uint16_t probe = bench::freePort();
        const auto t0 = Clock::now();
        relay.start(bench::program("TALVO_RELAY_BIN", TALVO_RELAY_BIN), dir + "/relay.ini", dir + "/relay2.log");
        const double s = untilReachable(t0, probe, 30);
        std::printf("relay killed (-9), down %d s, restarted: SN reachable %.0f ms after the relay's start\n", outage,
                    s * 1000);
    }
    agent.kill9();
    relay.kill9();
    std::fflush(stdout);
    _exit(0); // the sink and echo threads block in accept; nothing to clean up
}
