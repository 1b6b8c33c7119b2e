#pragma once

#include <QElapsedTimer>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <functional>

// The agent's io loop, run by the test's waits on the test's own thread, as the agent runs
// it on one thread: the sides live there and are only touched there.
struct AgentLoop
{
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
    // Runs the loop until `done` holds, at most timeoutMs.
    bool runUntil(const std::function<bool()> &done, int timeoutMs = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < timeoutMs)
            io.run_for(std::chrono::milliseconds(5));
        return done();
    }
};
