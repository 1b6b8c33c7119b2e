#include "panel/EthernetSide.h"
#include "panel/PanelAgent.h"
#include "panel/PassThroughService.h"
#include "panel/SerialSide.h"
#include "wire/Daemon.h"
#include "wire/HeapTrim.h"
#include "wire/Log.h"

#include <cstdio>

namespace {

const char *const kHelp =
    "Usage: talvo-panel --config FILE\n"
    "\n"
    "Panel agent of the Talvo-HMI tunnel. Registers the panel at the relay by serial number\n"
    "and opens each stream a PC asks for to its target as seen from the panel. A stream's\n"
    "TLS runs between the PC and this agent; the relay passes it on unread.\n"
    "\n"
    "FILE (INI):\n"
    "  [panel]\n"
    "  sn=SN                     the panel's serial number\n"
    "  secret=SECRET             as listed for this SN in the relay's [panels]\n"
    "  relay=HOST:PORT[,...]     the relay, or the relays of a cluster: one link at a time,\n"
    "                            the next of the list when it is lost\n"
    "  fingerprint=HEX           SHA-256 of the relay certificate (printed by talvo-relay)\n"
    "  resolve-names=no          yes: host names a PC sends match '*' hosts in [targets]\n"
    "                            (the panel resolves them); by default only rules that\n"
    "                            name a host reach it by name\n"
    "  threads=N                 I/O threads for streams (default: one per core)\n"
    "  state=DIR                 where the agent keeps the key pair it makes at its first\n"
    "                            start, panel.key and panel.crt (default: $STATE_DIRECTORY\n"
    "                            under systemd, else the folder of FILE)\n"
    "  [targets]\n"
    "  PANEL-VIEW=ACTUAL         e.g. 127.0.0.1:7530=127.0.0.1:5900; only listed targets are\n"
    "                            reachable; '*' as host or port means any (left) or as\n"
    "                            requested (right), e.g. *:502=*:502; such a '*' never\n"
    "                            reaches the panel's loopback or link-local addresses\n"
    "                            unless a line names them\n"
    "  [passthrough]             the pass-through service at 127.0.0.1:7540\n"
    "  announce-mac=MAC          MAC the panel announces for its Ethernet port\n"
    "  announce-ip=IP            IPv4 address it announces\n"
    "  ethernet=INTERFACE        the panel's Ethernet port: frames from the PC are injected\n"
    "                            there, frames to the announced MAC, broadcasts and multicasts\n"
    "                            go back (needs CAP_NET_RAW); announce-mac/-ip default to the\n"
    "                            interface's own; better give it no address and set both\n"
    "  COM1=DEVICE               serial device behind the panel's port COM1 (COM2 ...)\n"
    "  COM1.baud=9600            its line: baud rate (a standard rate, 50 to 4000000),\n"
    "  COM1.parity=none          none, even or odd,\n"
    "  COM1.data=8               data bits 5 to 8,\n"
    "  COM1.stop=1               stop bits 1 or 2 (default 9600 8N1, no flow control)\n"
    "\n"
    "Prints its key's SHA-256 fingerprint at start (the relay tells PCs to expect it), then\n"
    "one line per registration, stream and refusal.\n";

} // namespace

int main(int argc, char **argv)
{
    std::string configPath;
    if (const int code = wire::parseConfigArgument(argc, argv, "talvo-panel", kHelp, &configPath); code >= 0)
        return code;
    wire::prepareProcess("talvo-panel", argv);

    panel::PanelConfig config;
    std::string error;
    if (!config.load(configPath, &error)) {
        std::fprintf(stderr, "talvo-panel: %s\n", error.c_str());
        return 1;
    }
    panel::PassThroughConfig passThrough;
    if (!passThrough.load(configPath, &error)) {
        std::fprintf(stderr, "talvo-panel: %s\n", error.c_str());
        return 1;
    }
    passThrough.openSerial = panel::serialOpener(passThrough);
    if (!passThrough.ethernet.empty())
        passThrough.openEthernet = panel::ethernetOpener(passThrough.announceMac, passThrough.announceIp);
    wire::IoPool pool(config.threads);
    panel::PanelAgent agent(pool, config);
    agent.setPassThroughService(std::make_shared<panel::PassThroughService>(pool.main(), std::move(passThrough)));
    if (!agent.start(&error)) {
        std::fprintf(stderr, "talvo-panel: %s\n", error.c_str());
        return 1;
    }
    if (agent.createdKey())
        wire::logLine("created " + config.keyPath() + " and " + config.certificatePath());
    wire::logLine("key fingerprint " + agent.keyFingerprint());
    wire::startHeapTrim(pool.main());
    wire::runUntilSignalled(pool);
    return 0;
}
