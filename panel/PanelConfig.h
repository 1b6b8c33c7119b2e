#pragma once

#include "panel/TargetMap.h"
#include "wire/Address.h"

#include <string>
#include <vector>

namespace panel {

struct PanelConfig
{
    std::string sn;
    std::string secret;
    std::vector<wire::HostPort> relays; // relay=HOST:PORT[,HOST:PORT...], tried in order; never empty
    std::string fingerprint; // normalised hex
    TargetMap targets;
    std::size_t threads = 0; // I/O threads; 0: one per core
    // Where the agent keeps its key pair: state=DIR, else systemd's $STATE_DIRECTORY, else
    // the config file's folder. Ends with '/' unless empty (the working directory).
    std::string stateDir;

    std::string keyPath() const { return stateDir + "panel.key"; }
    std::string certificatePath() const { return stateDir + "panel.crt"; }

    bool load(const std::string &path, std::string *error);
};

} // namespace panel
