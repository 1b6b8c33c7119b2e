#include "bridge/BridgeAdapter.h"

#include "bridge/LinuxVethAdapter.h"

std::unique_ptr<BridgeAdapter> BridgeAdapter::create()
{
    return std::make_unique<LinuxVethAdapter>();
}
