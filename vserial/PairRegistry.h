#pragma once

#include "vserial/VirtualPair.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vserial {

// The pairs this process made. One lock serialises making and removing, so two threads
// cannot both make a pair with the same name or remove the same pair twice.
class PairRegistry
{
public:
    static PairRegistry &instance();
    ~PairRegistry();

    bool create(const char *first, const char *second);
    bool remove(const char *port);

private:
    PairRegistry() = default;

    std::mutex m_mutex;
    std::vector<std::unique_ptr<VirtualPair>> m_pairs;
};

} // namespace vserial
