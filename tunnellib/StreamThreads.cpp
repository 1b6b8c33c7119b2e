#include "tunnellib/StreamThreads.h"

#include "tunnellib/DebugLog.h"

#include <algorithm>
#include <thread>

namespace tunnellib {

void runCatching(asio::io_context &io, const char *name)
{
    for (;;) {
        try {
            io.run();
            return;
        } catch (const std::exception &e) {
            debugLog(std::string(name) + ": " + e.what());
        }
    }
}

StreamThreads::StreamThreads(asio::io_context &main, std::size_t extra)
    : m_main(main), m_load(extra + 1)
{
    for (std::size_t i = 0; i < extra; ++i)
        m_contexts.push_back(std::make_unique<wire::DroppableContext>(1));
}

std::size_t StreamThreads::defaultExtra()
{
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return std::min<std::size_t>(cores, 4) - 1;
}

void StreamThreads::start()
{
    if (!m_threads.empty() || m_contexts.empty())
        return;
    for (auto &io : m_contexts) {
        m_guards.push_back(asio::make_work_guard(*io));
        m_threads.emplace_back([ctx = io.get()] { runCatching(*ctx, "stream thread"); });
    }
}

void StreamThreads::stop()
{
    m_guards.clear();
    for (auto &io : m_contexts)
        io->stop();
    for (auto &t : m_threads)
        t.join();
    m_threads.clear();
    // For good: the streams the threads carried close instead of hanging open.
    for (auto &io : m_contexts)
        io->dropHandlers();
}

void StreamThreads::detach()
{
    for (auto &t : m_threads)
        t.detach();
    m_threads.clear();
}

bool StreamThreads::isOwnThread() const
{
    const auto self = std::this_thread::get_id();
    return std::any_of(m_threads.begin(), m_threads.end(), [self](const std::thread &t) { return t.get_id() == self; });
}

StreamThreads::Place StreamThreads::pick()
{
    if (m_threads.empty())
        return {m_main, nullptr};
    auto place = m_load.pick();
    return {place.thread == 0 ? m_main : *m_contexts[place.thread - 1], std::move(place.token)};
}

} // namespace tunnellib
