#include "engine/EthernetReassembler.h"

#include "engine/TunnelFraming.h"

QList<QByteArray> EthernetReassembler::take(const QByteArray &read)
{
    using TunnelFraming::kFrameEnd;
    using TunnelFraming::kFrameStart;

    if (read.startsWith(kFrameStart))
        m_buffer = read;
    else
        m_buffer.append(read);

    QList<QByteArray> frames;
    int from = 0;
    while (m_buffer.mid(from, kFrameStart.size()) == kFrameStart) {
        const int end = m_buffer.indexOf(kFrameEnd, from + kFrameStart.size());
        if (end < 0)
            break;
        frames.append(m_buffer.mid(from + kFrameStart.size(), end - from - kFrameStart.size()));
        from = end + kFrameEnd.size();
    }
    m_buffer.remove(0, from);
    if (m_buffer.size() > kMaxPending)
        m_buffer.clear();
    return frames;
}
