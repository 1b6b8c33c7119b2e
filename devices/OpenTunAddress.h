#ifndef TALVO_OPENTUNADDRESS_H
#define TALVO_OPENTUNADDRESS_H

/* Strict dotted-decimal IPv4 parsing for OpenTun on both platforms: a text that is not an
   address is refused, rather than passed on as 255.255.255.255 the way inet_addr does. */

#include <stdint.h>

/* Host byte order in *out. Four decimal numbers 0..255, 1 to 3 digits each, nothing else. */
static inline int openTunParseIpv4(const char *text, uint32_t *out)
{
    if (!text || !out)
        return 0;
    uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*text != '.')
                return 0;
            ++text;
        }
        int digits = 0;
        uint32_t octet = 0;
        while (*text >= '0' && *text <= '9' && digits < 4) {
            octet = octet * 10 + (uint32_t)(*text - '0');
            ++text;
            ++digits;
        }
        if (digits == 0 || digits > 3 || octet > 255)
            return 0;
        value = (value << 8) | octet;
    }
    if (*text != '\0')
        return 0;
    *out = value;
    return 1;
}

/* The network the device's address belongs to. */
static inline uint32_t openTunNetwork(uint32_t address, uint32_t netmask)
{
    return address & netmask;
}

#endif
