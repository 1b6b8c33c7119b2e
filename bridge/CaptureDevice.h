#pragma once

#include <QByteArray>

#include <pcap/pcap.h>

// How this platform opens the bridge adapter for capture and waits for a frame on it.
class CaptureDevice
{
public:
    // Snapshot 65536 bytes, promiscuous, the given read timeout. Null on failure, with the
    // reason in errbuf (PCAP_ERRBUF_SIZE bytes).
    static pcap_t *open(const QByteArray &name, int readTimeoutMs, char *errbuf);
    // Waits at most timeoutMs for a frame, so that a stop request is seen within that time
    // even while the adapter is silent. True when a read should be tried.
    static bool waitForFrame(pcap_t *handle, int timeoutMs);
};
