#pragma once

#include <asio.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace panel {

// The device behind one of the panel's ports (a serial port, or the Ethernet interface),
// opened for one pass-through session. Lives on the agent's io thread.
class PortSide
{
public:
    virtual ~PortSide() = default;
    // Bytes (serial) or one whole frame (Ethernet) from the PC to the device.
    virtual void send(const std::string &bytes) = 0;
    // Several whole frames (Ethernet) at once, in order: a side that can hands them to its
    // device in one go rather than one system call each.
    virtual void sendFrames(const std::vector<const std::string *> &frames)
    {
        for (const std::string *frame : frames)
            send(*frame);
    }
    // Ends the side; no callback runs afterwards.
    virtual void close() = 0;
};

using PortSidePtr = std::shared_ptr<PortSide>;

// What a side hands back to its session: bytes (serial) or one whole frame (Ethernet)
// from the device for the PC, and a line for the log when something goes wrong or right
// (a vanished USB adapter, its return).
struct PortSideEvents
{
    std::function<void(std::string bytes)> toPc;
    std::function<void(const std::string &line)> report;
    // Bytes handed to toPc and not yet written to the PC (unset: unknown), so that a side
    // can drop instead of queueing without bound when the PC reads slowly.
    std::function<std::size_t()> pcBacklog;
};

} // namespace panel
