#include "bridge/CaptureDevice.h"

#include "bridge/BridgeHelper.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

namespace {
// One message per frame, tagged, as the helper sends them.
constexpr char kFrame = 'F';
constexpr char kReady = 'R';
constexpr char kError = 'E';
// The helper answers within milliseconds; a helper that hangs must not hang the window.
constexpr int kStartTimeoutMs = 5000;
constexpr int kExitTimeoutMs = 1000;
// Room for a burst of injected frames while the helper is busy capturing.
constexpr int kSocketBuffer = 4 * 1024 * 1024;
// Frames taken from the helper in one system call. A slot holds any frame the link carries;
// a longer message (the helper's snapshot allows more) is cut and dropped.
// Frames to inject that find the helper's socket full wait here, up to this many bytes,
// instead of being lost to a burst the helper takes a moment to work off (the socket holds
// only a few hundred small frames where the system limits its buffer to the default).
constexpr std::size_t kMaxPendingInject = 1024 * 1024;
constexpr unsigned kReadSlots = 64;
constexpr unsigned kInjectBatch = 64;
constexpr std::size_t kSlotBytes = 2048;

// The capture runs in the helper; frames cross a socket pair to and from it.
class HelperCapture : public CaptureDevice
{
public:
    HelperCapture(pid_t pid, int fd)
        : m_pid(pid)
        , m_fd(fd)
        , m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
        , m_slots(int(kReadSlots * kSlotBytes), Qt::Uninitialized)
    {
        for (unsigned i = 0; i < kReadSlots; ++i) {
            m_parts[i] = {m_slots.data() + i * kSlotBytes, kSlotBytes};
            m_messages[i].msg_hdr.msg_iov = &m_parts[i];
            m_messages[i].msg_hdr.msg_iovlen = 1;
        }
    }

    ~HelperCapture() override
    {
        // The helper ends when its socket closes; one that does not is killed.
        ::close(m_fd);
        if (m_wake >= 0)
            ::close(m_wake);
        QElapsedTimer waited;
        waited.start();
        while (waitpid(m_pid, nullptr, WNOHANG) == 0) {
            if (waited.elapsed() > kExitTimeoutMs) {
                ::kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
                break;
            }
            pollfd none{-1, 0, 0};
            poll(&none, 0, 5);
        }
    }

    // Also where frames held back by a full socket move on: the wake-up descriptor ends the
    // wait when the first one is held, the socket's room when there is some.
    bool waitForFrame(int timeoutMs) override
    {
        if (m_next < m_received)
            return true;
        bool pending;
        {
            std::lock_guard<std::mutex> lock(m_outLock);
            pending = !m_pending.empty();
        }
        pollfd p[2] = {{m_fd, short(POLLIN | (pending ? POLLOUT : 0)), 0}, {m_wake, POLLIN, 0}};
        if (poll(p, m_wake >= 0 ? 2 : 1, pending && m_wake < 0 ? std::min(timeoutMs, 1) : timeoutMs) < 0)
            return false;
        if (p[1].revents & POLLIN) {
            eventfd_t ignored;
            eventfd_read(m_wake, &ignored);
        }
        if (pending || (p[1].revents & POLLIN)) {
            std::lock_guard<std::mutex> lock(m_outLock);
            sendPending();
        }
        return (p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }

    // The helper's messages are taken a batch at a time and handed out one by one.
    int read(const unsigned char **data, int *length) override
    {
        if (m_next == m_received) {
            m_next = m_received = 0;
            // MSG_TRUNC: a cut message says how long it was.
            const int n = recvmmsg(m_fd, m_messages, kReadSlots, MSG_DONTWAIT | MSG_TRUNC, nullptr);
            if (n < 0)
                return errno == EAGAIN || errno == EINTR ? 0 : fail(QString::fromLocal8Bit(std::strerror(errno)));
            m_received = unsigned(n);
        }
        if (m_next == m_received)
            return 0;
        const unsigned i = m_next++;
        const std::size_t n = m_messages[i].msg_len;
        const char *message = m_slots.constData() + i * kSlotBytes;
        if (n == 0)
            return fail(QStringLiteral("the capture helper ended"));
        if (message[0] == kError)
            return fail(QString::fromLocal8Bit(message + 1, int(std::min(n, kSlotBytes) - 1)));
        if (message[0] != kFrame || n < 2)
            return 0;
        if (n > kSlotBytes) {
            // Longer than any frame the link carries (merged by offloading, or a jumbo frame):
            // its bytes are not all here, and the tunnel would refuse it anyway.
            if (++m_tooLong == 1 || m_tooLong % 1000 == 0)
                qWarning() << "CaptureDevice: frame of" << n - 1 << "bytes, longer than the link carries, dropped;"
                           << m_tooLong << "so far";
            return 0;
        }
        *data = reinterpret_cast<const unsigned char *>(message + 1);
        *length = int(n - 1);
        return 1;
    }

    bool inject(const unsigned char *data, int length) override
    {
        std::lock_guard<std::mutex> lock(m_outLock);
        // Frames keep their order: while some are held back, a new one joins them.
        if (sendPending() && sendFrame(data, length))
            return true;
        if (errno != EAGAIN && errno != EWOULDBLOCK && m_pending.empty())
            return false;
        return hold(data, length);
    }

    // A read from the tunnel brings many frames: they go to the helper in one sendmmsg.
    void injectAll(const QVector<QByteArray> &frames) override
    {
        std::lock_guard<std::mutex> lock(m_outLock);
        int next = 0;
        if (!sendPending() && m_pending.empty())
            return; // the helper is gone: the read side reports it
        if (m_pending.empty()) {
            while (next < frames.size()) {
                const unsigned batch = unsigned(std::min<int>(frames.size() - next, int(kInjectBatch)));
                for (unsigned i = 0; i < batch; ++i) {
                    const QByteArray &frame = frames.at(next + int(i));
                    m_injectParts[i][0] = {const_cast<char *>(&kFrame), 1};
                    m_injectParts[i][1] = {const_cast<char *>(frame.constData()), std::size_t(frame.size())};
                    m_injectMessages[i] = {};
                    m_injectMessages[i].msg_hdr.msg_iov = m_injectParts[i];
                    m_injectMessages[i].msg_hdr.msg_iovlen = 2;
                }
                const int n = sendmmsg(m_fd, m_injectMessages, batch, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n <= 0) {
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                        return; // the helper is gone: the read side reports it
                    break;
                }
                next += n;
            }
        }
        // What the socket did not take waits, in order, within the same bound as single frames.
        for (; next < frames.size(); ++next)
            if (!hold(reinterpret_cast<const unsigned char *>(frames.at(next).constData()), frames.at(next).size()))
                return;
    }

    QString errorText() const override { return m_error; }

private:
    // Keeps a frame the socket has no room for, up to the bound. Under m_outLock.
    bool hold(const unsigned char *data, int length)
    {
        if (m_pendingBytes + std::size_t(length) > kMaxPendingInject) {
            // The helper stopped taking frames: beyond the bound they are lost, as on a
            // congested wire, and memory stays where it is.
            if (++m_injectDropped == 1 || m_injectDropped % 1000 == 0)
                qWarning() << "CaptureDevice: the capture helper does not keep up, frames to inject dropped;"
                           << m_injectDropped << "so far";
            return false;
        }
        if (m_pending.empty() && m_wake >= 0)
            eventfd_write(m_wake, 1);
        m_pending.emplace_back(data, data + length);
        m_pendingBytes += std::size_t(length);
        return true;
    }

    bool sendFrame(const unsigned char *data, std::size_t length)
    {
        char tag = kFrame;
        iovec parts[2] = {{&tag, 1}, {const_cast<unsigned char *>(data), length}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        // Never blocks the caller: the GUI thread injects.
        return sendmsg(m_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) == ssize_t(length) + 1;
    }

    // True when nothing is held back any more. Under m_outLock.
    bool sendPending()
    {
        while (!m_pending.empty()) {
            const std::vector<unsigned char> &frame = m_pending.front();
            if (!sendFrame(frame.data(), frame.size())) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return false;
                // The helper is gone: the read side reports it.
                m_pending.clear();
                m_pendingBytes = 0;
                return false;
            }
            m_pendingBytes -= frame.size();
            m_pending.pop_front();
        }
        return true;
    }

    int fail(const QString &why)
    {
        m_error = why;
        return -1;
    }

    pid_t m_pid;
    int m_fd;
    int m_wake;
    std::mutex m_outLock; // the GUI thread injects, the capture thread moves held frames on
    std::deque<std::vector<unsigned char>> m_pending;
    std::size_t m_pendingBytes = 0;
    quint64 m_injectDropped = 0;
    QByteArray m_slots;
    iovec m_injectParts[kInjectBatch][2]{};
    mmsghdr m_injectMessages[kInjectBatch]{};
    iovec m_parts[kReadSlots]{};
    mmsghdr m_messages[kReadSlots]{};
    unsigned m_received = 0;
    unsigned m_next = 0;
    quint64 m_tooLong = 0;
    QString m_error;
};

// Waits for the helper's first word: ready, or why it could not capture.
bool awaitReady(int fd, QString *error)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kStartTimeoutMs) <= 0) {
        *error = QStringLiteral("the capture helper did not answer");
        return false;
    }
    char answer[512];
    const ssize_t n = recv(fd, answer, sizeof answer, 0);
    if (n >= 1 && answer[0] == kReady)
        return true;
    if (n >= 1 && answer[0] == kError)
        *error = QString::fromLocal8Bit(answer + 1, int(n - 1));
    else
        *error = QStringLiteral("the capture helper could not start (missing, or not granted its "
                                "capabilities: run setup-adapter)");
    return false;
}
}

QString BridgeHelper::path()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/talvo-bridge-helper");
}

std::unique_ptr<CaptureDevice> CaptureDevice::open(const QString &name, const QString &filter,
                                                   int, QString *error)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    for (int fd : pair) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
    }
    const QByteArray program = QFile::encodeName(BridgeHelper::path());
    const QByteArray device = name.toLocal8Bit();
    const QByteArray filterText = filter.toLatin1();
    std::vector<char *> argv{const_cast<char *>(program.constData()), const_cast<char *>("capture"),
                             const_cast<char *>(device.constData()), const_cast<char *>("--fd"),
                             const_cast<char *>("3")};
    if (!filter.isEmpty()) {
        argv.push_back(const_cast<char *>("--filter"));
        argv.push_back(const_cast<char *>(filterText.constData()));
    }
    argv.push_back(nullptr);

    // The helper's end becomes its descriptor 3; dup2 clears close-on-exec on the copy only.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
    pid_t pid = -1;
    char *const environment[] = {nullptr};
    const int spawned = posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), environment);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    if (spawned != 0) {
        ::close(pair[0]);
        *error = QStringLiteral("cannot start %1: %2")
                     .arg(BridgeHelper::path(), QString::fromLocal8Bit(std::strerror(spawned)));
        return nullptr;
    }
    auto capture = std::make_unique<HelperCapture>(pid, pair[0]);
    if (!awaitReady(pair[0], error))
        return nullptr;
    return capture;
}

// Listing interfaces needs no privilege: sysfs shows them all.
bool CaptureDevice::list(QList<QPair<QString, QString>> *devices, QString *error)
{
    const QDir net(QStringLiteral("/sys/class/net"));
    if (!net.exists()) {
        *error = QStringLiteral("/sys/class/net is not there");
        return false;
    }
    for (const QString &name : net.entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot))
        devices->append({name, QString()});
    return true;
}

// The helper links libpcap itself; whether it may capture is the adapter's check.
QString CaptureDevice::libraryProblem()
{
    return QString();
}
