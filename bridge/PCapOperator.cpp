#include "bridge/PCapOperator.h"

#include "bridge/BridgeAdapter.h"
#include "bridge/CaptureDevice.h"
#include "bridge/PanelAddress.h"
#include "bridge/ProcessCommandRunner.h"
#include "bridge/RelayRule.h"
#include "framing/TunnelFraming.h"

#include <QDebug>

namespace {
// After a failed reopen the device is tried again after this long, so a missing adapter
// neither spins the loop nor fills the log.
constexpr int kReopenDelayMs = 500;
// A restart waits this long at most for the previous capture to end; the loop sees a stop
// within one read timeout, so this only matters if the capture library itself hangs.
constexpr int kStopWaitMs = 5000;
}

PCapOperator *PCapOperator::getInstance()
{
    static PCapOperator *const instance = new PCapOperator();
    return instance;
}

PCapOperator::PCapOperator()
    : PCapOperator(BridgeAdapter::create(), std::make_unique<ProcessCommandRunner>())
{
}

PCapOperator::PCapOperator(std::unique_ptr<BridgeAdapter> adapter,
                           std::unique_ptr<CommandRunner> runner, QObject *parent)
    : QThread(parent)
    , m_adapter(std::move(adapter))
    , m_runner(std::move(runner))
{
}

PCapOperator::~PCapOperator()
{
    bRun = false;
    wait();
    closeHandle();
}

bool PCapOperator::getBRun() const
{
    return bRun;
}

bool PCapOperator::stopAndWait()
{
    if (!isRunning())
        return true;
    bRun = false;
    return wait(kStopWaitMs);
}

void PCapOperator::closeHandle()
{
    QWriteLocker locker(&m_handleLock);
    adhandle.reset();
}

void PCapOperator::setBRun(bool b)
{
    qDebug() << "[PCapOperator]setBRun bRun === " << b;
    if (!b) {
        // The loop closes the device itself at its next check; nothing waits here.
        bRun = false;
        return;
    }
    // A capture still running (or still closing after a stop) owns the handle: it has to
    // end before the handle can be closed and opened again.
    if (!stopAndWait()) {
        qWarning() << "PCapOperator::setBRun: the previous capture did not end, not restarted";
        return;
    }
    bRun = true;
    closeHandle();
    if (pcapLink() < 0)
        emit message(tr("无法打开抓包设备%1(%2),正在重试").arg(m_strDevice, m_linkError));
    start(QThread::InheritPriority);
}

QString PCapOperator::captureFilter() const
{
    // Before any panel announcement there is no host to name: the device runs unfiltered
    // and the relay rule alone decides.
    if (m_strIp.isEmpty())
        return QString();
    return QStringLiteral("((ether dst FF:FF:FF:FF:FF:FF) or (not ip) or ((ip) and ((src host %1) or (src host %2))))")
        .arg(m_strIp)
        .arg(m_strBroadcastIp);
}

int PCapOperator::pcapLink()
{
    std::unique_ptr<CaptureDevice> handle =
        CaptureDevice::open(m_strDevice, captureFilter(), kReadTimeoutMs, &m_linkError);
    if (!handle) {
        qDebug() << "pcapLink error === " << m_linkError << static_cast<const void *>(handle.get()) << m_strDevice;
        return -1;
    }
    QWriteLocker locker(&m_handleLock);
    adhandle = std::move(handle);
    return 1;
}

bool PCapOperator::waitBeforeReopen()
{
    for (int waited = 0; waited < kReopenDelayMs && bRun; waited += kReadTimeoutMs)
        QThread::msleep(kReadTimeoutMs);
    return bRun;
}

void PCapOperator::run()
{
    qDebug() << " PCapOperator::run()";
    bool readFailed = false;
    while (bRun) {
        CaptureDevice *handle;
        {
            QReadLocker locker(&m_handleLock);
            handle = adhandle.get();
        }
        if (!handle) {
            qDebug() << "PCapOperator::run adhandle == null";
            if (pcapLink() < 0)
                waitBeforeReopen();
            continue;
        }

        // Blocks until a frame is there or the read timeout passes, so an idle adapter costs
        // nothing and a stop is seen within the timeout.
        if (!handle->waitForFrame(kReadTimeoutMs))
            continue;
        // Everything that arrived is taken before waiting again: a wait, let alone a pause,
        // per frame caps the bridge far below what a PLC's link carries.
        int r = 0;
        for (int taken = 0; taken < kFramesPerWake && bRun; ++taken) {
            const unsigned char *data = nullptr;
            int length = 0;
            {
                QReadLocker locker(&m_handleLock);
                r = handle->read(&data, &length);
            }
            if (r != 1)
                break;
            // The frame's bytes stay valid until this thread reads again.
            relayFrame(data, length);
        }
        if (r < 0) {
            // The adapter went away or down: reopen it rather than spin on the error.
            if (!readFailed)
                qWarning() << "PCapOperator::run: capture read failed:" << handle->errorText();
            readFailed = true;
            closeHandle();
            waitBeforeReopen();
            continue;
        }
        readFailed = false;
    }

    QWriteLocker locker(&m_handleLock);
    qDebug() << "PCapOperator::run out while adhandle 000 == " << static_cast<void *>(adhandle.get());
    if (adhandle) {
        const void *closed = adhandle.get();
        adhandle.reset();
        qDebug() << "PCapOperator::run out while adhandle 111 == " << closed;
    }
}

void PCapOperator::relayFrame(const unsigned char *data, int len)
{
    if (!RelayRule::passes(data, len, panelMac))
        return;
    std::string envelope;
    if (!framing::appendEthernetEnvelope(envelope, data, size_t(len))) {
        if (++m_unsendable == 1 || m_unsendable % 1000 == 0)
            qWarning() << "PCapOperator: frame shorter than its headers say or longer than the link, not carried;"
                       << m_unsendable << "so far";
        return;
    }
    if (m_queue.push(QByteArray::fromStdString(envelope)) == FrameQueue::QueuedIntoEmpty)
        QMetaObject::invokeMethod(this, [this] { deliverFrames(); }, Qt::QueuedConnection);
}

// Runs in the GUI thread, so the tunnel's slot is called directly and the queue above is
// the only place frames wait.
void PCapOperator::deliverFrames()
{
    if (const quint64 dropped = m_queue.takeDropped())
        qWarning() << "PCapOperator: tunnel not keeping up," << dropped << "frames dropped";
    for (const QByteArray &frame : m_queue.takeAll())
        emit sendRcv(frame);
}

void PCapOperator::sendPacket(const unsigned char *buf, int len)
{
    if (!buf || len <= 0)
        return;
    QReadLocker locker(&m_handleLock);
    if (adhandle)
        adhandle->inject(buf, len);
}

void PCapOperator::sendPackets(const QVector<QByteArray> &frames)
{
    if (frames.isEmpty())
        return;
    QReadLocker locker(&m_handleLock);
    if (adhandle)
        adhandle->injectAll(frames);
}

bool PCapOperator::isTapInstalled()
{
    return m_adapter->isTapInstalled();
}

bool PCapOperator::isPcapInstalled()
{
    return m_adapter->isPcapInstalled();
}

int PCapOperator::initPcap()
{
    qDebug() << "initPcap ";
    QList<QPair<QString, QString>> devices;
    QString error;
    if (!CaptureDevice::list(&devices, &error)) {
        qWarning() << "pcap_findalldevs errbuf === " << error;
        emit message(tr("无法列出抓包设备：%1").arg(error));
        return -1;
    }
    m_strDevice.clear();

    const QString registered = m_adapter->registeredCaptureDevice();
    if (!registered.isEmpty()) {
        m_strDevice = registered;
        return 1;
    }

    for (const auto &[name, description] : devices) {
        qDebug() << "device === " << name << description;
        if (m_adapter->isCaptureDevice(name, description)) {
            m_strDevice = name;
            break;
        }
    }
    qDebug() << "initPcap 000";
    if (m_strDevice.isEmpty()) {
        emit message(tr("未找到桥接网卡的抓包设备"));
        return -2;
    }
    qDebug() << "initPcap 111";
    return 1;
}

void PCapOperator::regedit(QString _mac, QString _ip)
{
    const std::optional<PanelAddress> panel = PanelAddress::parse(_mac, _ip);
    if (!panel) {
        qWarning() << "PCapOperator::regedit: announcement refused, mac" << _mac << "ip" << _ip;
        return;
    }
    configureAdapter(*panel);
}

void PCapOperator::configureAdapter(const PanelAddress &panel)
{
    // The capture thread reads panelMac without a lock: a running capture keeps its panel,
    // and one still closing after a stop is waited for.
    if (bRun || !stopAndWait()) {
        qWarning() << "PCapOperator::regedit: the capture is running, announcement ignored";
        return;
    }

    m_strIp = panel.ipAnnounced;
    m_strBroadcastIp = panel.announcedHostText(255);
    panelIp = panel.ip;
    for (quint8 b : panelIp)
        qDebug() << "PCapOperator::regedit  ipaddr == " << int(b);
    panelMac = panel.mac;
    for (quint8 b : panelMac)
        qDebug() << "PCapOperator::regedit  macaddr == " << int(b);

    QString why;
    if (!m_adapter->configure(panel, *this, &why)) {
        qWarning().noquote() << "PCapOperator::regedit: the bridge adapter cannot be configured:" << why;
        emit message(why);
        return;
    }
    bRouteAdded = true;
    emit message(QStringLiteral("3"));
}

bool PCapOperator::getRouteAdded() const
{
    return bRouteAdded;
}

int PCapOperator::routeDelete()
{
    if (!bRouteAdded)
        return 1;
    m_adapter->removeRoutes(*this);
    bRouteAdded = false;
    return 1;
}

QString PCapOperator::execute(const QString &cmd)
{
    return m_runner->execute(cmd);
}
