#include "bridge/CaptureDevice.h"

#include "bridge/BridgeHelper.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {
// One message per frame, tagged, as the helper sends them.
constexpr char kFrame = 'F';
constexpr char kReady = 'R';
constexpr char kError = 'E';
constexpr int kMaxMessage = 65536 + 1;
// The helper answers within milliseconds; a helper that hangs must not hang the window.
constexpr int kStartTimeoutMs = 5000;
constexpr int kExitTimeoutMs = 1000;
// Room for a burst of injected frames while the helper is busy capturing.
constexpr int kSocketBuffer = 4 * 1024 * 1024;

// The capture runs in the helper; frames cross a socket pair to and from it.
class HelperCapture : public CaptureDevice
{
public:
    HelperCapture(pid_t pid, int fd)
        : m_pid(pid)
        , m_fd(fd)
        , m_buffer(kMaxMessage, '\0')
    {
    }

    ~HelperCapture() override
    {
        // The helper ends when its socket closes; one that does not is killed.
        ::close(m_fd);
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

    bool waitForFrame(int timeoutMs) override
    {
        pollfd p{m_fd, POLLIN, 0};
        return poll(&p, 1, timeoutMs) > 0;
    }

    int read(const unsigned char **data, int *length) override
    {
        const ssize_t n = recv(m_fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR ? 0 : fail(QString::fromLocal8Bit(std::strerror(errno)));
        if (n == 0)
            return fail(QStringLiteral("the capture helper ended"));
        if (m_buffer[0] == kError)
            return fail(QString::fromLocal8Bit(m_buffer.constData() + 1, int(n - 1)));
        if (m_buffer[0] != kFrame || n < 2)
            return 0;
        *data = reinterpret_cast<const unsigned char *>(m_buffer.constData() + 1);
        *length = int(n - 1);
        return 1;
    }

    bool inject(const unsigned char *data, int length) override
    {
        char tag = kFrame;
        iovec parts[2] = {{&tag, 1}, {const_cast<unsigned char *>(data), size_t(length)}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        // Never blocks the caller: a frame that finds the socket full is lost, as on a wire.
        return sendmsg(m_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) == ssize_t(length) + 1;
    }

    QString errorText() const override { return m_error; }

private:
    int fail(const QString &why)
    {
        m_error = why;
        return -1;
    }

    pid_t m_pid;
    int m_fd;
    QByteArray m_buffer;
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
