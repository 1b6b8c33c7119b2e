#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace wire {

// Bytes waiting for one writer that takes one buffer at a time: the owner pushes, writes
// front() whenever push() says to start or pop() says more is there, and pops when that
// write completes. The byte bound is what tells a peer that stopped reading from a burst.
class WriteQueue
{
public:
    explicit WriteQueue(std::size_t maxBytes) : m_maxBytes(maxBytes) {}

    enum class Push {
        Start,    // queued, and no write is under way: write front() now
        Queued,   // queued behind the write under way
        Overflow, // not queued: it would take the queue past its bound
    };
    Push push(std::string bytes);

    const std::string &front() const { return m_queue.front(); }
    // Moves the buffers waiting behind the front into it, while it stays within `limit`
    // bytes, so that one write carries many small messages. Only between writes: the front
    // must not be under way.
    void joinFront(std::size_t limit);
    // The front was written; true when another buffer waits to be written.
    bool pop();
    // Forgets everything, and that a write was under way (its completion must be ignored).
    void clear();

    std::size_t bytes() const { return m_bytes; }
    bool empty() const { return m_queue.empty(); }

private:
    std::deque<std::string> m_queue;
    std::size_t m_bytes = 0;
    std::size_t m_maxBytes;
    bool m_writing = false;
};

} // namespace wire
