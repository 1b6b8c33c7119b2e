#pragma once

#include "bridge/CaptureDevice.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <functional>

#include <pcap/pcap.h>

// The test's own capture handle on one interface, inbound only.
class Wire
{
public:
    explicit Wire(const QString &dev)
    {
        char err[PCAP_ERRBUF_SIZE] = {};
        m_handle = CaptureDevice::open(dev.toLatin1(), 10, err);
        m_error = QString::fromLocal8Bit(err);
    }
    ~Wire()
    {
        if (m_handle)
            pcap_close(m_handle);
    }
    bool isOpen() const { return m_handle; }
    QString error() const { return m_error; }
    bool send(const QByteArray &f)
    {
        return pcap_sendpacket(m_handle, reinterpret_cast<const u_char *>(f.constData()), f.size()) == 0;
    }
    // Frames read within timeoutMs until `match` accepts one.
    bool waitFor(const std::function<bool(const QByteArray &)> &match, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            if (!CaptureDevice::waitForFrame(m_handle, 50))
                continue;
            pcap_pkthdr *h;
            const u_char *d;
            while (pcap_next_ex(m_handle, &h, &d) == 1)
                if (match(QByteArray(reinterpret_cast<const char *>(d), int(h->caplen))))
                    return true;
        }
        return false;
    }

private:
    pcap_t *m_handle = nullptr;
    QString m_error;
};
