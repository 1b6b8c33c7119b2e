#include "vserial/PublishedName.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vserial {

PublishedName::~PublishedName()
{
    withdraw();
}

bool PublishedName::lock()
{
    // The holder unlinks the lock file when it withdraws; an opener that raced with that
    // may lock the unlinked file, so the lock only counts if it is still the file at the path.
    for (int attempt = 0; attempt < 8; ++attempt) {
        m_lock = ::open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_lock < 0)
            return false;
        if (::flock(m_lock, LOCK_EX | LOCK_NB) != 0) {
            ::close(m_lock);
            m_lock = -1;
            return false;
        }
        struct stat held, current;
        if (::fstat(m_lock, &held) == 0 && ::stat(m_lockPath.c_str(), &current) == 0
            && held.st_dev == current.st_dev && held.st_ino == current.st_ino)
            return true;
        ::close(m_lock);
        m_lock = -1;
    }
    return false;
}

bool PublishedName::publish(const std::string &directory, const std::string &name,
                            const std::string &target)
{
    withdraw();
    m_link = directory + "/" + name;
    m_lockPath = directory + "/." + name + ".lock";
    m_target = target;
    if (!lock())
        return false;

    struct stat existing;
    if (::lstat(m_link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
        withdraw();
        return false;
    }

    // Made beside and renamed into place, so an opener never sees a half-made or missing name
    // while a leftover is replaced.
    const std::string temporary = directory + "/." + name + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0
        || ::rename(temporary.c_str(), m_link.c_str()) != 0) {
        ::unlink(temporary.c_str());
        withdraw();
        return false;
    }
    return true;
}

void PublishedName::withdraw()
{
    if (m_lock < 0)
        return;
    // Only our own link goes: a link that no longer points at our port is not ours to remove.
    char target[PATH_MAX];
    const ssize_t length = ::readlink(m_link.c_str(), target, sizeof target - 1);
    if (length >= 0 && m_target == std::string(target, std::size_t(length)))
        ::unlink(m_link.c_str());
    ::unlink(m_lockPath.c_str());
    ::close(m_lock);
    m_lock = -1;
}

} // namespace vserial
