#pragma once

#include <QByteArray>
#include <QList>

// Cuts the "PCP#" ... "END#" envelopes of Ethernet frames out of the tunnel socket's reads.
// A read that starts with "PCP#" begins afresh (whatever was left is dropped); other reads
// continue the buffer. Every complete frame of a read is handed on.
class EthernetReassembler
{
public:
    // More than any Ethernet frame (jumbo frames included) plus its envelope. A buffer that
    // grows past this without completing a frame holds garbage and is dropped, so a peer
    // that never sends "END#" cannot make it grow without bound.
    static constexpr int kMaxPending = 64 * 1024;

    QList<QByteArray> take(const QByteArray &read);
    const QByteArray &pending() const { return m_buffer; }

private:
    QByteArray m_buffer;
};
