#include "wire/IoPool.h"

#include <algorithm>

namespace wire {

IoPool::IoPool(std::size_t threads)
{
    const std::size_t n = threads ? threads : cores();
    for (std::size_t i = 0; i < n; ++i) {
        // Each context is run by exactly one thread, which lets Asio skip the locking
        // it otherwise needs between threads handing work to one queue.
        m_contexts.push_back(std::make_unique<Context>(1));
        m_guards.emplace_back(m_contexts.back()->get_executor());
    }
}

IoPool::~IoPool()
{
    stop();
    m_guards.clear();
    for (auto &c : m_contexts)
        c->dropHandlers();
}

void IoPool::run()
{
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < m_contexts.size(); ++i)
        threads.emplace_back([this, i] { m_contexts[i]->run(); });
    m_contexts[0]->run();
    stop(); // the main context ended on its own: the others follow
    for (auto &t : threads)
        t.join();
}

void IoPool::stop()
{
    for (auto &c : m_contexts)
        c->stop();
}

std::size_t IoPool::cores()
{
    return std::max(1u, std::thread::hardware_concurrency());
}

ThreadLoad::ThreadLoad(std::size_t threads) : m_threads(std::max<std::size_t>(threads, 1)), m_open(new std::atomic<int>[m_threads])
{
    for (std::size_t i = 0; i < m_threads; ++i)
        m_open[i] = 0;
}

ThreadLoad::Place ThreadLoad::pick()
{
    // Ties go round, so that short streams spread too.
    const unsigned first = m_next++;
    std::size_t best = first % m_threads;
    for (std::size_t k = 1; k < m_threads; ++k) {
        const std::size_t i = (first + k) % m_threads;
        if (m_open[i] < m_open[best])
            best = i;
    }
    std::atomic<int> *count = &m_open[best];
    const int open = ++*count;
    return {best, std::shared_ptr<void>(count, [counts = m_open](std::atomic<int> *c) { --*c; }), std::size_t(open)};
}

} // namespace wire
