#pragma once

#include "wire/Stream.h"

namespace panel {

// A service the agent hosts itself instead of connecting to a TCP target. The pass-through
// service (serial and Ethernet side of the tunnel framing) answers at panel-view
// 127.0.0.1:7540 this way unless [targets] maps that address elsewhere.
class InProcessService
{
public:
    virtual ~InProcessService() = default;
    // Takes over a stream that is already spliced to the PC through the relay. Called on
    // the agent's io thread; the service must not block it.
    virtual void serve(wire::StreamPtr stream) = 0;
};

} // namespace panel
