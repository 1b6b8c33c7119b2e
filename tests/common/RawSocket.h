#pragma once

#include <QByteArray>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

// A blocking TCP connection on loopback, for peers that must see exactly what the wire
// carries: a half-close as a half-close, a reset as a reset. Every call is bounded (5 s).
class RawSocket
{
public:
    RawSocket() = default;
    explicit RawSocket(quint16 port) { connectTo(port); }
    ~RawSocket() { close(); }
    RawSocket(const RawSocket &) = delete;
    RawSocket &operator=(const RawSocket &) = delete;

    bool connectTo(quint16 port)
    {
        close();
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv {5, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    bool send(const QByteArray &b) { return ::send(m_fd, b.constData(), size_t(b.size()), MSG_NOSIGNAL) == b.size(); }
    // One line, read byte by byte so that nothing after it is taken.
    QByteArray line()
    {
        QByteArray l;
        char c = 0;
        while (::recv(m_fd, &c, 1, 0) == 1 && c != '\n' && l.size() < 4096)
            l += c;
        return l;
    }
    QByteArray read(int n)
    {
        QByteArray got;
        while (got.size() < n) {
            char buf[65536];
            const auto r = ::recv(m_fd, buf, size_t(qMin<int>(sizeof buf, n - got.size())), 0);
            if (r <= 0)
                break;
            got.append(buf, int(r));
        }
        return got;
    }
    // Reads to the end: 1 for a clean end (FIN), -1 for a reset, 0 for neither within 5 s.
    int end(QByteArray *received = nullptr)
    {
        for (;;) {
            char buf[65536];
            const auto r = ::recv(m_fd, buf, sizeof buf, 0);
            if (r > 0) {
                if (received)
                    received->append(buf, int(r));
                continue;
            }
            if (r == 0)
                return 1;
            return errno == ECONNRESET ? -1 : 0;
        }
    }
    void shutdownSend() { ::shutdown(m_fd, SHUT_WR); }
    // Closes with RST: the peer's next read fails.
    void abort()
    {
        linger l {1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close();
    }
    // Hands the connection over (to a QSslSocket, say), with nothing read past what was asked.
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};
