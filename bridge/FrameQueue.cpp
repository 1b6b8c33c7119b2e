#include "bridge/FrameQueue.h"

FrameQueue::FrameQueue(qsizetype maxBytes)
    : m_maxBytes(maxBytes)
{
}

FrameQueue::PushResult FrameQueue::push(const QByteArray &frame)
{
    QMutexLocker locker(&m_lock);
    if (m_bytes + frame.size() > m_maxBytes) {
        ++m_dropped;
        return Dropped;
    }
    const bool wasEmpty = m_frames.isEmpty();
    m_frames.append(frame);
    m_bytes += frame.size();
    return wasEmpty ? QueuedIntoEmpty : Queued;
}

QVector<QByteArray> FrameQueue::takeAll()
{
    QMutexLocker locker(&m_lock);
    QVector<QByteArray> frames;
    frames.swap(m_frames);
    m_bytes = 0;
    return frames;
}

quint64 FrameQueue::takeDropped()
{
    QMutexLocker locker(&m_lock);
    const quint64 dropped = m_dropped;
    m_dropped = 0;
    return dropped;
}

qsizetype FrameQueue::bytes() const
{
    QMutexLocker locker(&m_lock);
    return m_bytes;
}
