#include "bridge/RelayRule.h"

#include <cstring>

bool RelayRule::passes(const unsigned char *frame, int len, const std::array<quint8, 6> &panelMac)
{
    if (!frame || len < kHeaderBytes)
        return false;
    if (std::memcmp(frame, panelMac.data(), 6) == 0)
        return false;
    if (std::memcmp(frame + 6, panelMac.data(), 6) == 0)
        return true;
    const int etherType = (frame[12] << 8) | frame[13];
    return etherType != 0x0806 && etherType != 0x8035 && etherType != 0x0800;
}
