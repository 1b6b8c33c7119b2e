// How far one relay goes: bulk throughput with 8 panels streaming at threads=2 against
// threads=1 (same run), relay memory and CPU per idle registered panel with 10,000 of them,
// 2,000 concurrent streams across 100 panels, and half of the panels vanishing at once
// (their simulating process killed). With the 10,000 idle: the time a reload (SIGHUP) takes
// and the panels it drops, for a relay.ini that keeps them all and for one without 10.
// Panels are simulated: processes of this program with thousands of TLS control links each,
// speaking the agent's registration, heartbeat and stream protocol (each stream joined at
// the relay, TLS end to end with the PC, its proof checked), with one key pair per process.
// Every wait is bounded in time.
// Usage: scale_bench [--quick] [--panels N] [--no-scaling]
//        scale_bench --simulate PORT FINGERPRINT FIRST COUNT KEYDIR   (one simulating process)
#include "BenchProcess.h"
#include "EndToEnd.h"
#include "wire/EndToEnd.h"
#include "wire/Messages.h"
#include "wire/ReadLine.h"
#include "wire/Tls.h"
#include "wire/TlsStream.h"

#include <asio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <regex>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

using bench::Clock;
using bench::readFile;
using bench::secondsSince;
using namespace std::chrono_literals;

namespace {

// Targets as the simulated panels understand them.
const char *const kEcho = "127.0.0.1:1";
const char *const kSink = "127.0.0.1:2";

std::size_t countIn(const std::string &text, const std::string &needle)
{
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

std::string sn(int i) { return "P" + std::to_string(i); }
std::string secret(int i) { return "s" + std::to_string(i); }

// ---------------------------------------------------------------------------------------
// The simulating process: COUNT panels P<FIRST>.. registered over one TLS link each,
// a PING every 10 s per link, and each OPEN answered with a data connection that joins the
// stream, proves the PC and then echoes (target kEcho) or swallows (kSink) what comes. A
// panel holds its link and nothing else: the key pair and its context are the process's.

struct Simulator
{
    asio::io_context io{1};
    std::shared_ptr<asio::ssl::context> tls;
    bench::PanelKey key;
    wire::HostPort relay;
    int first = 0, count = 0;
    int next = 0, inFlight = 0, registered = 0, failed = 0, lost = 0, reported = 0;
    std::uint64_t streams = 0, streamFailures = 0;
    std::vector<wire::TlsStream::Ptr> links;
    asio::steady_timer heartbeat{io};
    std::size_t beat = 0;
    std::uint64_t pings = 0, lines = 0;

    void connectMore()
    {
        while (inFlight < 128 && next < count)
            connect(next++, 3);
        if (inFlight == 0 && !reported) {
            reported = 1;
            std::printf("registered %d failed %d\n", registered, failed);
            std::fflush(stdout);
        }
    }

    void connect(int k, int tries)
    {
        ++inFlight;
        wire::TlsStream::connect(io, tls, relay, 20s, [this, k, tries](const std::error_code &ec,
                                                                       wire::TlsStream::Ptr link) {
            if (ec)
                return retry(k, tries);
            auto hello = std::make_shared<std::string>(
                bench::panelRegistration(sn(first + k), secret(first + k), key.fingerprint));
            link->writeAll(asio::buffer(*hello), [this, k, tries, link, hello](const std::error_code &ec, std::size_t) {
                if (ec)
                    return retry(k, tries);
                auto pending = std::make_shared<std::string>();
                wire::readLine(link, pending, 200, [this, k, tries, link, pending](const std::error_code &ec,
                                                                                   std::string line) {
                    if (ec || !wire::msg::Ok::decode(line))
                        return retry(k, tries);
                    links[std::size_t(k)] = link;
                    ++registered;
                    --inFlight;
                    listen(k, link, pending);
                    connectMore();
                });
            });
        });
    }

    void retry(int k, int tries)
    {
        --inFlight;
        if (tries > 1)
            connect(k, tries - 1);
        else
            ++failed;
        connectMore();
    }

    void listen(int k, wire::TlsStream::Ptr link, std::shared_ptr<std::string> pending)
    {
        wire::readLine(link, pending, wire::msg::kMaxLine, [this, k, link, pending](const std::error_code &ec,
                                                                                  std::string line) {
            if (ec) {
                ++lost;
                links[std::size_t(k)].reset();
                return;
            }
            ++lines;
            if (const auto open = wire::msg::Open::decode(line))
                openData(*open);
            listen(k, link, pending);
        });
    }

    void openData(const wire::msg::Open &open)
    {
        const bool echo = open.target == kEcho;
        bench::acceptStream(io, bench::loopback(relay.port), key.server, open, wire::kSecretLife,
                            [this, echo](const std::error_code &ec, wire::TlsStream::Ptr data) {
                                if (ec) {
                                    ++streamFailures;
                                    return;
                                }
                                ++streams;
                                pump(data, std::make_shared<std::vector<char>>(64 * 1024), echo);
                            });
    }

    static void pump(wire::TlsStream::Ptr data, std::shared_ptr<std::vector<char>> buffer, bool echo)
    {
        data->readSome(asio::buffer(*buffer), [data, buffer, echo](const std::error_code &ec, std::size_t n) {
            if (ec) {
                data->shutdownSend();
                return data->close();
            }
            if (!echo)
                return pump(data, buffer, echo);
            data->writeAll(asio::buffer(buffer->data(), n), [data, buffer, echo](const std::error_code &ec, std::size_t) {
                if (!ec)
                    pump(data, buffer, echo);
            });
        });
    }

    // A slice of the links every 100 ms: each link once per 10 s, spread evenly, as agents
    // started at random times would be.
    // Asked by the measuring process (SIGUSR1): the links held and lost so far. A lost link is
    // never registered again here, so a panel the relay dropped stays counted.
    asio::signal_set asked{io, SIGUSR1};
    void answerAsked()
    {
        asked.async_wait([this](const std::error_code &ec, int) {
            if (ec)
                return;
            std::printf("links %d lost %d\n", registered - lost, lost);
            std::fflush(stdout);
            answerAsked();
        });
    }

    void beatSlice()
    {
        heartbeat.expires_after(100ms);
        heartbeat.async_wait([this](const std::error_code &ec) {
            if (ec)
                return;
            static const std::string ping = wire::msg::Ping {}.encode() + "\n";
            const std::size_t n = links.size(), from = beat * n / 100, to = (beat + 1) * n / 100;
            for (std::size_t i = from; i < to; ++i)
                if (links[i]) {
                    ++pings;
                    links[i]->writeAll(asio::buffer(ping), [](const std::error_code &, std::size_t) {});
                }
            if (beat == 0) // the simulation's own log, for when the relay misses heartbeats
                std::fprintf(stderr, "%d registered, %d lost, %llu pings sent, %llu lines read, %llu streams proven, "
                             "%llu failed\n",
                             registered, lost, (unsigned long long)pings, (unsigned long long)lines,
                             (unsigned long long)streams, (unsigned long long)streamFailures);
            beat = (beat + 1) % 100;
            beatSlice();
        });
    }

    int run()
    {
        links.resize(std::size_t(count));
        answerAsked();
        connectMore();
        beatSlice();
        io.run();
        return 0;
    }
};

int simulate(char **argv)
{
    bench::prepareLoadProcess();
    Simulator s;
    s.relay = {"127.0.0.1", std::uint16_t(std::atoi(argv[0]))};
    s.tls = wire::makeClientContext(argv[1]);
    s.first = std::atoi(argv[2]);
    s.count = std::atoi(argv[3]);
    std::string error;
    s.key = bench::makePanelKey(argv[4], &error);
    if (!s.key.server) {
        std::printf("no key pair: %s\n", error.c_str());
        return 1;
    }
    return s.run();
}

// ---------------------------------------------------------------------------------------
// The measuring process.

struct Child : bench::Child
{
    int out = -1; // the child's standard output, when piped
    std::string buffered;

    bool start(const std::vector<std::string> &args, const std::string &logPath, bool pipeOut = false)
    {
        int fds[2] = {-1, -1};
        if (pipeOut && pipe2(fds, O_CLOEXEC) != 0)
            fds[0] = fds[1] = -1;
        const bool ok = bench::Child::start(args, logPath, false, fds[1]);
        if (fds[1] >= 0)
            ::close(fds[1]);
        out = fds[0];
        return ok;
    }
    void kill9()
    {
        bench::Child::kill9();
        if (out >= 0)
            ::close(out);
        out = -1;
    }
    ~Child() { kill9(); }
    // The next line the child prints on its piped output.
    std::string readLine(double seconds)
    {
        const auto t = Clock::now();
        while (buffered.find('\n') == std::string::npos && secondsSince(t) < seconds) {
            pollfd p {out, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char chunk[256];
            const ssize_t n = ::read(out, chunk, sizeof chunk);
            if (n <= 0)
                break;
            buffered.append(chunk, std::size_t(n));
        }
        const auto nl = buffered.find('\n');
        if (nl == std::string::npos)
            return {};
        std::string line = buffered.substr(0, nl);
        buffered.erase(0, nl + 1);
        return line;
    }
};

// relay.ini with panels P0..P<panels-1> less those in `left out`; threads 0: the relay's
// default, one per core.
std::string relayIni(int threads, int panels, bool metrics, const std::set<int> &leftOut = {})
{
    std::string text = "[relay]\nlisten=127.0.0.1:0\n"
        + (threads ? "threads=" + std::to_string(threads) + "\n" : std::string())
        + (metrics ? "metrics=127.0.0.1:0\n" : "") + "max_connections=19000\nmax_per_source=19000\n[panels]\n";
    for (int i = 0; i < panels; ++i)
        if (!leftOut.count(i))
            text += sn(i) + "=" + secret(i) + "\n";
    return text + "[users]\ntok=*\n";
}

struct Relay : Child
{
    std::uint16_t port = 0, metricsPort = 0;
    std::string fingerprint, ini;

    // `metrics`: with the metrics endpoint, for panelsOnline().
    bool launch(const std::string &dir, int threads, int panels, bool metrics = false)
    {
        ini = dir + "/relay.ini";
        std::ofstream(ini) << relayIni(threads, panels, metrics);
        const std::string logPath = dir + "/relay-" + std::to_string(threads) + "-" + std::to_string(::time(nullptr))
            + "-" + std::to_string(std::rand()) + ".log";
        if (!start({TALVO_RELAY_BIN, "--config", ini}, logPath) || !waitFor("fingerprint ", 10))
            return false;
        const std::string out = readFile(log);
        std::smatch m;
        if (metrics) {
            if (!std::regex_search(out, m, std::regex("metrics on http://127\\.0\\.0\\.1:(\\d+)/")))
                return false;
            metricsPort = std::uint16_t(std::stoi(m[1]));
        }
        if (!std::regex_search(out, m, std::regex("listening on 127\\.0\\.0\\.1:(\\d+)")))
            return false;
        port = std::uint16_t(std::stoi(m[1]));
        if (!std::regex_search(out, m, std::regex("fingerprint ([0-9a-f]{64})")))
            return false;
        fingerprint = m[1];
        return true;
    }
    // talvo_relay_panels_online from the metrics endpoint; -1 when it does not answer.
    long panelsOnline() const
    {
        asio::io_context io;
        asio::ip::tcp::socket socket(io);
        std::error_code ec;
        socket.connect(bench::loopback(metricsPort), ec);
        const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
        if (!ec)
            asio::write(socket, asio::buffer(request), ec);
        std::string answer;
        if (!ec)
            asio::read(socket, asio::dynamic_buffer(answer), ec); // to the end: the relay closes
        static const std::string name = "\ntalvo_relay_panels_online ";
        const auto at = answer.find(name);
        return at == std::string::npos ? -1 : std::atol(answer.c_str() + at + name.size());
    }
    std::size_t logSize() const
    {
        struct stat st {};
        return ::stat(log.c_str(), &st) == 0 ? std::size_t(st.st_size) : 0;
    }
    std::string logSince(std::size_t offset) const
    {
        std::ifstream in(log);
        in.seekg(std::streamoff(offset));
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // RSS once the heap is trimmed.
    long settledRssKb()
    {
        const std::size_t before = countIn(readFile(log), "heap trimmed on request");
        ::kill(pid, SIGUSR1);
        const auto t = Clock::now();
        while (secondsSince(t) < 10 && countIn(readFile(log), "heap trimmed on request") == before)
            std::this_thread::sleep_for(10ms);
        return rssKb();
    }
};

struct Simulation : Child
{
    int registered = -1;
    bool launch(const std::string &self, const Relay &relay, int first, int count, const std::string &logPath)
    {
        // One key pair per simulating process, kept for its restart.
        const std::string keyDir = logPath.substr(0, logPath.rfind('/')) + "/sim-key-" + std::to_string(first);
        return start({self, "--simulate", std::to_string(relay.port), relay.fingerprint, std::to_string(first),
                      std::to_string(count), keyDir},
                     logPath, true);
    }
    struct Links
    {
        int open = -1, lost = -1;
    };
    // What the process holds now, as it answers SIGUSR1.
    Links links(double seconds)
    {
        Links l;
        ::kill(pid, SIGUSR1);
        if (std::sscanf(readLine(seconds).c_str(), "links %d lost %d", &l.open, &l.lost) != 2)
            l = {};
        return l;
    }
    bool ready(double seconds)
    {
        const std::string line = readLine(seconds);
        int failed = 0;
        if (std::sscanf(line.c_str(), "registered %d failed %d", &registered, &failed) != 2)
            registered = -1;
        return registered >= 0;
    }
};

// The PC side, on its own thread: one control link to the relay, as the library keeps, and
// streams asked for over it, each ending in a verdict. Everything in it runs on `io`.
struct Pcs
{
    bench::IoThread thread;
    asio::io_context &io = thread.io;
    bench::PcLink::Ptr link;
    std::atomic<std::uint64_t> sent{0};
    std::atomic<int> ok{0}, errors{0};
    std::vector<wire::TlsStream::Ptr> open;
    std::map<std::string, int> failures; // what failed the streams that did, for the log

    Pcs(const Relay &r)
    {
        link = thread
                   .await<bench::PcLink::Ptr>(
                       [&](std::function<void(bench::PcLink::Ptr)> done) {
                           bench::PcLink::connect(io, bench::loopback(r.port), r.fingerprint, "tok", 30s,
                                                  [done](const std::error_code &, bench::PcLink::Ptr l) { done(l); });
                       },
                       40)
                   .value_or(nullptr);
        if (!link)
            std::printf("  PC control link refused or timed out\n");
    }
    ~Pcs()
    {
        thread.await<bool>(
            [this](std::function<void(bool)> done) {
                for (auto &s : open)
                    s->close();
                open.clear();
                if (link)
                    link->close();
                link.reset();
                done(true);
            },
            10);
    }
    // On io: what failed the streams, once.
    std::string failureText() const
    {
        std::string text;
        for (const auto &[why, n] : failures)
            text += (text.empty() ? "" : ", ") + std::to_string(n) + " x " + why;
        if (link && link->refusals())
            text += "; last refusal: " + link->lastRefusal();
        return text;
    }

    // Asks for a stream; `then` gets it once joined, its TLS up and the proof sent.
    void request(const std::string &panel, const char *target, std::function<void(wire::TlsStream::Ptr)> then)
    {
        if (!link) {
            ++errors;
            return;
        }
        link->open(panel, target, [this, then](const std::error_code &ec, wire::TlsStream::Ptr s) {
            if (ec) {
                ++errors;
                ++failures[ec.message()];
                return;
            }
            open.push_back(s);
            then(s);
        });
    }

    // Writes `chunk` again and again until the stream ends.
    void flood(wire::TlsStream::Ptr s, std::shared_ptr<std::vector<char>> chunk)
    {
        s->writeAll(asio::buffer(*chunk), [this, s, chunk](const std::error_code &ec, std::size_t n) {
            if (ec)
                return;
            sent += n;
            flood(s, chunk);
        });
    }

    // Sends `bytes` of a pattern, reads them back, checks them; the stream stays open.
    void echo(wire::TlsStream::Ptr s, std::size_t bytes, int seed)
    {
        auto out = std::make_shared<std::string>(bytes, '\0');
        for (std::size_t i = 0; i < bytes; ++i)
            (*out)[i] = char((i * 7 + std::size_t(seed)) & 0xff);
        auto in = std::make_shared<std::string>();
        auto chunk = std::make_shared<std::vector<char>>(16 * 1024);
        s->writeAll(asio::buffer(*out), [](const std::error_code &, std::size_t) {});
        readBack(s, out, in, chunk);
    }
    void readBack(wire::TlsStream::Ptr s, std::shared_ptr<std::string> out, std::shared_ptr<std::string> in,
                  std::shared_ptr<std::vector<char>> chunk)
    {
        s->readSome(asio::buffer(*chunk), [this, s, out, in, chunk](const std::error_code &ec, std::size_t n) {
            if (ec) {
                ++errors;
                return;
            }
            in->append(chunk->data(), n);
            if (in->size() < out->size())
                return readBack(s, out, in, chunk);
            if (*in == *out)
                ++ok;
            else
                ++errors;
        });
    }
};

struct Row
{
    std::string figure, value, baseline, ratio, target;
    bool met;
};

std::string fmt(double v, int decimals = 1)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

struct Scaling
{
    double mbps = 0, relayCores = 0, mbPerCpuSecond = 0;
};

// 8 panels, one bulk stream each from the PC side into the panel, for `seconds`.
Scaling streamBulk(const std::string &self, const std::string &dir, int threads, double seconds)
{
    Scaling out;
    Relay relay;
    if (!relay.launch(dir, threads, 8))
        return out;
    Simulation panels;
    if (!panels.launch(self, relay, 0, 8, dir + "/sim-bulk.log") || !panels.ready(20) || panels.registered != 8)
        return out;
    Pcs pcs(relay);
    auto chunk = std::make_shared<std::vector<char>>(64 * 1024, 'x');
    asio::post(pcs.io, [&] {
        for (int i = 0; i < 8; ++i)
            pcs.request(sn(i), kSink, [&pcs, chunk](wire::TlsStream::Ptr s) { pcs.flood(s, chunk); });
    });
    std::this_thread::sleep_for(1s); // all streams open and at speed
    const std::uint64_t bytes0 = pcs.sent;
    const double cpu0 = relay.cpuSeconds(), load0 = bench::cpuSecondsOf(getpid()) + panels.cpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = secondsSince(t0);
    const double mb = double(pcs.sent - bytes0) / 1e6, cpu = relay.cpuSeconds() - cpu0;
    const double load = bench::cpuSecondsOf(getpid()) + panels.cpuSeconds() - load0;
    out.mbps = mb / elapsed;
    out.relayCores = cpu / elapsed;
    out.mbPerCpuSecond = cpu > 0 ? mb / cpu : 0;
    std::printf("  threads=%d: %.0f MB/s, relay %.2f cores, %.0f MB per relay CPU-second, senders and sinks %.2f cores, "
                "%d stream errors\n",
                threads, out.mbps, out.relayCores, out.mbPerCpuSecond, load / elapsed, pcs.errors.load());
    std::fflush(stdout);
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 7 && !std::strcmp(argv[1], "--simulate"))
        return simulate(argv + 2);
    bool quick = false, noScaling = false;
    int panelCount = 10000;
    bench::Arguments args;
    args.flag("--quick", &quick);
    args.flag("--no-scaling", &noScaling);
    args.number("--panels", &panelCount, 200, 10000);
    if (!args.parse(argc, argv, "[--quick] [--panels N (200..10000, default 10000)] [--no-scaling]"))
        return 2;
    panelCount = panelCount / 2 * 2;
    const bool scalingRows = !noScaling;
    bench::prepareLoadProcess();
    const std::string self = "/proc/self/exe";
    char selfPath[4096] = {};
    if (readlink(self.c_str(), selfPath, sizeof selfPath - 1) <= 0)
        return 1;
    char tmpl[] = "/tmp/scale-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    const auto started = Clock::now();
    std::vector<Row> rows;

    // 1. Scaling: threads=1 and threads=2 taking turns, so that other load on the machine
    // falls on both alike.
    const double bulkSeconds = quick ? 4 : 8;
    if (scalingRows)
        std::printf("8 panels streaming, %.0f s per run:\n", bulkSeconds);
    Scaling one, two;
    const int rounds = scalingRows ? (quick ? 2 : 3) : 0;
    for (int r = 0; r < rounds; ++r) {
        for (int threads : {1, 2}) {
            const Scaling s = streamBulk(selfPath, dir, threads, bulkSeconds);
            Scaling &sum = threads == 1 ? one : two;
            sum.mbps += s.mbps / rounds;
            sum.relayCores += s.relayCores / rounds;
            sum.mbPerCpuSecond += s.mbPerCpuSecond / rounds;
        }
    }
    if (scalingRows) {
    const double scaling = one.mbps > 0 ? two.mbps / one.mbps : 0;
    rows.push_back({"relay throughput, 8 panels streaming, threads=2 vs 1, MB/s", fmt(two.mbps, 0), fmt(one.mbps, 0),
                    fmt(scaling, 2), ">= 1.6x", scaling >= 1.6});
    rows.push_back({"relay CPU used, cores, threads=2 vs 1", fmt(two.relayCores, 2), fmt(one.relayCores, 2),
                    fmt(one.relayCores > 0 ? two.relayCores / one.relayCores : 0, 2), "> 1 core at threads=2",
                    two.relayCores > 1.0});
    const double efficiency = one.mbPerCpuSecond > 0 ? two.mbPerCpuSecond / one.mbPerCpuSecond : 0;
    rows.push_back({"relay MB per relay CPU-second, threads=2 vs 1", fmt(two.mbPerCpuSecond, 0),
                    fmt(one.mbPerCpuSecond, 0), fmt(efficiency, 2), ">= 0.8x (no cost for threads)",
                    efficiency >= 0.8});
    }

    // 2. Idle panels: two simulating processes, half of the panels each.
    Relay relay;
    if (!relay.launch(dir, 0, panelCount, true)) {
        std::printf("relay did not start\n");
        return 1;
    }
    const long rss0 = relay.settledRssKb();
    const int half = panelCount / 2;
    Simulation a, b;
    const auto regStart = Clock::now();
    if (!a.launch(selfPath, relay, 0, half, dir + "/sim-a.log") || !b.launch(selfPath, relay, half, half, dir + "/sim-b.log")
        || !a.ready(120) || !b.ready(std::max(1.0, 120 - secondsSince(regStart)))) {
        std::printf("simulated panels did not register (%d, %d)\n", a.registered, b.registered);
        return 1;
    }
    const int registered = a.registered + b.registered;
    std::printf("%d panels registered in %.1f s\n", registered, secondsSince(regStart));
    const long rss1 = relay.settledRssKb();
    const double perPanel = double(rss1 - rss0) / std::max(1, registered);
    rows.push_back({"relay RSS per idle panel, KiB (" + std::to_string(registered) + " panels; baseline: RSS with none)",
                    fmt(perPanel), std::to_string(rss0), "-", "<= 64", registered == panelCount && perPanel <= 64});
    const double simPerPanel = double(a.rssKb() + b.rssKb()) / std::max(1, registered);
    rows.push_back({"simulating processes' RSS per panel, KiB", fmt(simPerPanel), "-", "-", "-", true});

    const double idleSeconds = quick ? 20 : 40;
    std::printf("idle window of %.0f s (relay pid %d)\n", idleSeconds, int(relay.pid));
    std::fflush(stdout);
    const double cpu0 = relay.cpuSeconds();
    const auto idle0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const double idleCpu = (relay.cpuSeconds() - cpu0) / secondsSince(idle0);
    rows.push_back({"relay CPU with idle panels (heartbeats), % of a core over " + fmt(idleSeconds, 0) + " s",
                    fmt(idleCpu * 100, 2), "-", "-", "< 5", idleCpu < 0.05});

    // 2b. Reloads (SIGHUP) with the panels idle. relay.ini as it was but for a comment must
    // keep every panel: the relay's count (metrics), its "gone" lines and the simulating
    // processes' links all unchanged over a while after it. Then a file without 10 of the
    // panels must drop exactly those: P<half-10>..P<half-1>, none of those the streams below
    // use, nor of the half killed later.
    {
        struct Reload
        {
            double ms = -1, cpuMs = 0;
            long onlineBefore = -1, onlineAfter = -1;
            std::set<std::string> gone;
            std::size_t registrations = 0, revokedLines = 0;
            int lostA = -1, lostB = -1;
            std::string line;
        };
        const double settle = quick ? 3 : 12;
        const auto reload = [&](const std::string &text) {
            Reload r;
            const auto a0 = a.links(5), b0 = b.links(5);
            r.onlineBefore = relay.panelsOnline();
            const std::size_t offset = relay.logSize();
            std::ofstream(relay.ini) << text;
            const double cpu0 = bench::cpuNanosecondsOf(relay.pid);
            const auto t0 = Clock::now();
            ::kill(relay.pid, SIGHUP);
            std::string since;
            std::size_t at = std::string::npos;
            while (secondsSince(t0) < 60) {
                since = relay.logSince(offset);
                // Its last line either way; a "reload: ..." line about a restart-only setting
                // comes before it.
                at = since.find(": reloaded ");
                if (at == std::string::npos)
                    at = since.find(": reload refused");
                if (at != std::string::npos && since.find('\n', at) != std::string::npos)
                    break;
                std::this_thread::sleep_for(1ms);
            }
            if (at == std::string::npos)
                return r;
            r.ms = secondsSince(t0) * 1000;
            r.cpuMs = (bench::cpuNanosecondsOf(relay.pid) - cpu0) / 1e6;
            r.line = since.substr(at + 2, since.find('\n', at) - at - 2);
            std::this_thread::sleep_for(std::chrono::duration<double>(settle));
            const auto a1 = a.links(5), b1 = b.links(5);
            r.onlineAfter = relay.panelsOnline();
            since = relay.logSince(offset);
            const std::regex goneLine("panel (\\S+) gone \\(");
            for (auto it = std::sregex_iterator(since.begin(), since.end(), goneLine); it != std::sregex_iterator(); ++it)
                r.gone.insert((*it)[1]);
            r.registrations = countIn(since, " registered from ");
            r.revokedLines = countIn(since, " gone (revoked");
            if (a0.lost >= 0 && a1.lost >= 0 && b0.lost >= 0 && b1.lost >= 0) {
                r.lostA = a1.lost - a0.lost;
                r.lostB = b1.lost - b0.lost;
            }
            std::printf("  \"%s\" %.1f ms after SIGHUP (relay CPU %.1f ms); over %.0f s: panels online %ld -> %ld, "
                        "%zu gone lines, links the simulating processes lost %d + %d, %zu registrations\n",
                        r.line.c_str(), r.ms, r.cpuMs, settle, r.onlineBefore, r.onlineAfter, r.gone.size(), r.lostA,
                        r.lostB, r.registrations);
            std::fflush(stdout);
            return r;
        };
        const auto dropped = [](const Reload &r) {
            return std::to_string(r.onlineBefore - r.onlineAfter) + " / " + std::to_string(r.gone.size()) + " / "
                   + std::to_string(r.lostA + r.lostB);
        };
        const std::string what = "relay's panels online (metrics) / gone lines / links the simulating processes lost";
        std::printf("reload with %d panels registered, relay.ini unchanged but a comment:\n", registered);
        const Reload same = reload(relayIni(0, panelCount, true) + "# read again by scale_bench\n");
        const bool keptAll = same.ms >= 0 && same.line.rfind("reloaded ", 0) == 0
            && same.onlineBefore == registered && same.onlineAfter == registered && same.gone.empty()
            && same.lostA == 0 && same.lostB == 0 && same.registrations == 0;
        rows.push_back({"reload (SIGHUP) with " + std::to_string(registered) + " idle panels, same panels and users: "
                            "signal to \"reloaded\" logged, ms",
                        fmt(same.ms), "-", "-", "-", same.ms >= 0});
        rows.push_back({"panels dropped by that reload, over " + fmt(settle, 0) + " s: " + what, dropped(same),
                        std::to_string(same.onlineBefore) + " online before", "-", "0", keptAll});

        std::set<int> removed;
        std::set<std::string> removedSns;
        for (int i = half - 10; i < half; ++i) {
            removed.insert(i);
            removedSns.insert(sn(i));
        }
        std::printf("reload without %s..%s in [panels]:\n", sn(half - 10).c_str(), sn(half - 1).c_str());
        const Reload fewer = reload(relayIni(0, panelCount, true, removed));
        const bool exactly = fewer.ms >= 0 && fewer.line.rfind("reloaded ", 0) == 0 && fewer.gone == removedSns
            && fewer.revokedLines == 10 && fewer.onlineBefore - fewer.onlineAfter == 10 && fewer.lostA == 10
            && fewer.lostB == 0 && fewer.registrations == 0;
        rows.push_back({"reload removing 10 panels from [panels]: signal to \"reloaded\" logged, ms", fmt(fewer.ms), "-",
                        "-", "-", fewer.ms >= 0});
        rows.push_back({"panels dropped by it: " + what, dropped(fewer), "10 removed", "-", "exactly those 10",
                        exactly});
    }

    // 3. 2,000 concurrent streams across 100 panels, each echoing 16 KiB, all open at once.
    {
        const int streams = 2000, panels = 100;
        Pcs pcs(relay);
        const auto t0 = Clock::now();
        asio::post(pcs.io, [&] {
            for (int i = 0; i < streams; ++i)
                pcs.request(sn(i % panels), kEcho, [&pcs, i](wire::TlsStream::Ptr s) { pcs.echo(s, 16 * 1024, i); });
        });
        while (pcs.ok + pcs.errors < streams && secondsSince(t0) < 90)
            std::this_thread::sleep_for(20ms);
        const double took = secondsSince(t0);
        const int errors = streams - pcs.ok;
        std::printf("%d streams: %d echoed intact, %d errors, %.1f s, relay RSS %ld KiB\n", streams, pcs.ok.load(),
                    errors, took, relay.rssKb());
        if (errors)
            std::printf("  failed: %s\n", pcs.thread
                                              .await<std::string>([&pcs](std::function<void(std::string)> done) {
                                                  done(pcs.failureText());
                                              }, 5)
                                              .value_or("?")
                                              .c_str());
        asio::post(pcs.io, [&pcs] {
            for (auto &s : pcs.open)
                s->close();
            pcs.open.clear();
        });
        // The relay logs each stream's end; the next figures start once all have ended.
        const auto closing = Clock::now();
        while (secondsSince(closing) < 30) {
            const std::string log = readFile(relay.log);
            if (countIn(log, " closed, ") + countIn(log, " aborted, ") >= std::size_t(streams))
                break;
            std::this_thread::sleep_for(50ms);
        }
        std::printf("streams ended after %.1f s, relay RSS %ld KiB once trimmed\n", secondsSince(closing),
                    relay.settledRssKb());
        rows.push_back({"errors over 2,000 concurrent streams, 100 panels, 16 KiB echoed each", std::to_string(errors),
                        "-", "-", "0", errors == 0});
    }

    // 4. Half the panels vanish at once: their process is killed. The relay must notice each
    // (one log line per panel) and keep serving the others; when they come back, the relay
    // must hold no more than before (nothing of the lost links stays behind).
    {
        const long rssBefore = relay.settledRssKb();
        const std::size_t goneBefore = countIn(readFile(relay.log), " gone (");
        Pcs pcs(relay);
        std::atomic<double> worst {0};
        std::atomic<int> probes {0};
        std::atomic<bool> probing {true};
        // Streams to surviving panels one after another while the others drop.
        std::function<void()> probe = [&] {
            const auto t = Clock::now();
            pcs.request(sn(probes % 100), kEcho, [&, t](wire::TlsStream::Ptr s) {
                const int before = pcs.ok;
                pcs.echo(s, 64, probes);
                auto check = std::make_shared<asio::steady_timer>(pcs.io);
                auto poll = std::make_shared<std::function<void()>>();
                *poll = [&, t, s, before, check, poll] {
                    if (pcs.ok > before || secondsSince(t) > 10) {
                        worst = std::max(worst.load(), secondsSince(t));
                        ++probes;
                        s->close();
                        *poll = nullptr;
                        if (probing)
                            probe();
                        return;
                    }
                    check->expires_after(1ms);
                    check->async_wait([poll](const std::error_code &) {
                        if (*poll)
                            (*poll)();
                    });
                };
                (*poll)();
            });
        };
        asio::post(pcs.io, probe);
        std::this_thread::sleep_for(500ms);
        const std::size_t atKill = relay.logSize();
        const auto killed = Clock::now();
        b.kill9();
        std::size_t gone = 0;
        while (secondsSince(killed) < 60) {
            gone = countIn(readFile(relay.log), " gone (") - goneBefore;
            if (gone >= std::size_t(half))
                break;
            std::this_thread::sleep_for(50ms);
        }
        const double noticed = secondsSince(killed);
        std::this_thread::sleep_for(1s);
        probing = false;
        std::this_thread::sleep_for(200ms);
        const std::string log = relay.logSince(atKill); // the panels a reload removed went before
        bool survivorsKept = true;
        for (int i = 0; i < half; ++i)
            if (log.find("panel " + sn(i) + " gone") != std::string::npos)
                survivorsKept = false;
        const long rss2 = relay.settledRssKb();
        Simulation again;
        const bool back = again.launch(selfPath, relay, half, half, dir + "/sim-b2.log") && again.ready(120)
            && again.registered == half;
        const long rss3 = relay.settledRssKb();
        std::printf("killed %d panels: %zu gone lines in %.1f s; %d probe streams to the others, slowest %.3f s; "
                    "relay RSS %ld before, %ld after, %ld once they registered again\n",
                    half, gone, noticed, probes.load(), worst.load(), rssBefore, rss2, rss3);
        rows.push_back({"panels noticed gone after their process was killed (log lines)", std::to_string(gone),
                        std::to_string(half), fmt(double(gone) / half, 2), "all, others kept",
                        gone == std::size_t(half) && survivorsKept});
        rows.push_back({"slowest stream to a surviving panel meanwhile, s", fmt(worst.load(), 3), "-", "-", "< 1",
                        worst.load() < 1 && probes > 0 && pcs.errors == 0});
        rows.push_back({"relay RSS once they vanished and registered again, KiB (baseline: before)",
                        std::to_string(rss3), std::to_string(rssBefore), fmt(double(rss3) / rssBefore, 2), "<= 1.1x",
                        back && rss2 <= rssBefore * 1.1 && rss3 <= rssBefore * 1.1});
    }

    std::printf("\n| figure | value | baseline | ratio | target | met |\n|---|---|---|---|---|---|\n");
    for (const auto &r : rows)
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.figure.c_str(), r.value.c_str(), r.baseline.c_str(),
                    r.ratio.c_str(), r.target.c_str(), r.met ? "yes" : "no");
    std::printf("\n(%.0f s in all; %u cores; load generators share them with the relay)\n", secondsSince(started),
                std::thread::hardware_concurrency());
    a.kill9();
    relay.kill9();
    return 0;
}
