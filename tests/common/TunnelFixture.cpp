#include "TunnelFixture.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

const char *const kRelayBinary = TALVO_RELAY_BIN;
const char *const kPanelBinary = TALVO_PANEL_BIN;

ToolProcess::~ToolProcess()
{
    kill();
}

bool ToolProcess::start(const QString &program, const QString &configPath)
{
    m_output.clear();
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(program, {QStringLiteral("--config"), configPath});
    return m_process.waitForStarted(5000);
}

QString ToolProcess::output()
{
    m_output += m_process.readAll();
    return QString::fromUtf8(m_output);
}

bool ToolProcess::waitForOutput(const QString &needle, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!output().contains(needle)) {
        if (deadline.hasExpired() || m_process.state() != QProcess::Running)
            return output().contains(needle);
        m_process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    return true;
}

int ToolProcess::count(const QString &needle)
{
    return output().count(needle);
}

void ToolProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
    output();
}

bool RelayFixture::start(quint16 port, const QString &extra)
{
    const QString config = QStringLiteral("[relay]\nlisten=127.0.0.1:%1\n%2\n"
                                          "[panels]\nSN1=secret-1\nSN2=secret-2\nSN9=secret-9\n"
                                          "[users]\ntoken-a=SN*\ntoken-b=OTHER\n")
                               .arg(port)
                               .arg(extra);
    if (!saveFile(configPath(), config.toUtf8()) || !m_process.start(kRelayBinary, configPath())
        || !m_process.waitForOutput(QStringLiteral("fingerprint ")))
        return false;
    const QString out = m_process.output();
    const auto portMatch = QRegularExpression(QStringLiteral("listening on \\S*:(\\d+)")).match(out);
    const auto fpMatch = QRegularExpression(QStringLiteral("fingerprint ([0-9a-f]{64})")).match(out);
    if (!portMatch.hasMatch() || !fpMatch.hasMatch())
        return false;
    m_port = quint16(portMatch.captured(1).toUInt());
    m_fingerprint = fpMatch.captured(1);
    return true;
}

QString writePanelConfig(const QString &dir, const QString &name, const QString &sn, const QString &secret,
                         quint16 relayPort, const QString &fingerprint, const QStringList &targets,
                         const QStringList &panelLines)
{
    const QString path = dir + "/" + name;
    const QString text = QStringLiteral("[panel]\nsn=%1\nsecret=%2\nrelay=127.0.0.1:%3\nfingerprint=%4\n%5\n[targets]\n%6\n")
                             .arg(sn, secret)
                             .arg(relayPort)
                             .arg(fingerprint, panelLines.join('\n'), targets.join('\n'));
    saveFile(path, text.toUtf8());
    return path;
}

QString writeTunnelConfig(const QString &path, quint16 relayPort, const QString &fingerprint, const QString &token)
{
    saveFile(path, QStringLiteral("[tunnel]\nrelay=127.0.0.1:%1\nfingerprint=%2\ntoken=%3\n")
                        .arg(relayPort)
                        .arg(fingerprint, token)
                        .toUtf8());
    return path;
}

EchoServer::EchoServer()
{
    listen(QHostAddress::LocalHost, 0);
}

void EchoServer::incomingConnection(qintptr fd)
{
    auto *socket = new QTcpSocket(this);
    socket->setSocketDescriptor(fd);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->write(socket->readAll()); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

RelayClient::RelayClient()
{
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    QObject::connect(&socket, &QSslSocket::readyRead, [this] { received += socket.readAll(); });
}

bool RelayClient::connectTo(quint16 port, const QString &fingerprint)
{
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForEncrypted(5000))
        return false;
    return fingerprint.isEmpty()
        || QCryptographicHash::hash(socket.peerCertificate().toDer(), QCryptographicHash::Sha256).toHex()
               == fingerprint.toLatin1();
}

void RelayClient::send(quint16 port, const QByteArray &request)
{
    QObject::connect(&socket, &QSslSocket::encrypted, [this, request] { socket.write(hello() + request); });
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
}

bool RelayClient::ask(quint16 port, const QByteArray &request, const QString &fingerprint)
{
    return askRaw(port, hello() + request, fingerprint);
}

bool RelayClient::askRaw(quint16 port, const QByteArray &request, const QString &fingerprint)
{
    if (!connectTo(port, fingerprint))
        return false;
    socket.write(request);
    return waitForLine();
}

bool RelayClient::waitForLine(int timeoutMs)
{
    return QTest::qWaitFor([&] { return answered() || socket.state() != QAbstractSocket::ConnectedState; }, timeoutMs)
        && answered();
}

bool RelayClient::closed(int timeoutMs)
{
    return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
}

bool RelayClient::echoes(const QByteArray &text, int timeoutMs)
{
    socket.write(text);
    return QTest::qWaitFor([&] { return received.contains(text) || socket.state() != QAbstractSocket::ConnectedState; },
                           timeoutMs)
        && received.contains(text);
}

LocalClient::LocalClient()
{
    QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
}

bool LocalClient::connectTo(quint16 port)
{
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(3000);
}

bool LocalClient::echoes(const QByteArray &data, int timeoutMs)
{
    received.clear();
    socket.write(data);
    return QTest::qWaitFor([&] { return received.size() >= data.size(); }, timeoutMs) && received == data;
}

bool LocalClient::closedByPeer(int timeoutMs)
{
    return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
}

bool refusesConnections(quint16 port)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    return !s.waitForConnected(2000);
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}
