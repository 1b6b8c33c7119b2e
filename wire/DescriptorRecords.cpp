#include "wire/DescriptorRecords.h"

#include <asio/ip/udp.hpp>

#include <algorithm>
#include <vector>

namespace wire {

void DescriptorRecords::ensure(std::size_t open)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (open + m_run / 4 <= m_made)
        return;
    // Opening sockets side by side makes their records one after another; closing them
    // returns the records to Asio's free list, where the next connections find them.
    std::vector<asio::ip::udp::socket> sockets;
    sockets.reserve(m_run);
    for (std::size_t i = 0; i < m_run; ++i) {
        sockets.emplace_back(m_io);
        std::error_code ec;
        sockets.back().open(asio::ip::udp::v4(), ec);
        if (ec) { // out of descriptors: the records then come one by one, as before
            sockets.pop_back();
            break;
        }
    }
    m_made = std::max(m_made, open + sockets.size());
}

} // namespace wire
