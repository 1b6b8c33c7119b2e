#include "bridge/CaptureDevice.h"

#include <poll.h>

#include <cstdio>
#include <cstring>

namespace {
pcap_t *fail(pcap_t *handle, const char *why, char *errbuf)
{
    char copy[PCAP_ERRBUF_SIZE];
    std::snprintf(copy, sizeof copy, "%s", why);
    std::memcpy(errbuf, copy, sizeof copy);
    pcap_close(handle);
    return nullptr;
}
}

// On Linux a blocking read does not return at the read timeout while nothing arrives, so
// the handle is non-blocking and waitForFrame polls it. Immediate mode hands each frame
// over at once instead of when a buffer block fills. Only inbound frames are captured:
// what the bridge injects on this side would otherwise come straight back.
pcap_t *CaptureDevice::open(const QByteArray &name, int readTimeoutMs, char *errbuf)
{
    pcap_t *handle = pcap_create(name.constData(), errbuf);
    if (!handle)
        return nullptr;
    pcap_set_snaplen(handle, 65536);
    pcap_set_promisc(handle, 1);
    pcap_set_timeout(handle, readTimeoutMs);
    pcap_set_immediate_mode(handle, 1);
    // A burst of full-size frames must fit while the loop pauses between reads.
    pcap_set_buffer_size(handle, 8 * 1024 * 1024);
    const int status = pcap_activate(handle);
    if (status < 0) {
        const char *detail = pcap_geterr(handle);
        return fail(handle, detail && *detail ? detail : pcap_statustostr(status), errbuf);
    }
    if (pcap_setdirection(handle, PCAP_D_IN) != 0)
        return fail(handle, pcap_geterr(handle), errbuf);
    if (pcap_setnonblock(handle, 1, errbuf) != 0)
        return fail(handle, errbuf, errbuf);
    return handle;
}

bool CaptureDevice::waitForFrame(pcap_t *handle, int timeoutMs)
{
    const int fd = pcap_get_selectable_fd(handle);
    if (fd < 0)
        return true;
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}
