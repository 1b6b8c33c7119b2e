#include "wire/WriteQueue.h"

namespace wire {

WriteQueue::Push WriteQueue::push(std::string bytes)
{
    if (m_bytes + bytes.size() > m_maxBytes)
        return Push::Overflow;
    m_bytes += bytes.size();
    m_queue.push_back(std::move(bytes));
    if (m_writing)
        return Push::Queued;
    m_writing = true;
    return Push::Start;
}

void WriteQueue::joinFront(std::size_t limit)
{
    if (m_queue.size() < 2)
        return;
    std::string &front = m_queue.front();
    auto next = m_queue.begin() + 1;
    while (next != m_queue.end() && front.size() + next->size() <= limit)
        front += *next++;
    m_queue.erase(m_queue.begin() + 1, next);
}

bool WriteQueue::pop()
{
    m_bytes -= m_queue.front().size();
    m_queue.pop_front();
    m_writing = !m_queue.empty();
    return m_writing;
}

void WriteQueue::clear()
{
    m_queue.clear();
    m_bytes = 0;
    m_writing = false;
}

} // namespace wire
