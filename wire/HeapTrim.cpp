#include "wire/HeapTrim.h"

#include "wire/Log.h"

#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <csignal>
#include <memory>
#include <string>

#if defined(__linux__)
#include <malloc.h>
#endif

namespace wire {

namespace {

constexpr std::size_t kAutomaticTrimThreshold = 64 << 20;

void arm(std::shared_ptr<asio::steady_timer> timer, std::chrono::milliseconds interval, std::size_t minFree)
{
    timer->expires_after(interval);
    timer->async_wait([timer, interval, minFree](const std::error_code &ec) {
        if (ec)
            return;
#if defined(__GLIBC__)
        if (mallinfo2().fordblks >= minFree)
            malloc_trim(0);
#endif
        arm(timer, interval, minFree);
    });
}

void onRequest(std::shared_ptr<asio::signal_set> signals)
{
    signals->async_wait([signals](const std::error_code &ec, int) {
        if (ec)
            return;
#if defined(__GLIBC__)
        const std::size_t freeBefore = mallinfo2().fordblks;
        malloc_trim(0);
        logLine("heap trimmed on request: " + std::to_string(mallinfo2().uordblks / 1024) + " KiB in use, "
                + std::to_string(freeBefore / 1024) + " KiB were free");
#else
        logLine("heap trimmed on request: not supported by this C library");
#endif
        onRequest(signals);
    });
}

} // namespace

void startHeapTrim(asio::io_context &io, std::chrono::milliseconds interval, std::size_t minFree)
{
#if defined(__GLIBC__)
    // glibc's own trim, at every free that leaves the heap's top chunk above 128 KiB, gives
    // memory back and takes it again with each stream buffer a bulk transfer frees: a brk
    // pair per buffer, each shooting down the TLB of every core the process runs on, which
    // took a relay carrying 40 MB/s a third of its time. The timer above trims instead.
    mallopt(M_TRIM_THRESHOLD, int(kAutomaticTrimThreshold));
#endif
    arm(std::make_shared<asio::steady_timer>(io), interval, minFree);
    onRequest(std::make_shared<asio::signal_set>(io, SIGUSR1));
}

} // namespace wire
