#include "relay/ClusterStatus.h"

#include "relay/RedisRegistry.h"
#include "relay/RelayConfig.h"

#include <cstdio>
#include <cstring>

namespace relay {

bool takeStatusFlag(int *argc, char **argv)
{
    bool found = false;
    int out = 1;
    for (int i = 1; i < *argc; ++i) {
        if (!std::strcmp(argv[i], "--status"))
            found = true;
        else
            argv[out++] = argv[i];
    }
    *argc = out;
    argv[out] = nullptr;
    return found;
}

int printClusterStatus(const std::string &configPath)
{
    RelayConfig config;
    std::string error, text;
    if (!config.load(configPath, &error)) {
        std::fprintf(stderr, "talvo-relay: %s\n", error.c_str());
        return 1;
    }
    if (!config.cluster.enabled) {
        std::fprintf(stderr, "talvo-relay: %s has no [cluster] section: this relay runs alone\n", configPath.c_str());
        return 1;
    }
    if (!RedisRegistry::listCluster(config.cluster, &text, &error)) {
        std::fprintf(stderr, "talvo-relay: %s\n", error.c_str());
        return 1;
    }
    std::fputs(text.c_str(), stdout);
    return 0;
}

} // namespace relay
