#include "devices/OpenTun.h"
#include "devices/OpenTunAddress.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {
TapDevice g_device = {0, 0};

bool setAddress(int sock, const char *name, unsigned long request, uint32_t hostOrder)
{
    ifreq req{};
    std::snprintf(req.ifr_name, IFNAMSIZ, "%s", name);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(hostOrder);
    std::memcpy(&req.ifr_addr, &sin, sizeof sin);
    return ioctl(sock, request, &req) == 0;
}

// Address and netmask give the kernel the network (address AND netmask) as the device's
// connected route; the link is brought up, which is the "connected" media status.
bool configure(const char *name, uint32_t address, uint32_t netmask, unsigned short *mtu)
{
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return false;
    bool ok = setAddress(sock, name, SIOCSIFADDR, address)
        && setAddress(sock, name, SIOCSIFNETMASK, netmask);
    ifreq req{};
    std::snprintf(req.ifr_name, IFNAMSIZ, "%s", name);
    if (ok && ioctl(sock, SIOCGIFFLAGS, &req) == 0) {
        req.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ioctl(sock, SIOCSIFFLAGS, &req) == 0;
    } else {
        ok = false;
    }
    if (ok) {
        ifreq mtuReq{};
        std::snprintf(mtuReq.ifr_name, IFNAMSIZ, "%s", name);
        if (ioctl(sock, SIOCGIFMTU, &mtuReq) == 0)
            *mtu = static_cast<unsigned short>(mtuReq.ifr_mtu & 0xFFFF);
    }
    close(sock);
    return ok;
}
}

// The DHCP server address has no counterpart on Linux (the TUN device answers no DHCP);
// it is still checked, so a caller gets the same answer for bad input on both systems.
extern "C" TapDevice *OpenTun(const char *address, const char *netmask, const char *dhcpServer)
{
    if (g_device.handle)
        return &g_device;
    uint32_t addr = 0, mask = 0, dhcp = 0;
    if (!openTunParseIpv4(address, &addr) || !openTunParseIpv4(netmask, &mask)
        || !openTunParseIpv4(dhcpServer, &dhcp))
        return nullptr;

    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    // 0 means "not open" in the record, so the descriptor must not be 0.
    if (fd == 0) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0)
            return nullptr;
        fd = moved;
    }
    ifreq req{};
    req.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::snprintf(req.ifr_name, IFNAMSIZ, "%s", "talvotun%d");
    unsigned short mtu = 0;
    if (ioctl(fd, TUNSETIFF, &req) != 0 || !configure(req.ifr_name, addr, mask, &mtu)) {
        close(fd);
        return nullptr;
    }
    g_device.handle = fd;
    g_device.mtu = mtu;
    return &g_device;
}
