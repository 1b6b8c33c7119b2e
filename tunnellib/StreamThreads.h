#pragma once

#include "wire/IoPool.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <memory>
#include <thread>
#include <vector>

namespace tunnellib {

// The threads that carry spliced streams: the io thread and a few more, so that a stream
// beside a bulk transfer does not wait for the bulk's thread (see wire::ThreadLoad).
class StreamThreads
{
public:
    // `main` is the io thread's context and counts as the first; `extra` threads are added.
    StreamThreads(asio::io_context &main, std::size_t extra);
    StreamThreads(const StreamThreads &) = delete;
    StreamThreads &operator=(const StreamThreads &) = delete;

    // One fewer than the cores, at most three, so that the library stays a guest in its host.
    static std::size_t defaultExtra();

    // Starts the extra threads, once.
    void start();
    // Ends and joins them, for good, and closes the streams they carried; from a thread
    // that is not one of them.
    void stop();
    // Leaves them running, for a process that is ending or a caller that is one of them.
    void detach();
    bool isOwnThread() const;

    // Where the next stream goes; it counts as open there until `token` is released.
    struct Place
    {
        asio::io_context &io;
        std::shared_ptr<void> token;
    };
    Place pick();

private:
    using Guard = asio::executor_work_guard<asio::io_context::executor_type>;
    asio::io_context &m_main;
    std::vector<std::unique_ptr<wire::DroppableContext>> m_contexts;
    std::vector<Guard> m_guards;
    std::vector<std::thread> m_threads;
    // Open streams per context, the io thread's first.
    wire::ThreadLoad m_load;
};

// Runs `io` until it is stopped; a handler's exception is logged and the loop goes on, so
// that one stream cannot take the others down with it.
void runCatching(asio::io_context &io, const char *name);

} // namespace tunnellib
