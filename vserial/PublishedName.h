#pragma once

#include <string>

namespace vserial {

// A port's name in the port directory: a symbolic link to the pseudo-terminal, guarded by
// a lock file that the owning process holds for as long as the name is its own. A name whose
// lock nobody holds is a leftover of a process that ended without removing it, and is taken
// over; a name another live process holds is refused.
class PublishedName
{
public:
    PublishedName() = default;
    ~PublishedName();
    PublishedName(const PublishedName &) = delete;
    PublishedName &operator=(const PublishedName &) = delete;

    // False when the name is held by another process, is taken by something that is not a
    // symbolic link, or cannot be written.
    bool publish(const std::string &directory, const std::string &name, const std::string &target);
    void withdraw();

private:
    bool lock();

    std::string m_link;
    std::string m_lockPath;
    std::string m_target;
    int m_lock = -1;
};

} // namespace vserial
