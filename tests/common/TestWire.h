#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <functional>

#include <pcap/pcap.h>
#include <poll.h>

// An Ethernet frame, padded with zeros to len bytes.
inline QByteArray ethernetFrame(const QByteArray &dst, const QByteArray &src, quint16 etherType,
                                const QByteArray &payload = {}, int len = 60)
{
    QByteArray f = dst + src;
    f.append(char(etherType >> 8)).append(char(etherType & 0xFF)).append(payload);
    if (f.size() < len)
        f.append(QByteArray(len - f.size(), '\0'));
    return f;
}

inline quint16 etherTypeOf(const QByteArray &f)
{
    return f.size() < 14 ? 0 : quint16((quint8(f.at(12)) << 8) | quint8(f.at(13)));
}

// The test's own capture handle on one interface, inbound only.
class Wire
{
public:
    explicit Wire(const QString &dev)
    {
        char err[PCAP_ERRBUF_SIZE] = {};
        m_handle = pcap_create(dev.toLatin1().constData(), err);
        if (m_handle) {
            pcap_set_snaplen(m_handle, 65536);
            pcap_set_promisc(m_handle, 1);
            pcap_set_immediate_mode(m_handle, 1);
            if (pcap_activate(m_handle) < 0 || pcap_setdirection(m_handle, PCAP_D_IN) != 0
                || pcap_setnonblock(m_handle, 1, err) != 0) {
                qstrncpy(err, pcap_geterr(m_handle), sizeof err);
                pcap_close(m_handle);
                m_handle = nullptr;
            }
        }
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
            pollfd p{pcap_get_selectable_fd(m_handle), POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
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
