#include "wire/Daemon.h"

#include "wire/Log.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

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

void prepareProcess(const char *name)
{
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

void runUntilSignalled(asio::io_context &io)
{
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&io](const std::error_code &, int) { io.stop(); });
    io.run();
}

} // namespace wire
