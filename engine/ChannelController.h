#pragma once

#include "engine/PLCDownloadPassThrough.h"
#include "tunnel/TunnelClients.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class EventWait;
class PCapOperator;

// Opens and closes the channel the operator asks for: the forwarded endpoints (HMI, VNC,
// PLC) through the tunnel library, the serial and Ethernet channels through the pass-through
// engine and the bridge. The window asks and shows; what to do, and in which order, is here.
class ChannelController : public QObject
{
    Q_OBJECT
public:
    enum class Kind { Ethernet, Serial, Hmi, Vnc, Plc };
    // The connection type's kind, as the window lists them ("eth0", "COM1" ... "PLC").
    static std::optional<Kind> kindOf(const QString &type);

    // What the tip line should say; the window words each one.
    enum class Tip {
        SnMissing,
        PlcIpMissing,
        PlcPortMissing,
        PlcPortNotNumeric,
        TunnelStartFailed,
        HmiReady,
        HmiFailed,
        VncReady,
        VncFailed,     // argument: the library's result code
        PlcReady,      // argument: the local address to use
        PlcFailed,
        PassThroughFailed,
        PassThroughInitFailed,
        ConnectTimeout,
        OperateOnPlc,
        PanelMacRefused, // argument: the MAC text the panel announced
        PanelIpRefused,  // argument: the IP text
        Text,            // argument: a text from the engine, the bridge or the panel, shown as it is
    };
    Q_ENUM(Tip)
    // The engine's and the bridge's message: a code the window words, or a text to show.
    static Tip tipOf(const QString &message);

    struct Request
    {
        QString sn;
        QString type;
        QString plcIp;
        QString plcPort;
    };

    // Where the window answers the operator's questions; unset, both are "no".
    struct Questions
    {
        // The Ethernet channel may go ahead: the adapter and capture rights are there (the
        // window offers to install what is missing).
        std::function<bool()> ethernetPrerequisites;
        // The VNC channel is up: start the viewer?
        std::function<bool()> openVncViewer;
    };

    explicit ChannelController(QObject *parent = nullptr);
    ~ChannelController() override;

    // Seams for tests; none is owned, null restores the default.
    void setBridge(PCapOperator *bridge);
    void setTunnelClients(TunnelClientFactory factory);
    void setEventWait(EventWait *wait);
    void setQuestions(Questions questions);

    PCapOperator *bridge() const;
    // What the Ethernet channel needs on this machine: the bridge adapter, capture rights.
    bool adapterInstalled() const;
    bool captureInstalled() const;
    PLCDownloadPassThrough *passThrough() const { return m_passThrough; }
    bool busy() const { return m_channelBusy; }

    // Opens the channel; ignored while one is open or opening.
    void start(const Request &request);
    // The operator closes the channel: no reconnection, tip line cleared, state Idle, routes
    // removed.
    void close();
    // The engine gave up, or the operator closed: ends what runs.
    void endChannel();
    // The window is closing: the adapter's routes go.
    void removeRoutes();

signals:
    void stateChanged(PLCDownloadPassThrough::State state);
    void tip(ChannelController::Tip code, const QString &argument);

private:
    void createPassThrough();
    // Forwards a local address to one seen from the panel; false when the start has ended.
    bool forwardEndpoint(const QString &sn, const QString &remote, const QString &local, int *result);
    void forwarded(bool ok, Tip success, Tip failure, const QString &argument = QString());
    void startPlc(const Request &request);
    void onPcpMacIpAddr(const QString &mac, const QString &ip);
    void refuse(Tip why);

    PLCDownloadPassThrough *m_passThrough = nullptr;
    PCapOperator *m_bridge = nullptr; // null: the process's one bridge
    TunnelClientFactory m_tunnelClients;
    EventWait *m_wait;
    Questions m_questions;
    bool m_channelBusy = false;
};
