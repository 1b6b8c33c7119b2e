// What the relay's audit trail costs, on loopback: two relays alike but for [relay] audit=,
// each with a real agent in front of an echo and a sink in this process, and a PC control
// link to each (TLS end to end, as the library's streams are). The two take turns, off/on
// then on/off, so that a drift in the machine's other load falls on both alike; medians of
// each side. Figures: stream set-ups per second over short streams (open, 64-byte echo,
// close; a few at a time) and one stream's bulk throughput, each with the spread of the
// runs without the trail, to tell a difference from noise; and the relay's CPU per set-up
// with and without, against the CPU a set-up takes in all the processes involved: CPU time
// is moved far less than the rates by the other load on a shared machine, and where the CPU
// is what set-ups wait for, the relay's extra share is what the trail costs them. Last, the
// trail that relay wrote is checked with talvo-relay --verify-audit and its stream records
// counted against the streams it carried.
// TALVO_RELAY_BIN, TALVO_PANEL_BIN in the environment: other builds of the daemons.
// Every wait is bounded in time.
// --control: the "on" relay without the trail too, to see what differs between the two sides
// when nothing does. --close-at-once: a short stream's PC closes its socket right after its
// close_notify (TlsStream::close()) instead of reading the agent's end first, as the library
// does; the trail then tells what the relay makes of such ends.
// Usage: audit_bench [--quick] [--rounds N] [--streams N] [--control] [--close-at-once]
#include "BenchProcess.h"
#include "EndToEnd.h"
#include "wire/TlsStream.h"

#include <asio.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using bench::Clock;
using bench::readFile;
using bench::secondsSince;
using bench::writeFile;
using asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// Targets as the agents' [targets] name them.
const char *const kEcho = "127.0.0.1:7530";
const char *const kSink = "127.0.0.1:9000";
const int kAtOnce = 8; // short streams under way at once

struct Child : bench::Child
{
    ~Child() { kill9(); }
    // SIGTERM, then the exit awaited: a relay stopped so records its open streams' ends.
    bool stop(double seconds)
    {
        if (pid <= 0)
            return false;
        ::kill(pid, SIGTERM);
        const auto t = Clock::now();
        while (secondsSince(t) < seconds) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        kill9();
        return false;
    }
};


// Reads exactly buffer's size from a stream.
void readExactly(wire::TlsStream::Ptr s, asio::mutable_buffer buffer, std::function<void(const std::error_code &)> done)
{
    s->readSome(buffer, [s, buffer, done](const std::error_code &ec, std::size_t n) {
        if (ec)
            return done(ec);
        if (n == buffer.size())
            return done({});
        readExactly(s, buffer + n, done);
    });
}

// As the library ends a stream once it has sent its end: what comes is read until the far
// end's close (a socket closed first would answer it with a reset), then the socket closed.
// `done` gets no error for a clean end.
void drain(wire::TlsStream::Ptr s, std::function<void(const std::error_code &)> done,
           std::shared_ptr<std::array<char, 256>> buffer = std::make_shared<std::array<char, 256>>())
{
    s->readSome(asio::buffer(*buffer), [s, done, buffer](const std::error_code &ec, std::size_t) {
        if (!ec)
            return drain(s, done, buffer);
        s->close();
        done(ec == asio::error::eof ? std::error_code() : ec);
    });
}

// One relay with its agent and a PC control link to it.
struct Side
{
    std::string name, dir, audit;
    Child relay, agent;
    uint16_t port = 0;
    std::string fingerprint;
    bench::PcLink::Ptr link;
    int streamsOpened = 0; // streams this benchmark saw open through this relay
    // Per run: set-ups per second, CPU per set-up in microseconds (the relay's; the relay's,
    // its agent's and this program's together), bulk bytes per second, relay CPU per GB.
    std::vector<double> setups, relayUs, allUs, bulk, relayPerGb;

    double relayNs() const { return bench::cpuNanosecondsOf(relay.pid); }
    // This program's share is its PC side, echo and sink: the other side's link idles meanwhile.
    double allNs() const { return relayNs() + bench::cpuNanosecondsOf(agent.pid) + bench::cpuNanosecondsOf(getpid()); }

    bool start(const std::string &base, bool withAudit, uint16_t echoPort, uint16_t sinkPort, bench::IoThread &pc)
    {
        dir = base + "/" + name;
        if (::mkdir(dir.c_str(), 0700) != 0)
            return false;
        audit = withAudit ? dir + "/audit.jsonl" : "";
        writeFile(dir + "/relay.ini", "[relay]\nlisten=127.0.0.1:0\n" + (withAudit ? "audit=" + audit + "\n" : "")
                                          + "[panels]\nSN1=secret-1\n[users]\ntok=*\n");
        if (!relay.start({bench::program("TALVO_RELAY_BIN", TALVO_RELAY_BIN), "--config", dir + "/relay.ini"},
                         dir + "/relay.log")
            || !relay.waitFor("fingerprint ", 10))
            return false;
        const std::string log = readFile(relay.log);
        std::smatch m;
        if (!std::regex_search(log, m, std::regex("listening on 127\\.0\\.0\\.1:(\\d+)")))
            return false;
        port = uint16_t(std::stoi(m[1]));
        if (!std::regex_search(log, m, std::regex("fingerprint ([0-9a-f]{64})")))
            return false;
        fingerprint = m[1];
        writeFile(dir + "/panel.ini", "[panel]\nsn=SN1\nsecret=secret-1\nrelay=127.0.0.1:" + std::to_string(port)
                                          + "\nfingerprint=" + fingerprint + "\n[targets]\n" + kEcho + "=127.0.0.1:"
                                          + std::to_string(echoPort) + "\n" + kSink + "=127.0.0.1:"
                                          + std::to_string(sinkPort) + "\n");
        if (!agent.start({bench::program("TALVO_PANEL_BIN", TALVO_PANEL_BIN), "--config", dir + "/panel.ini"},
                         dir + "/panel.log")
            || !agent.waitFor("registered at", 10))
            return false;
        link = pc.await<bench::PcLink::Ptr>(
                     [&](std::function<void(bench::PcLink::Ptr)> done) {
                         bench::PcLink::connect(pc.io, bench::loopback(port), fingerprint, "tok", 10s,
                                                [done](const std::error_code &, bench::PcLink::Ptr l) { done(l); });
                     },
                     15)
                   .value_or(nullptr);
        return link != nullptr;
    }
};

struct ShortResult
{
    int ok = 0, errors = 0;
    double seconds = 0;
    std::string failures;
};

// `total` streams, kAtOnce at a time: open, 64 bytes echoed and checked, close.
struct ShortRun : std::enable_shared_from_this<ShortRun>
{
    bench::PcLink::Ptr link;
    bool closeAtOnce = false;
    int total = 0, started = 0, finished = 0, ok = 0;
    Clock::time_point t0;
    std::map<std::string, int> failures;
    std::function<void(ShortResult)> done;
    const std::string pattern = std::string(64, 'e');

    void start()
    {
        t0 = Clock::now();
        for (int i = 0; i < kAtOnce; ++i)
            next();
    }
    void next()
    {
        if (started == total)
            return;
        ++started;
        auto self = shared_from_this();
        link->open("SN1", kEcho, [self](const std::error_code &ec, wire::TlsStream::Ptr s) {
            if (ec)
                return self->end(ec.message());
            auto in = std::make_shared<std::string>(self->pattern.size(), '\0');
            s->writeAll(asio::buffer(self->pattern), [](const std::error_code &, std::size_t) {});
            readExactly(s, asio::buffer(*in), [self, s, in](const std::error_code &ec) {
                if (ec || *in != self->pattern) {
                    s->abort();
                    return self->end(ec ? ec.message() : "echo differs");
                }
                s->shutdownSend();
                if (self->closeAtOnce) {
                    s->close();
                    return self->end("");
                }
                drain(s, [self](const std::error_code &ec) { self->end(ec ? "end: " + ec.message() : ""); });
            });
        });
    }
    void end(const std::string &why)
    {
        ++finished;
        if (why.empty())
            ++ok;
        else
            ++failures[why];
        if (finished < total)
            return next();
        ShortResult r;
        r.ok = ok;
        r.errors = total - ok;
        r.seconds = secondsSince(t0);
        for (const auto &[text, n] : failures)
            r.failures += (r.failures.empty() ? "" : ", ") + std::to_string(n) + " x " + text;
        done(r);
    }
};

struct BulkResult
{
    double bytes = 0, seconds = 0;
    std::string error;
};

// One stream to the sink: written for `seconds`, half-closed, the sink's count read back.
struct BulkRun : std::enable_shared_from_this<BulkRun>
{
    wire::TlsStream::Ptr s;
    std::vector<char> chunk = std::vector<char>(256 * 1024, 'x');
    double seconds = 0;
    Clock::time_point t0;
    uint64_t count = 0;
    std::function<void(BulkResult)> done;

    void start(bench::PcLink::Ptr link)
    {
        auto self = shared_from_this();
        link->open("SN1", kSink, [self](const std::error_code &ec, wire::TlsStream::Ptr s) {
            if (ec)
                return self->done({0, 0, "stream refused: " + ec.message()});
            self->s = s;
            self->t0 = Clock::now();
            self->pump();
        });
    }
    void pump()
    {
        auto self = shared_from_this();
        s->writeAll(asio::buffer(chunk), [self](const std::error_code &ec, std::size_t) {
            if (ec)
                return self->done({0, 0, "write: " + ec.message()});
            if (secondsSince(self->t0) < self->seconds)
                return self->pump();
            self->s->shutdownSend();
            readExactly(self->s, asio::buffer(&self->count, sizeof self->count), [self](const std::error_code &ec) {
                if (ec) {
                    self->s->abort();
                    return self->done({0, 0, "count: " + ec.message()});
                }
                const BulkResult r {double(self->count), secondsSince(self->t0), ""};
                drain(self->s, [self, r](const std::error_code &ec) {
                    self->done(ec ? BulkResult {0, 0, "end: " + ec.message()} : r);
                });
            });
        });
    }
};

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// (max - min) / median: how far runs of one kind fall apart on this machine.
double spread(const std::vector<double> &v)
{
    const double m = median(v);
    return v.empty() || m <= 0 ? 0 : (*std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end())) / m;
}

std::string fmt(const char *format, double v)
{
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

std::string list(const std::vector<double> &v, const char *format)
{
    std::string text;
    for (double x : v)
        text += (text.empty() ? "" : " ") + fmt(format, x);
    return text;
}

std::size_t countIn(const std::string &text, const std::string &needle)
{
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    bool quick = false, control = false, closeAtOnce = false;
    int rounds = 0, streams = 500;
    bench::Arguments args;
    args.flag("--quick", &quick);
    args.flag("--control", &control);
    args.flag("--close-at-once", &closeAtOnce);
    args.number("--rounds", &rounds, 1, 20);
    args.number("--streams", &streams, kAtOnce, 5000);
    if (!args.parse(argc, argv,
                    "[--quick] [--rounds N (1..20; runs per side)] [--streams N (8..5000, default 500)] "
                    "[--control] [--close-at-once]"))
        return 2;
    if (!rounds)
        rounds = quick ? 6 : 10;
    const double bulkSeconds = quick ? 1.5 : 3;
    bench::prepareLoadProcess();
    const auto started = Clock::now();

    char tmpl[] = "/tmp/audit-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);

    asio::io_context serverIo;
    tcp::acceptor sinkAcceptor(serverIo), echoAcceptor(serverIo);
    const uint16_t sinkPort = bench::listenLoopback(sinkAcceptor), echoPort = bench::listenLoopback(echoAcceptor);
    std::thread([&] { bench::runSink(sinkAcceptor); }).detach();
    bench::startEcho(echoAcceptor);
    std::thread([&] { serverIo.run(); }).detach();

    bench::IoThread pc;
    Side off, on;
    off.name = "off";
    on.name = "on";
    if (!off.start(dir, false, echoPort, sinkPort, pc) || !on.start(dir, !control, echoPort, sinkPort, pc)) {
        std::printf("relays, agents or PC links did not start (see %s)\n", dir.c_str());
        std::fflush(stdout);
        for (Side *side : {&off, &on})
            side->agent.kill9(), side->relay.kill9();
        _exit(1);
    }
    // Under systemd (or a shell that kept its variables) each record goes to the journal too.
    const bool journal = std::getenv("JOURNAL_STREAM") || std::getenv("INVOCATION_ID");
    std::printf("audit trail on vs off: two relays with an agent each, %d runs per side, taking turns; %d short "
                "streams per run, %d at a time; bulk %.1f s per run; journal copy %s\n",
                rounds, streams, kAtOnce, bulkSeconds, journal ? "on (if built with libsystemd)" : "off");
    std::fflush(stdout);

    bool failed = false;
    auto shortRun = [&](Side &side) {
        const double relay0 = side.relayNs(), all0 = side.allNs();
        const auto r = pc.await<ShortResult>(
            [&](std::function<void(ShortResult)> done) {
                auto run = std::make_shared<ShortRun>();
                run->link = side.link;
                run->closeAtOnce = closeAtOnce;
                run->total = streams;
                run->done = std::move(done);
                run->start();
            },
            120);
        const double relayNs = side.relayNs(), allNs = side.allNs();
        if (!r || r->errors) {
            std::printf("  %s: %s\n", side.name.c_str(),
                        r ? (std::to_string(r->errors) + " streams failed: " + r->failures).c_str()
                          : "short streams did not finish in 120 s");
            failed = true;
            if (!r)
                return;
        }
        side.streamsOpened += r->ok;
        side.setups.push_back(r->ok / r->seconds);
        side.relayUs.push_back((relayNs - relay0) / std::max(1, r->ok) / 1e3);
        side.allUs.push_back((allNs - all0) / std::max(1, r->ok) / 1e3);
    };
    auto bulkRun = [&](Side &side) {
        const double relay0 = side.relayNs();
        const auto r = pc.await<BulkResult>(
            [&](std::function<void(BulkResult)> done) {
                auto run = std::make_shared<BulkRun>();
                run->seconds = bulkSeconds;
                run->done = std::move(done);
                run->start(side.link);
            },
            bulkSeconds + 30);
        if (!r || !r->error.empty() || r->seconds <= 0) {
            std::printf("  %s: bulk failed: %s\n", side.name.c_str(), r ? r->error.c_str() : "no answer in time");
            failed = true;
            return;
        }
        ++side.streamsOpened;
        side.bulk.push_back(r->bytes / r->seconds);
        side.relayPerGb.push_back((side.relayNs() - relay0) / 1e9 / (r->bytes / 1e9));
    };

    // Off/on, then on/off: a load that grows or fades over the run falls on both sides alike.
    for (int r = 0; r < rounds; ++r)
        for (Side *side : r % 2 ? std::array<Side *, 2>{&on, &off} : std::array<Side *, 2>{&off, &on})
            shortRun(*side);
    for (int r = 0; r < rounds; ++r)
        for (Side *side : r % 2 ? std::array<Side *, 2>{&on, &off} : std::array<Side *, 2>{&off, &on})
            bulkRun(*side);

    for (Side *side : {&off, &on})
        std::printf("  audit %-3s: set-ups/s %s; CPU per set-up, us, relay: %s, all: %s; bulk Gbit/s %s\n",
                    side->name.c_str(), list(side->setups, "%.0f").c_str(), list(side->relayUs, "%.0f").c_str(),
                    list(side->allUs, "%.0f").c_str(),
                    list([&] {
                        std::vector<double> g;
                        for (double b : side->bulk)
                            g.push_back(b * 8 / 1e9);
                        return g;
                    }(), "%.2f").c_str());

    // Each round's on/off pair ran back to back: their ratios show how much of the sides'
    // difference is the machine's load changing between rounds.
    auto paired = [](const std::vector<double> &a, const std::vector<double> &b) {
        std::vector<double> r;
        for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
            r.push_back(b[i] > 0 ? a[i] / b[i] : 0);
        return r;
    };
    std::printf("  on/off of each round: set-ups %s; CPU per set-up, relay %s, all %s; bulk %s\n",
                list(paired(on.setups, off.setups), "%.2f").c_str(), list(paired(on.relayUs, off.relayUs), "%.2f").c_str(),
                list(paired(on.allUs, off.allUs), "%.2f").c_str(),
                list(paired(on.bulk, off.bulk), "%.2f").c_str());

    // The trail: the relay stopped (it records what is still open), then checked as an
    // operator would, and its stream records counted against what went through.
    bool verified = true, counted = true;
    if (control) {
        std::printf("check: control run, neither relay keeps a trail\n");
    } else {
        const bool stopped = on.relay.stop(10);
        Child verify;
        verified = false;
        std::string verdict;
        if (verify.start({bench::program("TALVO_RELAY_BIN", TALVO_RELAY_BIN), "--verify-audit", on.audit},
                         dir + "/verify.out")) {
            int status = -1;
            const auto t = Clock::now();
            while (secondsSince(t) < 30 && waitpid(verify.pid, &status, WNOHANG) == 0)
                std::this_thread::sleep_for(5ms);
            verify.pid = -1;
            verified = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            verdict = readFile(dir + "/verify.out");
            while (!verdict.empty() && verdict.back() == '\n')
                verdict.pop_back();
        }
        const std::string trail = readFile(on.audit);
        const std::size_t opens = countIn(trail, "\"event\":\"stream.open\""),
                          ends = countIn(trail, "\"event\":\"stream.end\"");
        counted = opens == std::size_t(on.streamsOpened) && ends == opens;
        std::string causes;
        for (const char *cause : {"pc-closed", "target-closed", "aborted", "revoked", "relay-stopped"})
            if (const std::size_t n = countIn(trail, std::string("\"cause\":\"") + cause + "\""))
                causes += (causes.empty() ? "" : ", ") + std::to_string(n) + " " + cause;
        std::printf("check: audit trail %s: talvo-relay --verify-audit says \"%s\" (exit %s)%s; %zu stream.open and %zu "
                    "stream.end records (%s) for %d streams opened through that relay%s\n",
                    on.audit.c_str(), verdict.c_str(), verified ? "0" : "not 0",
                    stopped ? "" : " (the relay did not stop on SIGTERM)", opens, ends, causes.c_str(),
                    on.streamsOpened, counted ? "" : ": MISMATCH");
    }

    const double setupsOn = median(on.setups), setupsOff = median(off.setups);
    const double setupRatio = setupsOff > 0 ? setupsOn / setupsOff : 0;
    const double relayOn = median(on.relayUs), relayOff = median(off.relayUs);
    const double allOff = median(off.allUs);
    const double bulkOn = median(on.bulk), bulkOff = median(off.bulk);
    const double bulkRatio = bulkOff > 0 ? bulkOn / bulkOff : 0;
    const double bulkSpread = spread(off.bulk);

    std::printf("\n| figure | value | baseline | ratio | target | met |\n|---|---|---|---|---|---|\n");
    auto row = [](const std::string &figure, const std::string &value, const std::string &base,
                  const std::string &ratio, const std::string &target, bool met) {
        std::printf("| %s | %s | %s | %s | %s | %s |\n", figure.c_str(), value.c_str(), base.c_str(), ratio.c_str(),
                    target.c_str(), met ? "yes" : "no");
    };
    const std::string of = " (median of " + std::to_string(rounds) + " runs each)";
    row("stream set-ups per second, audit on vs off, " + std::to_string(streams) + " short streams " +
            std::to_string(kAtOnce) + " at a time" + of,
        fmt("%.0f /s", setupsOn), fmt("%.0f /s", setupsOff), fmt("%.3f", setupRatio), ">= 0.95", setupRatio >= 0.95);
    row("spread of the audit-off set-up runs, (max-min)/median", fmt("%.1f %%", 100 * spread(off.setups)), "-", "-",
        "- (noise)", true);
    row("relay CPU per stream set-up, audit on vs off", fmt("%.0f us", relayOn), fmt("%.0f us", relayOff),
        fmt("%.2f", relayOff > 0 ? relayOn / relayOff : 0), "-", true);
    // The trail is written by the relay alone: its extra CPU over all the CPU a set-up takes is
    // what the trail costs set-ups per second wherever the CPU is what they wait for.
    const double share = allOff > 0 ? (relayOn - relayOff) / allOff : 0;
    row("the relay's extra CPU per set-up with the audit on, share of all CPU per set-up (relay, agent, PC side; "
        "baseline: that, audit off)",
        fmt("%.1f %%", 100 * share), fmt("%.0f us", allOff), "-", "<= 5 %", share <= 0.05);
    row("bulk, one stream, audit on vs off" + of, fmt("%.2f Gbit/s", bulkOn * 8 / 1e9),
        fmt("%.2f Gbit/s", bulkOff * 8 / 1e9), fmt("%.3f", bulkRatio), "ratio within the off runs' spread",
        bulkRatio >= 1 - bulkSpread);
    row("spread of the audit-off bulk runs, (max-min)/median", fmt("%.1f %%", 100 * bulkSpread), "-", "-",
        "- (noise)", true);
    const double gbOn = median(on.relayPerGb), gbOff = median(off.relayPerGb);
    row("relay CPU per GB of bulk, audit on vs off", fmt("%.3f s", gbOn), fmt("%.3f s", gbOff),
        fmt("%.2f", gbOff > 0 ? gbOn / gbOff : 0), "-", true);
    std::printf("\n(%.0f s in all; %u cores, shared by the relays, agents and this program)\n", secondsSince(started),
                std::thread::hardware_concurrency());
    std::fflush(stdout);
    failed = failed || !verified || !counted;
    for (Side *side : {&off, &on})
        side->agent.kill9(), side->relay.kill9();
    _exit(failed ? 1 : 0); // the sink and echo threads block in accept: no destructors to wait for
}
