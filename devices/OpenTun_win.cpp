// Plain Win32 (no Qt), so it can be compile-checked with a cross compiler on its own.
#include "devices/OpenTun.h"
#include "devices/OpenTunAddress.h"

#include <windows.h>
#include <iphlpapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {
// The TAP-Windows driver's published control codes.
const DWORD kTapIoctlGetMtu = 0x22000C;
const DWORD kTapIoctlSetMediaStatus = 0x220018;
const DWORD kTapIoctlConfigDhcpMasq = 0x22001C;
const DWORD kTapIoctlConfigTun = 0x220028;
const ULONG kDhcpLeaseSeconds = 50000;

TapDevice g_device = {0, 0};

// The addresses go to the driver in network byte order; Windows is little-endian.
ULONG networkOrder(uint32_t hostOrder)
{
    return ((hostOrder >> 24) & 0xFFu) | ((hostOrder >> 8) & 0xFF00u) | ((hostOrder << 8) & 0xFF0000u)
        | ((hostOrder << 24) & 0xFF000000u);
}

// The adapter name (its GUID in braces) of the first adapter whose description begins
// with prefix. 0 when found, -1 otherwise.
int findAdapter(const char *prefix, char *name, size_t size)
{
    ULONG needed = 0;
    if (GetAdaptersInfo(NULL, &needed) != ERROR_BUFFER_OVERFLOW)
        return -1;
    IP_ADAPTER_INFO *list = static_cast<IP_ADAPTER_INFO *>(malloc(needed));
    if (!list)
        return -1;
    int result = -1;
    if (GetAdaptersInfo(list, &needed) == NO_ERROR) {
        const size_t prefixLength = strlen(prefix);
        for (IP_ADAPTER_INFO *a = list; a; a = a->Next) {
            if (strncmp(a->Description, prefix, prefixLength) == 0) {
                snprintf(name, size, "%s", a->AdapterName);
                result = 0;
                break;
            }
        }
    }
    free(list);
    return result;
}

bool control(HANDLE device, DWORD code, void *inOut, DWORD size)
{
    DWORD returned = 0;
    return DeviceIoControl(device, code, inOut, size, inOut, size, &returned, NULL) != 0;
}
}

extern "C" TapDevice *OpenTun(const char *address, const char *netmask, const char *dhcpServer)
{
    if (g_device.handle)
        return &g_device;
    uint32_t addr = 0, mask = 0, dhcp = 0;
    if (!openTunParseIpv4(address, &addr) || !openTunParseIpv4(netmask, &mask)
        || !openTunParseIpv4(dhcpServer, &dhcp))
        return NULL;

    char adapter[260] = {0};
    if (findAdapter("TAP-Windows Adapter V9", adapter, sizeof adapter) != 0)
        return NULL;
    char path[260] = {0};
    snprintf(path, sizeof path, "%s%s%s", "\\\\.\\Global\\", adapter, ".tap");
    HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_SYSTEM | FILE_FLAG_OVERLAPPED, NULL);
    if (device == INVALID_HANDLE_VALUE)
        return NULL;

    ULONG tun[3] = {networkOrder(addr), networkOrder(openTunNetwork(addr, mask)), networkOrder(mask)};
    ULONG masq[4] = {networkOrder(addr), networkOrder(mask), networkOrder(dhcp), kDhcpLeaseSeconds};
    ULONG connected = 1;
    if (!control(device, kTapIoctlConfigTun, tun, sizeof tun)
        || !control(device, kTapIoctlConfigDhcpMasq, masq, sizeof masq)
        || !control(device, kTapIoctlSetMediaStatus, &connected, sizeof connected)) {
        CloseHandle(device);
        return NULL;
    }
    ULONG mtu = 1;
    control(device, kTapIoctlGetMtu, &mtu, sizeof mtu);
    g_device.handle = reinterpret_cast<intptr_t>(device);
    g_device.mtu = static_cast<unsigned short>(mtu & 0xFFFF);
    return &g_device;
}
