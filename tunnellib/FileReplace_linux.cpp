#include "tunnellib/FileReplace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tunnellib {

bool replaceFile(const std::string &path, const std::string &bytes, std::string *error)
{
    // Named per process: two hosts of the library may write the same folder's file.
    const std::string temp = path + "." + std::to_string(::getpid()) + ".tmp";
    const auto fail = [&](const std::string &what) {
        if (error)
            *error = what + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    };
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error)
            *error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return fail("cannot write " + temp);
        }
        done += std::size_t(n);
    }
    // On disk before the rename: after a power cut the name must not point at an empty file.
    if (::fsync(fd) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return fail("cannot write " + temp);
    }
    if (::close(fd) != 0)
        return fail("cannot write " + temp);
    if (std::rename(temp.c_str(), path.c_str()) != 0)
        return fail("cannot replace " + path);
    return true;
}

} // namespace tunnellib
