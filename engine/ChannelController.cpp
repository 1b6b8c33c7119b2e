#include "engine/ChannelController.h"

#include "bridge/PCapOperator.h"
#include "bridge/PanelAddress.h"
#include "engine/EventWait.h"
#include "tunnel/VncViewer.h"

#include <QDebug>
#include <QPointer>

namespace {
const QString kHmiAddress = QStringLiteral("127.0.0.1:12345");
const QString kVncAddress = QStringLiteral("127.0.0.1:7530");
}

std::optional<ChannelController::Kind> ChannelController::kindOf(const QString &type)
{
    if (type.contains(QLatin1String("eth0")))
        return Kind::Ethernet;
    if (type.contains(QLatin1String("COM")))
        return Kind::Serial;
    if (type.contains(QLatin1String("HMI")))
        return Kind::Hmi;
    if (type.contains(QLatin1String("VNC")))
        return Kind::Vnc;
    if (type.contains(QLatin1String("PLC")))
        return Kind::Plc;
    return std::nullopt;
}

ChannelController::Tip ChannelController::tipOf(const QString &message)
{
    bool ok = false;
    switch (message.toInt(&ok, 10)) {
    case 0: return ok ? Tip::PassThroughFailed : Tip::Text;
    case 1: return Tip::PassThroughInitFailed;
    case 2: return Tip::ConnectTimeout;
    case 3: return Tip::OperateOnPlc;
    default: return Tip::Text;
    }
}

ChannelController::ChannelController(QObject *parent)
    : QObject(parent)
    , m_tunnelClients(defaultTunnelClients())
    , m_wait(EventWait::standard())
{
}

ChannelController::~ChannelController()
{
    // The engine reports its last state while it closes; whoever listens must still hear it.
    delete m_passThrough;
}

void ChannelController::setBridge(PCapOperator *bridge)
{
    m_bridge = bridge;
}

PCapOperator *ChannelController::bridge() const
{
    return m_bridge ? m_bridge : PCapOperator::getInstance();
}

bool ChannelController::adapterInstalled() const
{
    return bridge()->isTapInstalled();
}

bool ChannelController::captureInstalled() const
{
    return bridge()->isPcapInstalled();
}

void ChannelController::setTunnelClients(TunnelClientFactory factory)
{
    m_tunnelClients = factory ? std::move(factory) : defaultTunnelClients();
    if (m_passThrough)
        m_passThrough->setTunnelClients(m_tunnelClients);
}

void ChannelController::setEventWait(EventWait *wait)
{
    m_wait = wait ? wait : EventWait::standard();
    if (m_passThrough)
        m_passThrough->setEventWait(m_wait);
}

void ChannelController::setQuestions(Questions questions)
{
    m_questions = std::move(questions);
}

void ChannelController::createPassThrough()
{
    m_passThrough = new PLCDownloadPassThrough(this);
    m_passThrough->setTunnelClients(m_tunnelClients);
    m_passThrough->setEventWait(m_wait);
    connect(m_passThrough, &PLCDownloadPassThrough::stateChanged, this, &ChannelController::stateChanged);
    connect(m_passThrough, &PLCDownloadPassThrough::closeChannal, this, &ChannelController::endChannel);
    auto tell = [this](const QString &text) { emit tip(tipOf(text), text); };
    connect(m_passThrough, &PLCDownloadPassThrough::message, this, tell);
    PCapOperator *const pcap = bridge();
    connect(pcap, &PCapOperator::message, this, tell);
    connect(m_passThrough, &PLCDownloadPassThrough::framesToPcap, pcap, &PCapOperator::sendPackets);
    connect(pcap, &PCapOperator::sendRcv, m_passThrough, &PLCDownloadPassThrough::pcapSockeTunnelWrite);
    connect(m_passThrough, &PLCDownloadPassThrough::sendPcpMacIpAddr, this, &ChannelController::onPcpMacIpAddr);
}

void ChannelController::refuse(Tip why)
{
    emit tip(why, QString());
    m_channelBusy = false;
}

void ChannelController::start(const Request &request)
{
    if (m_channelBusy)
        return;
    m_channelBusy = true;
    if (!m_passThrough)
        createPassThrough();
    if (request.sn.isEmpty()) {
        refuse(Tip::SnMissing);
        return;
    }
    m_passThrough->setDeviceSn(request.sn);

    const std::optional<Kind> kind = kindOf(request.type);
    if (kind == Kind::Ethernet) {
        if (!m_questions.ethernetPrerequisites || !m_questions.ethernetPrerequisites()) {
            m_channelBusy = false;
            return;
        }
        if (bridge()->getRouteAdded())
            bridge()->routeDelete();
        m_passThrough->setPcapDevice(request.type);
    } else if (kind == Kind::Serial) {
        m_passThrough->setComPort(request.type);
    } else if (kind == Kind::Hmi) {
        int result = 0;
        if (forwardEndpoint(request.sn, kHmiAddress, kHmiAddress, &result))
            forwarded(result == 0, Tip::HmiReady, Tip::HmiFailed);
        return;
    } else if (kind == Kind::Vnc) {
        endRunningVncViewers();
        int result = 0;
        if (!forwardEndpoint(request.sn, kVncAddress, kVncAddress, &result))
            return;
        forwarded(result == 0, Tip::VncReady, Tip::VncFailed, QString::number(result));
        if (result == 0 && m_questions.openVncViewer && m_questions.openVncViewer()) {
            const std::unique_ptr<VNCTunnelConnect> viewer = m_tunnelClients();
            viewer->OpenVnc(kVncAddress, [self = QPointer<ChannelController>(this)](const QString &why) {
                if (self)
                    emit self->tip(Tip::Text, why);
            });
        }
        return;
    } else if (kind == Kind::Plc) {
        startPlc(request);
        return;
    }
    m_passThrough->setStopReconnect(false);
    m_passThrough->connectDevice();
}

void ChannelController::startPlc(const Request &request)
{
    // An input mask keeps its dots in an emptied box: no digit means no address.
    if (QString(request.plcIp).remove(QLatin1Char('.')).isEmpty()) {
        refuse(Tip::PlcIpMissing);
        return;
    }
    if (request.plcPort.isEmpty()) {
        refuse(Tip::PlcPortMissing);
        return;
    }
    bool ok = false;
    const int port = request.plcPort.toInt(&ok, 10);
    if (!ok) {
        refuse(Tip::PlcPortNotNumeric);
        return;
    }
    const QString remote = QStringLiteral("%1:%2").arg(request.plcIp).arg(port);
    const QString local = QStringLiteral("127.0.0.1:%1").arg(port);
    int result = 0;
    if (forwardEndpoint(request.sn, remote, local, &result))
        forwarded(result == 0, Tip::PlcReady, Tip::PlcFailed, local);
}

bool ChannelController::forwardEndpoint(const QString &sn, const QString &remote, const QString &local, int *result)
{
    const std::unique_ptr<VNCTunnelConnect> tunnel = m_tunnelClients();
    tunnel->SetDevId(sn);
    bool started = false;
    if (tunnel->TunnelState() != 0) {
        if (tunnel->StarTunnel() != 0) {
            emit tip(Tip::TunnelStartFailed, QString());
            qWarning() << "PLCDownloadPassThrough::ensureSocket TunnelStart error";
            return false;
        }
        started = true;
        m_wait->wait(PLCDownloadPassThrough::kTunnelStartWaitMs);
    }
    tunnel->ConnectDel(remote, local);
    *result = tunnel->ConnectAdd(remote, local);
    qDebug() << (started ? "HMI bvncConn2 = vncConnect->ConnectAdd() " : " HMI bvncConn = vncConnect->ConnectAdd() ")
             << *result;
    return true;
}

void ChannelController::forwarded(bool ok, Tip success, Tip failure, const QString &argument)
{
    emit stateChanged(ok ? PLCDownloadPassThrough::DeviceReady : PLCDownloadPassThrough::Idle);
    emit tip(ok ? success : failure, argument);
}

void ChannelController::endChannel()
{
    if (m_passThrough)
        m_passThrough->disconnectDevice();
    if (bridge()->getBRun())
        bridge()->setBRun(false);
    m_channelBusy = false;
}

void ChannelController::close()
{
    if (m_passThrough)
        m_passThrough->setStopReconnect(true);
    endChannel();
    emit tip(Tip::Text, QString());
    emit stateChanged(PLCDownloadPassThrough::Idle);
    bridge()->routeDelete();
}

void ChannelController::removeRoutes()
{
    bridge()->routeDelete();
}

void ChannelController::onPcpMacIpAddr(const QString &mac, const QString &ip)
{
    PCapOperator *const pcap = bridge();
    qDebug() << "slot sendPcpMacIpAddr bRun === " << (pcap->getBRun() ? "true" : "false");
    if (pcap->getBRun()) {
        qDebug() << "slot sendPcpMacIpAddr PCapOperator is runnig";
        return;
    }
    // The texts come from the network: only well-formed addresses reach the adapter, its
    // commands and the capture filter, and they are parsed here only.
    if (mac.length() < 8 || !PanelAddress::parseMac(mac)) {
        qDebug() << (mac.length() < 8 ? "slot sendPcpMacIpAddr mac.length() < 8" : "slot sendPcpMacIpAddr mac refused");
        emit tip(Tip::PanelMacRefused, mac);
        return;
    }
    const std::optional<PanelAddress> panel = PanelAddress::parse(mac, ip);
    if (ip.length() < 8 || !panel) {
        qDebug() << (ip.length() < 8 ? "slot sendPcpMacIpAddr ip.length() < 8" : "slot sendPcpMacIpAddr ip refused");
        emit tip(Tip::PanelIpRefused, ip);
        return;
    }
    qDebug() << "slot sendPcpMacIpAddr regedit";
    pcap->configureAdapter(*panel);
    if (pcap->initPcap() >= 1)
        pcap->setBRun(true);
}
