#include "vserial/PairRelay.h"

#include "vserial/PseudoTerminal.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <system_error>
#include <unistd.h>

namespace vserial {

namespace {

// One read per direction at a time; 64 KiB moves a large burst in few system calls.
constexpr std::size_t kChunk = 64 * 1024;

// A port without users is only looked at again when someone opens it. inotify says so at
// once; where it cannot watch the port, the relay looks this often instead.
constexpr int kRecheckMs = 50;

} // namespace

PairRelay::PairRelay(PseudoTerminal &first, PseudoTerminal &second)
    : m_ports{&first, &second}
{
    m_towards[0].bytes.resize(kChunk);
    m_towards[1].bytes.resize(kChunk);
}

PairRelay::~PairRelay()
{
    stop();
    if (m_openings >= 0)
        ::close(m_openings);
    if (m_wake >= 0)
        ::close(m_wake);
}

bool PairRelay::start()
{
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0)
        return false;

    // Only a wake-up: the truth about users comes from the master's hang-up state, so merged
    // or lost events cannot mislead the relay.
    m_openings = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    for (PseudoTerminal *port : m_ports) {
        if (m_openings >= 0 && ::inotify_add_watch(m_openings, port->slavePath().c_str(), IN_OPEN) < 0) {
            ::close(m_openings);
            m_openings = -1;
        }
    }

    try {
        m_thread = std::thread(&PairRelay::run, this);
    } catch (const std::system_error &e) {
        errno = e.code().value();
        return false;
    }
    return true;
}

void PairRelay::stop()
{
    if (!m_thread.joinable())
        return;
    const std::uint64_t one = 1;
    while (::write(m_wake, &one, sizeof one) < 0 && errno == EINTR) {
    }
    m_thread.join();
}

// A master is only polled for what the relay can act upon: a hung-up master reports POLLHUP
// whatever is asked, and polling it while nothing can be done would spin.
short PairRelay::eventsFor(int side) const
{
    const Direction &from = m_towards[1 - side];
    const Direction &to = m_towards[side];
    switch (m_users[side]) {
    case Users::Present:
        return short((from.pending() ? 0 : POLLIN) | (to.pending() ? POLLOUT : 0));
    case Users::Draining:
        return from.pending() ? 0 : POLLIN;
    case Users::Gone:
        break;
    }
    return 0;
}

void PairRelay::run()
{
    for (;;) {
        noticeUsers();

        pollfd fds[4] = {};
        fds[0] = {m_wake, POLLIN, 0};
        fds[1] = {m_openings, POLLIN, 0};
        bool anyGone = false;
        for (int side = 0; side < 2; ++side) {
            const short events = eventsFor(side);
            fds[2 + side] = {events ? m_ports[side]->master() : -1, events, 0};
            anyGone = anyGone || m_users[side] != Users::Present;
        }

        const int timeout = anyGone && m_openings < 0 ? kRecheckMs : -1;
        if (::poll(fds, 4, timeout) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents) {
            char events[4096];
            while (::read(m_openings, events, sizeof events) > 0) {
            }
        }

        for (int side = 0; side < 2; ++side) {
            const short revents = fds[2 + side].revents;
            if (!revents)
                continue;
            if ((revents & POLLHUP) && m_users[side] == Users::Present)
                usersLeft(side);
            // Errors other than a hang-up mean the pseudo-terminal itself broke: this pair can
            // relay no more.
            if (m_towards[side].pending() && !flush(side))
                return;
            if (!m_towards[1 - side].pending() && (revents & (POLLIN | POLLHUP | POLLERR))
                && !fill(side))
                return;
        }
    }
}

void PairRelay::noticeUsers()
{
    for (int side = 0; side < 2; ++side) {
        if (m_users[side] != Users::Present && m_ports[side]->hasUsers())
            m_users[side] = Users::Present;
    }
}

void PairRelay::usersLeft(int side)
{
    // What was on its way to them has nobody to go to; what they wrote may still be read.
    m_towards[side].clear();
    m_users[side] = Users::Draining;
    m_ports[side]->dropStaleInput();
}

bool PairRelay::fill(int from)
{
    const int to = 1 - from;
    Direction &direction = m_towards[to];
    const ssize_t n = ::read(m_ports[from]->master(), direction.bytes.data(), direction.bytes.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n < 0 && errno != EIO)
        return false;
    if (n <= 0) {
        // Hung up and empty: the last user has gone and left nothing more.
        if (m_users[from] == Users::Present)
            usersLeft(from);
        m_users[from] = Users::Gone;
        return true;
    }
    // Decided now, not from the last look: someone may have just opened the port.
    if (m_users[to] != Users::Present && !m_ports[to]->hasUsers())
        return true;
    m_users[to] = Users::Present;
    direction.begin = 0;
    direction.end = std::size_t(n);
    return flush(to);
}

bool PairRelay::flush(int to)
{
    Direction &direction = m_towards[to];
    while (direction.pending()) {
        const ssize_t n = ::write(m_ports[to]->master(), direction.bytes.data() + direction.begin,
                                  direction.end - direction.begin);
        if (n > 0) {
            direction.begin += std::size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && errno == EAGAIN;
        }
    }
    direction.clear();
    return true;
}

} // namespace vserial
