#pragma once

#include <QByteArray>
#include <QMutex>
#include <QVector>

// Frames on their way from the capture thread to the GUI thread. Bounded in bytes: when the
// receiving side falls behind, further frames are dropped rather than held, as a busy
// Ethernet link would drop them; memory does not grow with the backlog.
class FrameQueue
{
public:
    enum PushResult { Dropped, Queued, QueuedIntoEmpty };

    explicit FrameQueue(qsizetype maxBytes);

    // QueuedIntoEmpty tells the producer that the consumer has to be woken.
    PushResult push(const QByteArray &frame);
    QVector<QByteArray> takeAll();
    // Frames dropped since the last call.
    quint64 takeDropped();
    qsizetype bytes() const;

private:
    const qsizetype m_maxBytes;
    mutable QMutex m_lock;
    QVector<QByteArray> m_frames;
    qsizetype m_bytes = 0;
    quint64 m_dropped = 0;
};
