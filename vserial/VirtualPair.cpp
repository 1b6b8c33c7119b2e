#include "vserial/VirtualPair.h"

namespace vserial {

VirtualPair::VirtualPair(const std::string &first, const std::string &second)
    : m_names{first, second}
    , m_relay(m_ports[0], m_ports[1])
{
}

VirtualPair::~VirtualPair()
{
    m_published[0].withdraw();
    m_published[1].withdraw();
    m_relay.stop();
}

std::unique_ptr<VirtualPair> VirtualPair::create(const std::string &directory,
                                                 const std::string &first,
                                                 const std::string &second)
{
    std::unique_ptr<VirtualPair> pair(new VirtualPair(first, second));
    if (!pair->m_ports[0].open() || !pair->m_ports[1].open() || !pair->m_relay.start())
        return nullptr;
    for (int i = 0; i < 2; ++i) {
        if (!pair->m_published[i].publish(directory, pair->m_names[i],
                                          pair->m_ports[i].slavePath()))
            return nullptr;
    }
    return pair;
}

} // namespace vserial
