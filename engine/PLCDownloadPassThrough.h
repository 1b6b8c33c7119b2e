#pragma once

#include "framing/TunnelFraming.h"
#include "tunnel/TunnelClients.h"

#include <QAbstractSocket>
#include <QObject>

class PcSerialPort;
class QTcpSocket;
class QTimer;
class EventWait;

// The pass-through engine: for one panel it opens a tunnelled connection to the panel's
// pass-through service and carries a serial port's bytes or Ethernet frames over it.
class PLCDownloadPassThrough : public QObject
{
    Q_OBJECT
public:
    enum State {
        NetworkConnecting = 1,
        DeviceConnecting = 2,
        ChannelCreated = 3,
        Disconnecting = 4,
        Idle = 5,
        DeviceReady = 6,
    };
    Q_ENUM(State)

    static constexpr int kTunnelPort = 7540;
    static constexpr int kTunnelStartWaitMs = 2000;
    static constexpr int kConnectTimeoutMs = 20000;
    static constexpr int kReconnectWaitMs = 10000;
    static constexpr int kSerialOpenMs = 2000;
    static constexpr int kSerialRetryPauseMs = 5;
    // Unsent Ethernet frames the tunnel socket may hold: about 1400 full-size frames.
    static constexpr qint64 kMaxUnsentFrameBytes = 2 * 1024 * 1024;

    explicit PLCDownloadPassThrough(QObject *parent = nullptr);
    ~PLCDownloadPassThrough() override;

    void setDeviceSn(const QString &sn);
    void setPcapDevice(const QString &name);
    void setComPort(const QString &name);
    void setStopReconnect(bool stop);

    bool connectDevice();
    void disconnectDevice();

    State state() const { return m_state; }
    QString deviceSn() const { return m_strDeviceSn; }

    // Seams for tests: where tunnel clients come from, how the waits pass, how long the
    // panel may take to answer. Null restores the default.
    void setTunnelClients(TunnelClientFactory factory);
    void setEventWait(EventWait *wait);
    void setConnectTimeout(int ms);

signals:
    void message(QString text);
    void stateChanged(PLCDownloadPassThrough::State _state);
    void closeChannal();
    // The frames of one read from the tunnel, in order, to be injected together (one system
    // call for them all, which is what lets the bridge keep up with a bulk transfer).
    void framesToPcap(QVector<QByteArray> frames);
    // The same frames one by one, for a receiver that injects each while the emission runs
    // (`buf` is valid only then); emitted only when something listens.
    void sendDatatoPcap(unsigned char *buf, int len);
    void sendPcpMacIpAddr(QString mac, QString ip);

public slots:
    void dealTunnelSocketError(QAbstractSocket::SocketError error);
    void pcapSockeTunnelWrite(QByteArray send);
    void serialToSocket();

private:
    void setState(State s);
    void ensureSocket();
    bool ensureSerialPort(QString *why);
    void releaseSocket();
    void onSocketConnected();
    void onSocketDisconnected();
    void readSocketTunnel();
    void writePendingFrames();
    void readSerialMode(const QByteArray &read);
    void takePanelMessages(const std::vector<framing::PanelMessage> &messages);
    void startConnectTimer(int ms);
    void stopConnectTimer();
    void onConnectTimeout();

    QTcpSocket *_socketTunnel = nullptr;
    PcSerialPort *_serialPort = nullptr;
    State m_state = Idle;
    QString m_strDeviceSn;
    QTimer *m_connectTimer = nullptr;
    framing::PanelStreamReader m_recvBuffer; // the Ethernet mode's frames, reassembled across reads
    quint64 m_droppedFromPanel = 0;
    QString m_strPcapDevice;
    QString m_strComPort;
    bool m_bComMode = false;
    QString m_strPairPortA = QStringLiteral("COM30");
    QString m_strPairPortB = QStringLiteral("COM31");
    bool m_bStopReconnect = false;

    TunnelClientFactory m_tunnelClients;
    EventWait *m_wait;
    int m_connectTimeoutMs = kConnectTimeoutMs;
    quint64 m_droppedFrames = 0;
    QByteArray m_pendingFrames; // envelopes for the tunnel, written together
};
