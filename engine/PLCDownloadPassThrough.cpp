#include "engine/PLCDownloadPassThrough.h"

#include "devices/VirtualPortsManager.h"
#include "engine/EventWait.h"
#include "engine/PcSerialPort.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMetaMethod>
#include <QPointer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

PLCDownloadPassThrough::PLCDownloadPassThrough(QObject *parent)
    : QObject(parent)
    , m_tunnelClients(defaultTunnelClients())
    , m_wait(EventWait::standard())
{
}

PLCDownloadPassThrough::~PLCDownloadPassThrough()
{
    // Tear down like a disconnect, but nothing may reconnect, and the socket's last
    // "disconnected" must not reach an engine that is going away.
    m_bStopReconnect = true;
    if (_socketTunnel)
        _socketTunnel->disconnect(this);
    disconnectDevice();
}

void PLCDownloadPassThrough::setDeviceSn(const QString &sn)
{
    m_strDeviceSn = sn;
}

void PLCDownloadPassThrough::setPcapDevice(const QString &name)
{
    m_strPcapDevice = name;
    m_strComPort.clear();
    m_bComMode = false;
}

void PLCDownloadPassThrough::setComPort(const QString &name)
{
    m_strComPort = name;
    m_strPcapDevice.clear();
    m_bComMode = true;
}

void PLCDownloadPassThrough::setStopReconnect(bool stop)
{
    m_bStopReconnect = stop;
}

void PLCDownloadPassThrough::setTunnelClients(TunnelClientFactory factory)
{
    m_tunnelClients = factory ? std::move(factory) : defaultTunnelClients();
}

void PLCDownloadPassThrough::setEventWait(EventWait *wait)
{
    m_wait = wait ? wait : EventWait::standard();
}

void PLCDownloadPassThrough::setConnectTimeout(int ms)
{
    m_connectTimeoutMs = ms;
}

void PLCDownloadPassThrough::setState(State s)
{
    if (m_state == s)
        return;
    m_state = s;
    emit stateChanged(s);
}

// ---- opening and closing ----

bool PLCDownloadPassThrough::connectDevice()
{
    if (m_state == ChannelCreated || m_state == DeviceReady) {
        qWarning() << "PLCDownloadPassThrough::connectDevice: The object has already connected";
        return false;
    }
    setState(NetworkConnecting);
    ensureSocket();
    if (!m_bComMode)
        return true;
    if (!m_strComPort.startsWith(QLatin1String("COM")))
        return true;
    QString why;
    if (!ensureSerialPort(&why)) {
        emit message(QStringLiteral("Com31 Failed to Open! ") + why);
        return false;
    }
    if (_socketTunnel)
        _socketTunnel->write(QByteArray::fromStdString(framing::portAnnouncement(m_strComPort.toStdString())));
    return true;
}

void PLCDownloadPassThrough::ensureSocket()
{
    const std::unique_ptr<VNCTunnelConnect> tunnel = m_tunnelClients();
    tunnel->SetDevId(m_strDeviceSn);
    bool started = false;
    if (tunnel->TunnelState() != 0) {
        if (tunnel->StarTunnel() != 0) {
            qWarning() << "PLCDownloadPassThrough::ensureSocket TunnelStart error";
            emit message(QStringLiteral("1"));
            emit closeChannal();
            return;
        }
        started = true;
        QPointer<PLCDownloadPassThrough> self(this);
        m_wait->wait(kTunnelStartWaitMs);
        if (!self)
            return;
    }

    tunnel->ConnectDelHmi();
    if (started)
        qDebug() << "ConnectAddHmi";
    const int r = tunnel->ConnectAddHmi();
    qDebug() << " bvncConn = vncConnect->ConnectAddHmi() " << r;
    if (r != 0) {
        emit message(QStringLiteral("0"));
        emit closeChannal();
        return;
    }

    releaseSocket();
    // A new connection starts a new stream: nothing half-read on the old one carries over,
    // nor frames the old one did not send.
    m_recvBuffer.reset();
    m_pendingFrames.clear();
    _socketTunnel = new QTcpSocket(this);
    connect(_socketTunnel, &QTcpSocket::readyRead, this, &PLCDownloadPassThrough::readSocketTunnel);
    connect(_socketTunnel, &QAbstractSocket::errorOccurred, this,
            &PLCDownloadPassThrough::dealTunnelSocketError);
    connect(_socketTunnel, &QTcpSocket::connected, this, &PLCDownloadPassThrough::onSocketConnected);
    connect(_socketTunnel, &QTcpSocket::disconnected, this, &PLCDownloadPassThrough::onSocketDisconnected);
    _socketTunnel->connectToHost(QHostAddress::LocalHost, kTunnelPort, QIODevice::ReadWrite);
    setState(ChannelCreated);
}

// A socket that is being replaced says nothing more: its late "disconnected" would close
// the channel that replaces it.
void PLCDownloadPassThrough::releaseSocket()
{
    if (!_socketTunnel)
        return;
    QTcpSocket *old = _socketTunnel;
    _socketTunnel = nullptr;
    old->disconnect(this);
    old->abort();
    old->deleteLater();
}

void PLCDownloadPassThrough::onSocketConnected()
{
    if (!_socketTunnel) {
        qWarning() << "PLCDownloadPassThrough::onSocketConnected: The socket is null";
        return;
    }
    qDebug() << "onSocketConnected m_strPcapDevice === " << m_strPcapDevice;
    // Each write is a whole batch of frames or bytes: holding a small one back until the
    // previous is acknowledged (Nagle) only delays the PLC's replies and a transfer's ACKs.
    _socketTunnel->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    _socketTunnel->write(QByteArray::fromStdString(framing::modeAnnouncement(m_strPcapDevice.toStdString())));
    setState(DeviceConnecting);
    startConnectTimer(m_connectTimeoutMs);
    emit message(QObject::tr("正在创建通道，请稍等..."));
}

void PLCDownloadPassThrough::onSocketDisconnected()
{
    emit message(QStringLiteral("Tunnel socket is disconnected!"));
    emit closeChannal();
    if (m_bStopReconnect)
        return;
    QPointer<PLCDownloadPassThrough> self(this);
    const bool waited = m_wait->wait(kReconnectWaitMs);
    // The operator may have closed the channel during the wait, or the application may be
    // quitting: then nothing reconnects.
    if (!self || !waited || m_bStopReconnect)
        return;
    emit message(QStringLiteral("  "));
    connectDevice();
}

void PLCDownloadPassThrough::dealTunnelSocketError(QAbstractSocket::SocketError)
{
    if (!_socketTunnel) {
        qWarning() << "PLCDownloadPassThrough::dealTunnelSocketError: The socketTunnel is null";
        return;
    }
    qDebug() << tr("TunnelSocket错误：") << _socketTunnel->errorString();
}

void PLCDownloadPassThrough::disconnectDevice()
{
    qDebug() << "PLCDownloadPassThrough::disconnectDevice()";
    stopConnectTimer();
    if (m_state == ChannelCreated || m_state == DeviceReady)
        setState(Disconnecting);
    else
        setState(Idle);

    if (_socketTunnel) {
        // Aborting a connected socket reports "disconnected" at once; the nested close that
        // follows from it releases the socket, so the pointer is checked again afterwards.
        QPointer<QTcpSocket> socket = _socketTunnel;
        if (socket->isOpen()) { // a socket already closed has nobody to tell
            socket->write(QByteArray::fromStdString(framing::disconnect()));
            socket->flush();
        }
        socket->abort();
        if (socket && socket == _socketTunnel) {
            _socketTunnel = nullptr;
            socket->disconnect(this);
            socket->deleteLater();
        }
    }
    if (_serialPort) {
        _serialPort->close();
        _serialPort->disconnect(this);
        _serialPort->deleteLater();
        _serialPort = nullptr;
        VirtualPortsManager::deletePair(m_strPairPortA);
    }
}

// ---- connect time-out ----

void PLCDownloadPassThrough::startConnectTimer(int ms)
{
    if (!m_connectTimer) {
        m_connectTimer = new QTimer(this);
        m_connectTimer->setSingleShot(true);
        connect(m_connectTimer, &QTimer::timeout, this, &PLCDownloadPassThrough::onConnectTimeout);
    }
    m_connectTimer->start(ms);
}

void PLCDownloadPassThrough::stopConnectTimer()
{
    if (!m_connectTimer)
        return;
    m_connectTimer->stop();
    m_connectTimer->deleteLater();
    m_connectTimer = nullptr;
}

void PLCDownloadPassThrough::onConnectTimeout()
{
    // The socket stays open: a late answer from the panel still completes the channel.
    emit message(QStringLiteral("2"));
}

// ---- messages from the panel ----

void PLCDownloadPassThrough::readSocketTunnel()
{
    if (!_socketTunnel) {
        qWarning() << "PLCDownloadPassThrough::readSocketTunnel _socketTunnel is a nullptr";
        return;
    }
    const QByteArray read = _socketTunnel->readAll();
    const std::string_view bytes(read.constData(), size_t(read.size()));
    if (m_bComMode) {
        // Traced in the serial mode only: in the Ethernet mode a hex dump of every read costs
        // more than carrying the frames.
        qDebug() << " receive from PLC -> " << read.toHex();
        // The serial mode's reads are the PLC's bytes, plain; only a read that begins with
        // the announcement is one.
        if (framing::startsWithAnnouncement(bytes)) {
            framing::PanelStreamReader once;
            once.feed(bytes);
            takePanelMessages(once.flush());
            return;
        }
        readSerialMode(read);
        return;
    }
    // The announcement may end with the read that carries it, without its last '#'.
    takePanelMessages(m_recvBuffer.feed(bytes));
    takePanelMessages(m_recvBuffer.flush());
}

void PLCDownloadPassThrough::takePanelMessages(const std::vector<framing::PanelMessage> &messages)
{
    using framing::PanelMessage;
    QVector<QByteArray> frames;
    for (const PanelMessage &m : messages) {
        switch (m.kind) {
        case PanelMessage::Announcement: {
            qDebug() << "PCPMACIP";
            const QString mac = QString::fromStdString(m.mac);
            const QString ip = QString::fromStdString(m.ip);
            emit sendPcpMacIpAddr(mac, ip);
            stopConnectTimer();
            setState(DeviceReady);
            qDebug() << "emit sendPcpMacIpAddr(mac,ip); " << mac << ip;
            break;
        }
        case PanelMessage::Frame:
            frames.append(QByteArray::fromStdString(m.bytes));
            break;
        case PanelMessage::Dropped:
            if (++m_droppedFromPanel == 1 || m_droppedFromPanel % 1000 == 0)
                qWarning() << "PLCDownloadPassThrough: frame longer than the link carries dropped,"
                           << m.bytes.size() << "bytes;" << m_droppedFromPanel << "so far";
            break;
        case PanelMessage::Junk:
            qDebug() << "PLCDownloadPassThrough: skipped" << m.bytes.size() << "bytes that fit no message";
            break;
        }
    }
    if (frames.isEmpty())
        return;
    if (isSignalConnected(QMetaMethod::fromSignal(&PLCDownloadPassThrough::sendDatatoPcap)))
        for (QByteArray frame : frames)
            emit sendDatatoPcap(reinterpret_cast<unsigned char *>(frame.data()), frame.size());
    emit framesToPcap(frames);
}

void PLCDownloadPassThrough::readSerialMode(const QByteArray &read)
{
    using framing::SerialRead;
    // After the acceptance the port exchange is over: a PLC answer that happens to hold the
    // port tag is data for the serial port, not a second answer to swallow.
    const SerialRead taken =
        framing::classifySerialRead(std::string_view(read.constData(), size_t(read.size())), m_state == DeviceReady);
    switch (taken.kind) {
    case SerialRead::PortRefused:
        stopConnectTimer();
        emit message(QStringLiteral("Device COM is null!"));
        return;
    case SerialRead::PortAccepted: {
        stopConnectTimer();
        // Where the port is not known by its name alone (a device file on Linux), the operator
        // needs its path to point the PLC software at it.
        const QString location = VirtualPortsManager::portLocation(m_strPairPortA);
        const QString text = QString::fromLatin1(taken.text.data(), int(taken.text.size()));
        emit message(location == m_strPairPortA ? text : text + QStringLiteral(" -- ") + location);
        setState(DeviceReady);
        return;
    }
    case SerialRead::PortReplyShort:
        stopConnectTimer();
        return;
    case SerialRead::Data:
        break;
    }
    if (_serialPort) {
        _serialPort->write(taken.data.data(), qint64(taken.data.size()));
        _serialPort->flush();
    } else {
        qDebug() << "_serialPort === nullptr";
    }
}

void PLCDownloadPassThrough::pcapSockeTunnelWrite(QByteArray send)
{
    if (!_socketTunnel)
        return;
    if (_socketTunnel->state() != QAbstractSocket::ConnectedState)
        return;
    // Ethernet may lose frames, memory may not grow: while the tunnel does not take what it
    // was given, further frames are dropped.
    if (_socketTunnel->bytesToWrite() + m_pendingFrames.size() > kMaxUnsentFrameBytes) {
        ++m_droppedFrames;
        if (m_droppedFrames == 1 || m_droppedFrames % 1000 == 0)
            qWarning() << "PLCDownloadPassThrough::pcapSockeTunnelWrite: tunnel not keeping up, frames dropped"
                       << m_droppedFrames;
        return;
    }
    // The bridge hands over its frames one by one, many at a time: they leave together once
    // the batch is complete, one write instead of one per frame.
    const bool first = m_pendingFrames.isEmpty();
    m_pendingFrames.append(send);
    if (first)
        QMetaObject::invokeMethod(this, &PLCDownloadPassThrough::writePendingFrames, Qt::QueuedConnection);
}

void PLCDownloadPassThrough::writePendingFrames()
{
    QByteArray frames;
    frames.swap(m_pendingFrames);
    if (frames.isEmpty() || !_socketTunnel || _socketTunnel->state() != QAbstractSocket::ConnectedState)
        return;
    // One line per write, not per frame: a bulk transfer's frames would each cost a log
    // line, and every line opens the log file.
    if (frames.size() > 1000)
        qDebug() << "pcapSockeTunnelWrite _socketTunnel sendsize ==  " << frames.size();
    _socketTunnel->write(frames);
    _socketTunnel->flush();
}

// ---- serial bridge ----

bool PLCDownloadPassThrough::ensureSerialPort(QString *why)
{
    // Without the pair library there is no port to open; its absence is what the operator
    // has to hear about, not the open that fails after it.
    QString pairError;
    if (!_serialPort) {
        VirtualPortsManager::deletePair(m_strPairPortA);
        if (!VirtualPortsManager::createPair(m_strPairPortA, m_strPairPortB, &pairError))
            qWarning() << "PLCDownloadPassThrough::ensureSerialPort: Failed to create serial pair"
                       << m_strPairPortA << m_strPairPortB << pairError;
        _serialPort = PcSerialPort::create(VirtualPortsManager::portLocation(m_strPairPortB), this);
        connect(_serialPort, &QIODevice::readyRead, this, &PLCDownloadPassThrough::serialToSocket);
        qDebug() << "_serialPort connect ";
    }
    if (_serialPort->isOpen())
        return true;

    // The new port may take a moment to appear; retry, briefly pausing between tries rather
    // than spinning a core for the whole time.
    QElapsedTimer stopwatch;
    stopwatch.start();
    for (;; QThread::msleep(kSerialRetryPauseMs)) {
        if (_serialPort->open(QIODevice::ReadWrite)) {
            qDebug() << "PLCDownloadPassThrough::ensureSerialPort: Find serial port" << stopwatch.elapsed() << "ms";
            return true;
        }
        if (stopwatch.elapsed() > kSerialOpenMs) {
            *why = pairError.isEmpty() ? _serialPort->errorString() : pairError;
            qWarning() << "PLCDownloadPassThrough::ensureSerialPort: Failed to open serial port"
                       << _serialPort->portName() << *why;
            return false;
        }
    }
}

void PLCDownloadPassThrough::serialToSocket()
{
    if (!_serialPort) {
        qWarning() << "PLCDownloadPassThrough::serialToSocket _serialPort is a nullptr";
        emit closeChannal();
        return;
    }
    const QByteArray data = _serialPort->readAll();
    qDebug() << " receive from  _serialPort -> " << data.toHex();
    if (!_socketTunnel) {
        qDebug() << "_socketTunnel == NULL";
        return;
    }
    _socketTunnel->write(QByteArray::fromStdString(framing::serialDataFrames(std::string_view(data.constData(), size_t(data.size())))));
    _socketTunnel->flush();
}
