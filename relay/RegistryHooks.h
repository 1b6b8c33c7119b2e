#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace relay {

// What the panel registry tells the rest of the relay (metrics, the cluster registry).
// Called on whichever io thread the event happened; each hook must be thread-safe.
struct RegistryHooks
{
    // An SN came online here, or went (not called when a registration replaces another).
    std::function<void(const std::string &sn, bool online)> presence;
    std::function<void()> streamOpened;
    std::function<void()> streamClosed;
    // Bytes passed on by an open stream (up: PC to panel).
    std::function<void(bool up, std::size_t bytes)> streamBytes;
};

} // namespace relay
