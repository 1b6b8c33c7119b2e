#pragma once

#include <QByteArray>

#include <array>

// Which captured frames the bridge carries to the panel. The adapter carries the panel's
// MAC, so everything the PC's own stack sends has it as source and goes; frames addressed
// to it never go back. Of other stations' frames, ARP, RARP and IPv4 stay local (they
// concern this PC's side); any other protocol goes.
class RelayRule
{
public:
    static constexpr int kHeaderBytes = 14;

    // False for frames too short to hold an Ethernet header.
    static bool passes(const unsigned char *frame, int len, const std::array<quint8, 6> &panelMac);
};
