#include "relay/Relay.h"
#include "wire/Log.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

namespace {

const char *const kHelp =
    "Usage: talvo-relay --config FILE\n"
    "\n"
    "Rendezvous server of the Talvo-HMI tunnel. Panel agents and PC tunnel libraries dial\n"
    "out to it over TLS; it checks panel secrets and user tokens and splices each stream.\n"
    "\n"
    "FILE (INI):\n"
    "  [relay]\n"
    "  listen=HOST:PORT          address to listen on (port 0: any free port)\n"
    "  key=relay.key             private key, PEM; created with the certificate when both\n"
    "  certificate=relay.crt     are missing (paths relative to FILE's folder)\n"
    "  [panels]\n"
    "  SN=SECRET                 one line per panel\n"
    "  [users]\n"
    "  TOKEN=PATTERN,PATTERN     SNs the token may reach, '*' matches any characters\n"
    "\n"
    "Prints the listening address and the certificate's SHA-256 fingerprint at start,\n"
    "then one line per registration, stream and refusal.\n";

void raiseDescriptorLimit()
{
    // One stream holds two descriptors here; the default soft limit of 1024 would cap us
    // near 500 streams.
    rlimit rl {};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::string configPath;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--config") && i + 1 < argc) {
            configPath = argv[++i];
            continue;
        }
        std::fprintf(stderr, "talvo-relay: unknown argument %s (try --help)\n", argv[i]);
        return 2;
    }
    if (configPath.empty()) {
        std::fputs("talvo-relay: --config FILE is required (try --help)\n", stderr);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    wire::setLogName("talvo-relay");

    relay::RelayConfig config;
    std::string error;
    if (!config.load(configPath, &error)) {
        std::fprintf(stderr, "talvo-relay: %s\n", error.c_str());
        return 1;
    }
    asio::io_context io(1);
    relay::Relay server(io, config);
    if (!server.start(&error)) {
        std::fprintf(stderr, "talvo-relay: %s\n", error.c_str());
        return 1;
    }
    if (server.createdCertificate())
        wire::logLine("created " + config.keyPath + " and " + config.certificatePath);
    wire::logLine("listening on " + config.listen.host + ":" + std::to_string(server.port()));
    wire::logLine("fingerprint " + server.fingerprint());
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&io](const std::error_code &, int) { io.stop(); });
    io.run();
    return 0;
}
