#include "wire/HeapTrim.h"

#include <asio/steady_timer.hpp>

#include <memory>

#if defined(__linux__)
#include <malloc.h>
#endif

namespace wire {

namespace {

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

} // namespace

void startHeapTrim(asio::io_context &io, std::chrono::milliseconds interval, std::size_t minFree)
{
    arm(std::make_shared<asio::steady_timer>(io), interval, minFree);
}

} // namespace wire
