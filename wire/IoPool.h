#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace wire {

// An io_context whose waiting handlers can be destroyed while it lives on, so that what they
// hold (sockets, streams) closes: for a context that no thread runs any more and that is
// not used again.
class DroppableContext : public asio::io_context
{
public:
    using asio::io_context::io_context;
    void dropHandlers() { shutdown(); }
};

// One io_context per thread. A connection lives on one of them for its whole life, so its
// handlers never run on two threads at once and the byte path needs no lock; what the
// threads share (registries, counts) takes its own. The first context runs on the thread
// that calls run(): signals, the listener and timers of the whole process go there.
class IoPool
{
public:
    // threads 0: one per core.
    explicit IoPool(std::size_t threads);
    ~IoPool();
    IoPool(const IoPool &) = delete;
    IoPool &operator=(const IoPool &) = delete;

    std::size_t size() const { return m_contexts.size(); }
    asio::io_context &context(std::size_t i) { return *m_contexts[i]; }
    asio::io_context &main() { return *m_contexts[0]; }

    // Runs every context until stop(); returns once all threads have ended.
    void run();
    // From any thread, also from a handler.
    void stop();

    static std::size_t cores();

private:
    // Handlers waiting on one context may hold connections of another (a request posted
    // to a panel's thread): all contexts drop their handlers before any of them goes.
    using Context = DroppableContext;
    using Guard = asio::executor_work_guard<asio::io_context::executor_type>;
    std::vector<std::unique_ptr<Context>> m_contexts;
    std::vector<Guard> m_guards;
};

// Open streams per thread, for placing the next one. A bulk transfer keeps its thread always
// busy, and the scheduler makes such a thread wait its turn behind the machine's other busy
// ones; a request/response stream on the same thread waited for that turn, milliseconds
// per round trip. So a new stream goes where the fewest are open, and two streams share a
// thread only when every thread has one.
class ThreadLoad
{
public:
    explicit ThreadLoad(std::size_t threads);

    struct Place
    {
        std::size_t thread;
        // The stream counts as open on `thread` until the last copy of this is released.
        std::shared_ptr<void> token;
        // Streams open on `thread` with this one.
        std::size_t open = 0;
    };
    // From any thread.
    Place pick();

private:
    std::size_t m_threads;
    // Shared with the tokens, which may outlive this.
    std::shared_ptr<std::atomic<int>[]> m_open;
    std::atomic<unsigned> m_next{0};
};

} // namespace wire
