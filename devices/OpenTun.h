#ifndef TALVO_OPENTUN_H
#define TALVO_OPENTUN_H

/* The TAP device, opened in routed (TUN) mode for callers outside the tool. Plain C, so
   any program can use it from the executable's exports. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TapDevice
{
    /* The open device: the Windows device handle, or the Linux file descriptor. 0 while
       the device is not open. */
    intptr_t handle;
    /* The MTU the system reports for the device after opening. */
    unsigned short mtu;
} TapDevice;

/* Opens the device and configures it with the three dotted-decimal IPv4 texts: the
   device's address, the netmask and the DHCP server address. Returns the one process-wide
   record, also when it was already open (nothing is reconfigured then); null on failure,
   among others when a text is not a valid address. Not to be called concurrently. */
#if defined(_WIN32)
__declspec(dllexport)
#else
__attribute__((visibility("default")))
#endif
TapDevice *OpenTun(const char *address, const char *netmask, const char *dhcpServer);

#ifdef __cplusplus
}
#endif

#endif
