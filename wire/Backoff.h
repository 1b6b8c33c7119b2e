#pragma once

#include <chrono>
#include <random>

namespace wire {

// Reconnection delays: 200 ms doubling to a 15 s cap, each with +-20 % jitter so that many
// panels cut off together do not come back in lock-step. Never gives up.
class Backoff
{
public:
    Backoff();
    std::chrono::milliseconds next();
    void reset() { m_current = kFirst; }
    // The longest delay, jittered: for a peer told to keep away (another agent holds the SN),
    // where a quick return would only start the fight again.
    std::chrono::milliseconds capped();

    static constexpr std::chrono::milliseconds kFirst{200};
    static constexpr std::chrono::milliseconds kCap{15000};

private:
    std::chrono::milliseconds m_current = kFirst;
    std::minstd_rand m_rng;
};

} // namespace wire
