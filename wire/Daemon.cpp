#include "wire/Daemon.h"

#include "wire/Log.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace wire {

int parseConfigArgument(int argc, char **argv, const char *name, const char *help, std::string *configPath)
{
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(help, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--config") && i + 1 < argc) {
            *configPath = argv[++i];
            continue;
        }
        std::fprintf(stderr, "%s: unknown argument %s (try --help)\n", name, argv[i]);
        return 2;
    }
    if (configPath->empty()) {
        std::fprintf(stderr, "%s: --config FILE is required (try --help)\n", name);
        return 2;
    }
    return -1;
}

namespace {

// glibc's per-thread cache keeps up to seven freed chunks of each small size out of the
// heap's reach; after a burst of streams those few hundred chunks lie scattered over as
// many pages, and malloc_trim cannot return a page that holds one (1.5 to 2 MB stayed per
// process, 20 % of an idle relay). The cache can only be switched off before the process
// starts, through GLIBC_TUNABLES, so the daemon sets it and executes itself again. The
// marker stops a second round where the variable is ignored (a privileged binary).
// One arena for all I/O threads, too: with one each, a burst's leftovers lay scattered
// over two heaps and the relay kept up to a fifth more after it; the arena's lock is taken
// on every malloc anyway (no cache), and costs nothing measurable next to the TLS work.
void disableMallocThreadCache(char **argv)
{
#if defined(__GLIBC__)
    static const char kSetting[] = "glibc.malloc.tcache_count=0:glibc.malloc.arena_max=1";
    static const char kMarker[] = "TALVO_MALLOC_SET";
    const char *tunables = std::getenv("GLIBC_TUNABLES");
    if (std::getenv(kMarker) || (tunables && std::strstr(tunables, "glibc.malloc.tcache_count")))
        return;
    std::string value = tunables && *tunables ? std::string(tunables) + ":" + kSetting : std::string(kSetting);
    setenv("GLIBC_TUNABLES", value.c_str(), 1);
    setenv(kMarker, "1", 1);
    execv("/proc/self/exe", argv);
    // Not fatal: the process only keeps a little more memory after bursts.
    unsetenv(kMarker);
#else
    (void)argv;
#endif
}

} // namespace

void prepareProcess(const char *name, char **argv)
{
    disableMallocThreadCache(argv);
    std::signal(SIGPIPE, SIG_IGN);
    // One stream holds two descriptors; the default soft limit of 1024 would cap a relay
    // or an agent near 500 streams.
    rlimit rl {};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    setLogName(name);
}

void runUntilSignalled(IoPool &pool, std::function<void()> onHangup, std::function<void()> beforeStop)
{
    // Asio turns a signal into a handler on this context, whichever thread it interrupted.
    asio::signal_set signals(pool.main(), SIGINT, SIGTERM, SIGHUP);
    std::function<void()> wait = [&] {
        signals.async_wait([&](const std::error_code &ec, int signal) {
            if (ec)
                return;
            if (signal == SIGHUP) {
                if (onHangup)
                    onHangup();
                return wait();
            }
            if (beforeStop)
                beforeStop();
            pool.stop();
        });
    };
    wait();
    pool.run();
}

} // namespace wire
