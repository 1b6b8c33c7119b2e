#pragma once

#include <asio/io_context.hpp>

#include <chrono>

namespace wire {

// Hands memory that the heap holds free back to the system now and then. glibc keeps what
// was freed for reuse and returns it only from the top of the heap: after a burst of
// streams has closed, a relay or an agent would go on holding tens of megabytes (their
// buffers, TLS state) scattered between the few allocations still live, for ever. A trim
// costs a walk over the free chunks, so it runs only when much is free. SIGUSR1 asks for
// one at once, logged with the heap's figures: for an operator, and for a test that needs
// a settled heap without waiting out the interval.
void startHeapTrim(asio::io_context &io, std::chrono::milliseconds interval = std::chrono::seconds(5),
                   std::size_t minFree = 1 << 20);

} // namespace wire
