#include "relay/Audit.h"
#include "relay/ClusterStatus.h"
#include "relay/Relay.h"
#include "wire/Daemon.h"
#include "wire/HeapTrim.h"
#include "wire/Log.h"

#include <cstdio>
#include <cctype>
#include <cstring>

namespace {

const char *const kHelp =
    "Usage: talvo-relay --config FILE\n"
    "       talvo-relay --status --config FILE   the cluster's panels and their relays\n"
    "       talvo-relay --hash-token             reads a token on standard input and prints\n"
    "                                            its SHA-256, for token_sha256=\n"
    "       talvo-relay --verify-audit [--after HASH] FILE...\n"
    "                                            checks an audit trail's chain through its\n"
    "                                            files, oldest first (- is standard input)\n"
    "\n"
    "Rendezvous server of the Talvo-HMI tunnel. Panel agents and PC tunnel libraries dial\n"
    "out to it; it checks panel secrets and user tokens, authorises each stream, and passes\n"
    "the stream's bytes, TLS between the PC and the panel's agent, without reading them.\n"
    "\n"
    "FILE (INI):\n"
    "  [relay]\n"
    "  listen=HOST:PORT          address to listen on (port 0: any free port)\n"
    "  key=relay.key             private key, PEM, relative to FILE's folder\n"
    "  certificate=relay.crt     certificate, PEM; both are created when both are missing\n"
    "  max_connections=10000     connections at once, counted from accept; more are closed\n"
    "                            before any TLS work (each stream takes two)\n"
    "  max_per_source=1000       of these from one IP address (mind NAT: panels and PCs\n"
    "                            behind one router share it; other relays of the cluster\n"
    "                            do not count)\n"
    "  handshake_timeout_ms=10000  for TLS and the request, and for a PC to join a stream\n"
    "                            the relay granted\n"
    "  threads=N                 I/O threads (default: one per core); each connection stays\n"
    "                            on one, and both halves of a stream share it\n"
    "  metrics=127.0.0.1:9310    Prometheus text at /metrics and /health over HTTP\n"
    "  audit=FILE                the audit trail: one JSON record per line and event\n"
    "                            (logins, streams, panels, reloads), each chained to the\n"
    "                            one before by its SHA-256\n"
    "  [cluster]                 optional: relays that act as one, through Redis\n"
    "  redis=HOST:PORT           the registry, or\n"
    "  sentinel=HOST:PORT,...    Redis Sentinels, with master=NAME\n"
    "  id=NAME                   unique per relay\n"
    "  peer=HOST:PORT            where the other relays reach this one (its listen port)\n"
    "  expiry_ms=10000           how long a lost relay's panels stay in the registry\n"
    "  [panels]\n"
    "  SN=SECRET                 one line per panel\n"
    "  SN=sha256:HEX             or the SHA-256 of the secret (as --hash-token prints it)\n"
    "  [user NAME]               one section per PC user; NAME: 1-64 of A-Z a-z 0-9 . _ -\n"
    "  token=TOKEN               the user's token, or\n"
    "  token_sha256=HEX          its SHA-256, so that the file does not hold the token\n"
    "  panels=PATTERN,PATTERN    SNs the user may reach, '*' matches any characters\n"
    "  [users]\n"
    "  TOKEN=PATTERN,PATTERN     the older form: one line per user, named users:LINE\n"
    "\n"
    "Prints the listening address and the certificate's SHA-256 fingerprint at start,\n"
    "then one line per registration, stream and refusal.\n"
    "\n"
    "SIGHUP (systemctl reload talvo-relay) reads FILE again: users, panels and their secrets\n"
    "change without dropping what they still allow, what they no longer allow ends at once,\n"
    "and the audit file is reopened. A file with an error changes nothing.\n";

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && !std::strcmp(argv[1], "--hash-token"))
        return relay::hashTokenCommand(stdin, stdout, stderr);
    if (argc >= 2 && !std::strcmp(argv[1], "--verify-audit")) {
        std::vector<std::string> files;
        std::string after, report;
        for (int i = 2; i < argc; ++i) {
            if (!std::strcmp(argv[i], "--after") && i + 1 < argc && files.empty()) {
                relay::Sha256 ignored;
                after = argv[++i];
                if (!relay::parseSha256Hex(after, &ignored)) {
                    std::fprintf(stderr, "talvo-relay: --after takes a SHA-256 (64 hex digits)\n");
                    return 2;
                }
                for (auto &c : after)
                    c = char(std::tolower((unsigned char)c));
            } else {
                files.push_back(argv[i]);
            }
        }
        if (files.empty()) {
            std::fprintf(stderr, "talvo-relay: --verify-audit needs the trail's files, oldest first\n");
            return 2;
        }
        const int code = relay::verifyAuditFiles(files, after, &report);
        std::fputs(report.c_str(), code == 0 ? stdout : stderr);
        return code;
    }
    std::string configPath;
    const bool status = relay::takeStatusFlag(&argc, argv);
    if (const int code = wire::parseConfigArgument(argc, argv, "talvo-relay", kHelp, &configPath); code >= 0)
        return code;
    if (status)
        return relay::printClusterStatus(configPath);
    wire::prepareProcess("talvo-relay", argv);

    relay::RelayConfig config;
    std::string error;
    if (!config.load(configPath, &error)) {
        std::fprintf(stderr, "talvo-relay: %s\n", error.c_str());
        return 1;
    }
    // Opened before anything listens: a relay that cannot keep its trail does not start.
    relay::AuditTrail audit;
    if (!config.auditPath.empty()) {
        relay::AuditTrail::Options options;
        if (config.cluster.enabled)
            options.relayId = config.cluster.id;
        if (!audit.open(config.auditPath, options, &error)) {
            std::fprintf(stderr, "talvo-relay: %s\n", error.c_str());
            return 1;
        }
    }
    wire::IoPool pool(config.threads);
    relay::Relay server(pool, config, audit);
    if (!server.start(&error)) {
        std::fprintf(stderr, "talvo-relay: %s\n", error.c_str());
        return 1;
    }
    if (server.createdCertificate())
        wire::logLine("created " + config.keyPath + " and " + config.certificatePath);
    wire::logLine("listening on " + config.listen.host + ":" + std::to_string(server.port()));
    wire::logLine("fingerprint " + server.fingerprint());
    wire::logLine(std::to_string(pool.size()) + " I/O threads");
    wire::startHeapTrim(pool.main());
    wire::runUntilSignalled(
        pool, [&] { server.reload(configPath); }, [&] { server.stopping(); });
    return 0;
}
