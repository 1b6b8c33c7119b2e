#include "tunnel/TunnelClients.h"

TunnelClientFactory defaultTunnelClients()
{
    // Releasing a client neither stops the tunnel nor removes forwardings: those live in
    // the library.
    return [] { return std::make_unique<VNCTunnelConnect>(); };
}
