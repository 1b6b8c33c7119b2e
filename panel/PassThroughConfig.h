#pragma once

#include "panel/PortSide.h"

#include <map>
#include <string>

namespace panel {

// Line settings of one serial port ([passthrough] COM1.baud=, .parity=, .data=, .stop=).
struct SerialLine
{
    unsigned baud = 9600;
    char parity = 'N'; // 'N', 'E' or 'O'
    unsigned dataBits = 8;
    unsigned stopBits = 1;

    // Takes one setting by its key ("baud", "parity", "data", "stop"); false with the reason
    // for an unknown key or a value the serial driver cannot take.
    bool set(const std::string &key, const std::string &value, std::string *why);
    std::string text() const; // "9600 8N1"
};

// The [passthrough] section of the agent's configuration: what the panel announces for its
// Ethernet port and which devices stand behind its serial port names.
struct PassThroughConfig
{
    std::string ethernet;     // Ethernet port name the PC asks for ("eth0"), and its interface
    std::string announceMac;  // "00:11:22:33:44:55"
    std::string announceIp;   // "192.168.1.10"
    std::map<std::string, std::string> serialPorts; // "COM1" -> "/dev/ttyUSB0"
    std::map<std::string, SerialLine> serialLines;  // ports with settings other than 9600 8N1

    // Opens the device behind a serial port name ("COM1") or the Ethernet interface; null
    // with the reason when it cannot. Unset: the port is refused.
    using OpenSide = std::function<PortSidePtr(asio::io_context &io, const std::string &port,
                                               PortSideEvents events, std::string *error)>;
    OpenSide openSerial;
    OpenSide openEthernet;

    // Reads [passthrough] of the INI file at path. A missing section leaves everything empty
    // (the service then refuses every port). announce-mac/-ip default to the address of the
    // interface named by ethernet=. False with a message on a malformed value.
    bool load(const std::string &path, std::string *error);
};

} // namespace panel
