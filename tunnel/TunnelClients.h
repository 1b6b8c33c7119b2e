#pragma once

#include "tunnel/VNCTunnelConnect.h"

#include <functional>
#include <memory>

// Every request makes a tunnel client of its own; the window and the engine take them from
// here so that tests can hand in clients that answer as they are told.
using TunnelClientFactory = std::function<std::unique_ptr<VNCTunnelConnect>()>;

TunnelClientFactory defaultTunnelClients();
