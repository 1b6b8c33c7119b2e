#include "wire/HeapTrim.h"

#include "wire/Log.h"

#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <csignal>
#include <memory>
#include <string>

#if defined(__linux__)
#include <malloc.h>
#include <sys/resource.h>
#endif

namespace wire {

namespace {

constexpr std::size_t kAutomaticTrimThreshold = 64 << 20;

#if defined(__GLIBC__)
// Pages the process has touched anew: fresh ones, and free ones a trim had given back.
long touchedPages()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}
#endif

void arm(std::shared_ptr<asio::steady_timer> timer, std::chrono::milliseconds interval, std::size_t minFree,
         std::shared_ptr<long> touchedAtTrim)
{
    timer->expires_after(interval);
    timer->async_wait([timer, interval, minFree, touchedAtTrim](const std::error_code &ec) {
        if (ec)
            return;
#if defined(__GLIBC__)
        // A trim walks every free chunk and gives back each free page, also those it gave
        // back last time: with thousands of idle panels (a heap of many small free chunks)
        // that was a steady share of the relay's idle CPU. Only pages touched since the last
        // trim can be resident and free now.
        if (touchedPages() - *touchedAtTrim >= long(minFree / 4096) && mallinfo2().fordblks >= minFree) {
            malloc_trim(0);
            *touchedAtTrim = touchedPages();
        }
#endif
        arm(timer, interval, minFree, touchedAtTrim);
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
    arm(std::make_shared<asio::steady_timer>(io), interval, minFree, std::make_shared<long>(0));
    onRequest(std::make_shared<asio::signal_set>(io, SIGUSR1));
}

} // namespace wire
