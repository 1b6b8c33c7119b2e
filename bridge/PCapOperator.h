#pragma once

#include "bridge/CommandRunner.h"
#include "bridge/FrameQueue.h"

#include <QReadWriteLock>
#include <QString>
#include <QThread>

#include <array>
#include <atomic>
#include <memory>

class BridgeAdapter;
class CaptureDevice;
struct PanelAddress;

// The Ethernet bridge: captures frames on the bridge adapter in its own thread and hands
// the ones for the panel to the tunnel; injects the panel's frames into the adapter. It also
// finds the adapter, gives it the panel's addresses and routes, and runs the commands for
// that. One per process, reached through getInstance.
//
// The capture handle is owned by whoever runs the capture: the capture thread while it
// runs, the GUI thread otherwise. Reading and injecting share m_handleLock, closing and
// replacing the handle take it alone, so an injection never meets a handle being closed;
// a restart waits for the previous capture thread to end before it touches the handle.
class PCapOperator : public QThread, public CommandRunner
{
    Q_OBJECT

public:
    static constexpr int kReadTimeoutMs = 10;
    // Frames read in one go before the loop looks at the stop request again.
    static constexpr int kFramesPerWake = 256;
    // Captured frames waiting for the GUI thread to hand them to the tunnel: about 1400
    // full-size frames, a sixth of a second of a saturated 100 Mbit/s link.
    static constexpr qsizetype kMaxQueuedBytes = 2 * 1024 * 1024;

    static PCapOperator *getInstance();

    // For tests: a bridge over the given adapter and command runner.
    PCapOperator(std::unique_ptr<BridgeAdapter> adapter, std::unique_ptr<CommandRunner> runner,
                 QObject *parent = nullptr);
    ~PCapOperator() override;

    bool getBRun() const;
    void setBRun(bool b);
    int pcapLink();
    void relayFrame(const unsigned char *data, int len);
    void sendPacket(const unsigned char *buf, int len);
    void sendPackets(const QVector<QByteArray> &frames);

    // Adapter discovery.
    bool isTapInstalled();
    bool isPcapInstalled();
    int initPcap();

    // Adapter configuration, for an announcement already parsed (regedit takes the texts).
    void configureAdapter(const PanelAddress &panel);
    bool getRouteAdded() const;
    int routeDelete();

    QString execute(const QString &cmd) override;

    QString device() const { return m_strDevice; }
    QString captureFilter() const;

signals:
    void sendRcv(QByteArray data);
    void message(QString text);

public slots:
    void regedit(QString _mac, QString _ip);

protected:
    void run() override;

private:
    void deliverFrames();
    PCapOperator();
    bool stopAndWait();
    void closeHandle();
    bool waitBeforeReopen();

    std::unique_ptr<BridgeAdapter> m_adapter;
    std::unique_ptr<CommandRunner> m_runner;

    std::atomic<bool> bRun{false};
    QString m_strDevice;
    QString m_strIp;
    QString m_strBroadcastIp;
    bool bRouteAdded = false;
    QString m_linkError; // why the last pcapLink failed

    mutable QReadWriteLock m_handleLock;
    std::unique_ptr<CaptureDevice> adhandle;
    std::array<quint8, 6> panelMac{};
    std::array<quint8, 4> panelIp{};

    FrameQueue m_queue{kMaxQueuedBytes};
    quint64 m_unsendable = 0; // touched by the capture thread only
};
