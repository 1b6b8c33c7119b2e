#include "vserial/PseudoTerminal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace vserial {

namespace {

// A terminal's default line discipline echoes, maps CR to NL, stops on ^S and turns ^C into
// a signal: any of that would alter the bytes a PLC protocol carries. The settings stay with
// the pseudo-terminal across its users' opens and closes.
bool makeRaw(int fd)
{
    termios settings;
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

// Close-on-exec: a child the host process starts must not hold a port open.
int openSlave(const std::string &path)
{
    return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

} // namespace

PseudoTerminal::~PseudoTerminal()
{
    if (m_master >= 0)
        ::close(m_master);
}

bool PseudoTerminal::open()
{
    m_master = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0)
        return false;

    char path[PATH_MAX];
    bool ready = ::grantpt(m_master) == 0 && ::unlockpt(m_master) == 0
                 && ::ptsname_r(m_master, path, sizeof path) == 0;
    if (ready) {
        m_slavePath = path;
        // Opened once and closed again: that sets the line up, and the close puts the master
        // into the same hung-up state that every later "no users" has.
        const int slave = openSlave(m_slavePath);
        ready = slave >= 0 && makeRaw(slave) && makeRaw(m_master);
        const int saved = errno;
        if (slave >= 0)
            ::close(slave);
        errno = saved;
    }
    if (!ready) {
        const int saved = errno;
        ::close(m_master);
        m_master = -1;
        errno = saved;
    }
    return ready;
}

bool PseudoTerminal::hasUsers() const
{
    pollfd fds{m_master, 0, 0};
    return ::poll(&fds, 1, 0) == 0 || !(fds.revents & POLLHUP);
}

void PseudoTerminal::dropStaleInput()
{
    const int slave = openSlave(m_slavePath);
    if (slave < 0)
        return;
    ::tcflush(slave, TCIFLUSH);
    ::close(slave);
}

} // namespace vserial
