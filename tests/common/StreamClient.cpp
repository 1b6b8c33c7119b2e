#include "StreamClient.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int connectTcp(quint16 port)
{
    // OpenSSL writes with write(2): a peer that went must fail the call, not end the test.
    static const bool sigpipeIgnored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)sigpipeIgnored;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval tv {5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const QByteArray &bytes)
{
    return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}

QByteArray fingerprint(X509 *cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!cert || !X509_digest(cert, EVP_sha256(), md, &len))
        return {};
    return QByteArray(reinterpret_cast<const char *>(md), int(len)).toHex();
}

void freeSsl(SSL *&ssl, int &fd)
{
    if (ssl)
        SSL_free(ssl);
    ssl = nullptr;
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

StreamClient::~StreamClient()
{
    freeSsl(m_stream, m_streamFd);
    freeSsl(m_control, m_controlFd);
    if (m_ctx)
        SSL_CTX_free(m_ctx);
}

bool StreamClient::readControlLine(QByteArray *line)
{
    QByteArray &pending = m_controlPending;
    while (!pending.contains('\n')) {
        char buf[512];
        const int n = SSL_read(m_control, buf, sizeof buf);
        if (n <= 0)
            return false;
        pending.append(buf, n);
    }
    const int nl = pending.indexOf('\n');
    *line = pending.left(nl);
    pending.remove(0, nl + 1);
    return true;
}

bool StreamClient::login(quint16 port, const QByteArray &token)
{
    if (!m_ctx) {
        m_ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(m_ctx, TLS1_3_VERSION);
        SSL_CTX_set_verify(m_ctx, SSL_VERIFY_NONE, nullptr);
    }
    freeSsl(m_control, m_controlFd);
    m_controlPending.clear();
    m_controlFd = connectTcp(port);
    if (m_controlFd < 0)
        return false;
    m_control = SSL_new(m_ctx);
    SSL_set_fd(m_control, m_controlFd);
    if (SSL_connect(m_control) != 1)
        return false;
    const QByteArray hello = "TALVO 2\nUSER " + token + "\n";
    QByteArray answer;
    return SSL_write(m_control, hello.constData(), hello.size()) == hello.size()
        && readControlLine(&answer) && answer == "OK";
}

QByteArray StreamClient::request(const QByteArray &sn, quint16 target)
{
    const quint64 id = m_nextId++;
    const QByteArray line = "STREAM " + QByteArray::number(id) + " " + sn + " 127.0.0.1:" + QByteArray::number(target)
                            + "\n";
    if (!m_control || SSL_write(m_control, line.constData(), line.size()) != line.size())
        return {};
    QByteArray answer;
    // PINGs of the heartbeat may come first.
    while (readControlLine(&answer) && answer == "PING") {
    }
    const QList<QByteArray> f = answer.split(' ');
    if (f.value(0) == "GRANTED" && f.size() == 5) {
        grantedJoin = f[2];
        secret = f[3];
        key = f[4];
    }
    return answer;
}

QByteArray StreamClient::join(quint16 port, const QByteArray &join)
{
    freeSsl(m_stream, m_streamFd);
    m_streamFd = connectTcp(port);
    if (m_streamFd < 0 || !sendAll(m_streamFd, "TALVO 2\nJOIN " + (join.isEmpty() ? grantedJoin : join) + "\n"))
        return {};
    // Byte by byte: what follows the answer is the panel's TLS.
    QByteArray answer;
    char c = 0;
    while (::recv(m_streamFd, &c, 1, 0) == 1 && c != '\n' && answer.size() < 1024)
        answer += c;
    return answer;
}

bool StreamClient::endToEnd(Proof proof, const QByteArray &first)
{
    m_stream = SSL_new(m_ctx);
    SSL_set_fd(m_stream, m_streamFd);
    if (SSL_connect(m_stream) != 1 || fingerprint(SSL_get0_peer_certificate(m_stream)) != key)
        return false;
    if (proof == Proof::None)
        return true;
    static const char label[] = "EXPORTER-talvo-stream-proof";
    unsigned char exported[32];
    if (SSL_export_keying_material(m_stream, exported, sizeof exported, label, sizeof label - 1, nullptr, 0, 0) != 1)
        return false;
    const QByteArray macKey = proof == Proof::Forged ? QByteArray(64, '0') : secret;
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), macKey.constData(), macKey.size(), exported, sizeof exported, mac, &len);
    return send(QByteArray(reinterpret_cast<const char *>(mac), int(len)) + first);
}

bool StreamClient::open(quint16 port, const QByteArray &sn, quint16 target, const QByteArray &token)
{
    return login(port, token) && request(sn, target).startsWith("GRANTED ") && join(port) == "OK" && endToEnd();
}

bool StreamClient::send(const QByteArray &bytes)
{
    return m_stream && SSL_write(m_stream, bytes.constData(), bytes.size()) == bytes.size();
}

QByteArray StreamClient::read(int size)
{
    QByteArray got;
    while (m_stream && got.size() < size) {
        char buf[16384];
        const int n = SSL_read(m_stream, buf, int(qMin<qsizetype>(sizeof buf, size - got.size())));
        if (n <= 0)
            break;
        got.append(buf, n);
    }
    return got;
}

bool StreamClient::echoes(const QByteArray &text)
{
    return send(text) && read(text.size()) == text;
}

int StreamClient::waitForEnd(QByteArray *received)
{
    if (!m_stream)
        return 0;
    for (;;) {
        char buf[16384];
        const int n = SSL_read(m_stream, buf, sizeof buf);
        if (n > 0) {
            if (received)
                received->append(buf, n);
            continue;
        }
        const int err = SSL_get_error(m_stream, n);
        if (err == SSL_ERROR_ZERO_RETURN)
            return 1;
        if (err == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0; // the socket's 5 s timeout
        return -1;
    }
}

void StreamClient::cut()
{
    if (m_streamFd < 0)
        return;
    linger reset {1, 0};
    ::setsockopt(m_streamFd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    // Not closed here: another thread may be in a send on it. A FIN queued now waits behind
    // the unsent bytes, so the peer sees the reset first.
    ::shutdown(m_streamFd, SHUT_RDWR);
}

int StreamClient::finish()
{
    if (!m_stream)
        return 0;
    SSL_shutdown(m_stream);
    ::shutdown(m_streamFd, SHUT_WR);
    return waitForEnd();
}
