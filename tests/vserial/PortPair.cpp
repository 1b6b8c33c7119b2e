#include "PortPair.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

int openPort(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

} // namespace

PortPair::PortPair(const QString &firstPath, const QString &secondPath)
    : m_path{firstPath, secondPath}
{
    m_fd[0] = openPort(firstPath);
    m_fd[1] = openPort(secondPath);
}

PortPair::~PortPair()
{
    close(0);
    close(1);
}

void PortPair::close(int side)
{
    if (m_fd[side] >= 0)
        ::close(m_fd[side]);
    m_fd[side] = -1;
}

bool PortPair::closeAndWaitUntilCleared(int side, int timeoutMs)
{
    const QByteArray device = QFile::encodeName(QFileInfo(m_path[side]).symLinkTarget());
    const int events = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (events < 0 || ::inotify_add_watch(events, device.constData(), IN_OPEN | IN_CLOSE) < 0) {
        if (events >= 0)
            ::close(events);
        return false;
    }
    close(side);

    // Our own close comes first; the relay's open and close follow.
    bool opened = false;
    bool closedAfterOpen = false;
    QDeadlineTimer deadline(timeoutMs);
    alignas(inotify_event) char buffer[4096];
    while (!closedAfterOpen) {
        pollfd fds{events, POLLIN, 0};
        const int remaining = int(deadline.remainingTime());
        if (remaining <= 0 || ::poll(&fds, 1, remaining) <= 0)
            break;
        const ssize_t n = ::read(events, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_OPEN)
                opened = true;
            else if (opened && (event->mask & IN_CLOSE))
                closedAfterOpen = true;
        }
    }
    ::close(events);
    return closedAfterOpen;
}

bool PortPair::reopen(int side)
{
    close(side);
    m_fd[side] = openPort(m_path[side]);
    return m_fd[side] >= 0;
}

void PortPair::exchange(const QByteArray &toSecond, const QByteArray &toFirst,
                        QByteArray *atSecond, QByteArray *atFirst, int timeoutMs)
{
    const QByteArray *out[2] = {&toSecond, &toFirst};
    QByteArray *in[2] = {atFirst, atSecond};
    qint64 written[2] = {0, 0};
    in[0]->clear();
    in[1]->clear();

    QDeadlineTimer deadline(timeoutMs);
    char buffer[65536];
    while (in[1]->size() < toSecond.size() || in[0]->size() < toFirst.size()) {
        pollfd fds[2];
        for (int side = 0; side < 2; ++side) {
            fds[side].fd = m_fd[side];
            fds[side].events = POLLIN | (written[side] < out[side]->size() ? POLLOUT : 0);
            fds[side].revents = 0;
        }
        const int remaining = int(deadline.remainingTime());
        if (remaining <= 0 || ::poll(fds, 2, remaining) <= 0)
            return;
        for (int side = 0; side < 2; ++side) {
            if (fds[side].revents & POLLOUT) {
                const ssize_t n = ::write(m_fd[side], out[side]->constData() + written[side],
                                          size_t(out[side]->size() - written[side]));
                if (n > 0)
                    written[side] += n;
            }
            if (fds[side].revents & POLLIN) {
                const ssize_t n = ::read(m_fd[side], buffer, sizeof buffer);
                if (n > 0)
                    in[side]->append(buffer, int(n));
            }
        }
    }
}

qint64 PortPair::writeAll(int side, const QByteArray &bytes, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    qint64 written = 0;
    while (written < bytes.size()) {
        pollfd fds{m_fd[side], POLLOUT, 0};
        const int remaining = int(deadline.remainingTime());
        if (remaining <= 0 || ::poll(&fds, 1, remaining) <= 0)
            break;
        const ssize_t n = ::write(m_fd[side], bytes.constData() + written,
                                  size_t(bytes.size() - written));
        if (n > 0)
            written += n;
    }
    return written;
}

QByteArray PortPair::read(int side, int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QByteArray bytes;
    char buffer[65536];
    while (bytes.size() < count) {
        pollfd fds{m_fd[side], POLLIN, 0};
        const int remaining = int(deadline.remainingTime());
        if (remaining <= 0 || ::poll(&fds, 1, remaining) <= 0)
            break;
        const ssize_t n = ::read(m_fd[side], buffer, sizeof buffer);
        if (n > 0)
            bytes.append(buffer, int(n));
    }
    return bytes;
}

bool PortPair::waitReadable(int side, int timeoutMs)
{
    pollfd fds{m_fd[side], POLLIN, 0};
    return ::poll(&fds, 1, timeoutMs) == 1 && (fds.revents & POLLIN);
}
