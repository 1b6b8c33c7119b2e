#include "vserial/PairRegistry.h"

#include "vserial/PortDirectory.h"

#include <algorithm>

namespace vserial {

PairRegistry &PairRegistry::instance()
{
    static PairRegistry registry;
    return registry;
}

// At process exit: the ports die with the process, so their names must not outlive it, and
// the relay threads must be stopped before their objects go.
PairRegistry::~PairRegistry()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_pairs.clear();
}

bool PairRegistry::create(const char *first, const char *second)
{
    if (!isValidPortName(first) || !isValidPortName(second))
        return false;
    const std::string a(first), b(second);
    if (a == b)
        return false;

    std::lock_guard<std::mutex> guard(m_mutex);
    for (const auto &pair : m_pairs) {
        // The caller asks for the pair to exist; if it does, that is what it wanted.
        if (pair->has(a) && pair->has(b))
            return true;
        if (pair->has(a) || pair->has(b))
            return false;
    }

    const std::string directory = ensurePortDirectory();
    if (directory.empty())
        return false;
    std::unique_ptr<VirtualPair> pair = VirtualPair::create(directory, a, b);
    if (!pair)
        return false;
    m_pairs.push_back(std::move(pair));
    return true;
}

bool PairRegistry::remove(const char *port)
{
    if (!isValidPortName(port))
        return false;
    const std::string name(port);

    std::lock_guard<std::mutex> guard(m_mutex);
    const auto found = std::find_if(m_pairs.begin(), m_pairs.end(),
                                    [&](const std::unique_ptr<VirtualPair> &pair) {
                                        return pair->has(name);
                                    });
    if (found == m_pairs.end())
        return false;
    m_pairs.erase(found);
    return true;
}

} // namespace vserial
