#include "vserial/PortDirectory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace vserial {

namespace {

const char kOverrideVariable[] = "TALVO_VSERIAL_DIR";

bool isPrivateDirectory(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
           && (st.st_mode & 077) == 0;
}

bool isDirectory(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p, so that an override may name a directory a few levels below an existing one.
bool makeDirectories(const std::string &path)
{
    if (path.empty() || isDirectory(path))
        return !path.empty();
    const std::string::size_type slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeDirectories(path.substr(0, slash)))
        return false;
    return ::mkdir(path.c_str(), 0700) == 0 || (errno == EEXIST && isDirectory(path));
}

} // namespace

std::string portDirectoryPath()
{
    const char *override = std::getenv(kOverrideVariable);
    if (override && *override)
        return override;

    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return std::string(runtime) + "/talvo-vserial";

    const std::string userRuntime = "/run/user/" + std::to_string(::geteuid());
    if (isPrivateDirectory(userRuntime))
        return userRuntime + "/talvo-vserial";

    return "/tmp/talvo-vserial-" + std::to_string(::geteuid());
}

std::string ensurePortDirectory()
{
    const std::string path = portDirectoryPath();
    const char *override = std::getenv(kOverrideVariable);
    if (override && *override)
        return makeDirectories(path) ? path : std::string();

    // The default may sit in /tmp, where anyone can create the name before us.
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return std::string();
    return isPrivateDirectory(path) ? path : std::string();
}

bool isValidPortName(const char *name)
{
    if (!name)
        return false;
    const std::size_t length = std::strlen(name);
    if (length == 0 || length > 32)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = name[i];
        const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alnum && !(i > 0 && (c == '-' || c == '_')))
            return false;
    }
    return true;
}

} // namespace vserial
