#pragma once

#include "vserial/PairRelay.h"
#include "vserial/PseudoTerminal.h"
#include "vserial/PublishedName.h"

#include <memory>
#include <string>

namespace vserial {

// Two joined ports with their published names. Made whole or not at all; destroying it
// withdraws the names first, so nobody opens a port that is about to go.
class VirtualPair
{
public:
    static std::unique_ptr<VirtualPair> create(const std::string &directory,
                                               const std::string &first,
                                               const std::string &second);
    ~VirtualPair();

    const std::string &first() const { return m_names[0]; }
    const std::string &second() const { return m_names[1]; }
    bool has(const std::string &name) const { return name == m_names[0] || name == m_names[1]; }

private:
    VirtualPair(const std::string &first, const std::string &second);

    std::string m_names[2];
    PseudoTerminal m_ports[2];
    PairRelay m_relay;
    PublishedName m_published[2];
};

} // namespace vserial
