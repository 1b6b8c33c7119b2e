#include "wire/Backoff.h"

#include <algorithm>

namespace wire {

Backoff::Backoff() : m_rng(std::random_device{}()) {}

std::chrono::milliseconds Backoff::next()
{
    std::uniform_real_distribution<double> jitter(0.8, 1.2);
    const auto delay = std::chrono::milliseconds(
        std::min<long long>(kCap.count(), static_cast<long long>(m_current.count() * jitter(m_rng))));
    m_current = std::min(kCap, m_current * 2);
    return delay;
}

std::chrono::milliseconds Backoff::capped()
{
    std::uniform_real_distribution<double> jitter(0.8, 1.0);
    return std::chrono::milliseconds(static_cast<long long>(kCap.count() * jitter(m_rng)));
}

} // namespace wire
