#include "bridge/CaptureDevice.h"

#include <pcap/pcap.h>

namespace {
class DriverCapture : public CaptureDevice
{
public:
    explicit DriverCapture(pcap_t *handle)
        : m_handle(handle)
    {
    }
    ~DriverCapture() override { pcap_close(m_handle); }

    // The capture driver honours the read timeout itself: a read returns 0 when it runs out.
    bool waitForFrame(int) override { return true; }

    int read(const unsigned char **data, int *length) override
    {
        pcap_pkthdr *header = nullptr;
        const int r = pcap_next_ex(m_handle, &header, data);
        if (r != 1)
            return r < 0 ? -1 : 0;
        // A frame cut short by the capture would make the relay read past what was captured.
        if (header->caplen < header->len)
            return 0;
        *length = int(header->len);
        return 1;
    }

    bool inject(const unsigned char *data, int length) override
    {
        return pcap_sendpacket(m_handle, data, length) == 0;
    }

    QString errorText() const override { return QString::fromLocal8Bit(pcap_geterr(m_handle)); }

private:
    pcap_t *m_handle;
};
}

std::unique_ptr<CaptureDevice> CaptureDevice::open(const QString &name, const QString &filter,
                                                   int readTimeoutMs, QString *error)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t *handle = pcap_open_live(name.toLatin1().constData(), 65536, 1, readTimeoutMs, errbuf);
    if (!handle) {
        *error = QString::fromLocal8Bit(errbuf);
        return nullptr;
    }
    // Before any panel announcement the filter names no host and does not compile; the
    // device then runs unfiltered and the relay rule alone decides.
    bpf_program program;
    if (!filter.isEmpty()
        && pcap_compile(handle, &program, filter.toLatin1().constData(), 1, PCAP_NETMASK_UNKNOWN) == 0) {
        pcap_setfilter(handle, &program);
        pcap_freecode(&program);
    }
    return std::make_unique<DriverCapture>(handle);
}

bool CaptureDevice::list(QList<QPair<QString, QString>> *devices, QString *error)
{
    pcap_if_t *all = nullptr;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    if (pcap_findalldevs(&all, errbuf) == -1) {
        *error = QString::fromLocal8Bit(errbuf);
        return false;
    }
    for (pcap_if_t *d = all; d; d = d->next)
        devices->append({QString::fromLocal8Bit(d->name),
                         d->description ? QString::fromLocal8Bit(d->description) : QString()});
    pcap_freealldevs(all);
    return true;
}
