#include "bridge/LinuxVethAdapter.h"

#include "bridge/BridgeHelper.h"
#include "bridge/CommandRunner.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QProcess>

QString LinuxVethAdapter::stackSide()
{
    return QStringLiteral("talvo0");
}

QString LinuxVethAdapter::peer()
{
    return QStringLiteral("talvo0p");
}

namespace {
// The helper answers at once; a hung one must not hang the window.
constexpr int kCheckTimeoutMs = 5000;

// The same five routes as on Windows, with metric 291 and the gateway at host 234 of the
// panel's /24. Windows' 234.0.0.0 mask 240.0.0.0 is not a prefix Linux accepts (host bits
// set); the multicast block it stands for is 224.0.0.0/4.
QStringList routes(const PanelAddress &panel)
{
    return {panel.hostText(0) + QStringLiteral("/24"), panel.hostText(234) + QStringLiteral("/32"),
            panel.hostText(255) + QStringLiteral("/32"), QStringLiteral("224.0.0.0/4"),
            QStringLiteral("255.255.255.255/32")};
}

QString routeCommand(const char *verb, const QString &destination, const PanelAddress &panel)
{
    return QStringLiteral("ip route %1 %2 via %3 dev %4 metric 291")
        .arg(QLatin1String(verb), destination, panel.hostText(234), LinuxVethAdapter::stackSide());
}
}

LinuxVethAdapter::LinuxVethAdapter(const QString &sysClassNet, const QString &helper)
    : m_sysClassNet(sysClassNet)
    , m_helper(helper)
{
}

bool LinuxVethAdapter::exists(const QString &interface) const
{
    return QFileInfo::exists(m_sysClassNet + QLatin1Char('/') + interface);
}

bool LinuxVethAdapter::isTapInstalled()
{
    return exists(stackSide()) && exists(peer());
}

// Capturing and injecting need CAP_NET_RAW, re-addressing the adapter CAP_NET_ADMIN. The
// helper holds them, not the tool, so asking it (rather than this process) sees a grant
// made by setup-adapter the moment it is made.
bool LinuxVethAdapter::isPcapInstalled()
{
    QProcess check;
    check.setStandardOutputFile(QProcess::nullDevice());
    check.setStandardErrorFile(QProcess::nullDevice());
    check.start(m_helper.isEmpty() ? BridgeHelper::path() : m_helper, {QStringLiteral("check")});
    if (!check.waitForFinished(kCheckTimeoutMs)) {
        qWarning() << "LinuxVethAdapter: the bridge helper cannot be asked:" << check.errorString();
        return false;
    }
    return check.exitStatus() == QProcess::NormalExit && check.exitCode() == 0;
}

QString LinuxVethAdapter::registeredCaptureDevice()
{
    return QString();
}

bool LinuxVethAdapter::isCaptureDevice(const QString &name, const QString &)
{
    return name == peer() && exists(peer());
}

QStringList LinuxVethAdapter::configureCommands(const PanelAddress &panel)
{
    const QString dev = QStringLiteral(" dev ") + stackSide();
    // The MAC can only change while the link is down; the routes need it up, since Linux
    // refuses a gateway on a link that is down.
    QStringList commands{
        QStringLiteral("ip link set") + dev + QStringLiteral(" down"),
        QStringLiteral("ip link set") + dev + QStringLiteral(" address ") + panel.macText(QStringLiteral(":")),
        QStringLiteral("ip -4 addr flush") + dev,
        QStringLiteral("ip addr add %1/24 broadcast %2").arg(panel.ipText(), panel.hostText(255)) + dev,
        QStringLiteral("ip link set dev ") + peer() + QStringLiteral(" up"),
        QStringLiteral("ip link set") + dev + QStringLiteral(" up"),
    };
    for (const QString &destination : routes(panel))
        commands << routeCommand("replace", destination, panel);
    return commands;
}

QStringList LinuxVethAdapter::routeDeleteCommands(const PanelAddress &panel)
{
    QStringList commands;
    for (const QString &destination : routes(panel))
        commands << routeCommand("del", destination, panel);
    return commands;
}

QString LinuxVethAdapter::disableCommand()
{
    return QStringLiteral("ip link set dev ") + stackSide() + QStringLiteral(" down");
}

bool LinuxVethAdapter::configure(const PanelAddress &panel, CommandRunner &run, QString *why)
{
    if (!exists(stackSide())) {
        *why = missingAdapterText();
        return false;
    }
    for (const QString &cmd : configureCommands(panel))
        run.execute(cmd);
    m_routed = panel;
    return true;
}

void LinuxVethAdapter::removeRoutes(CommandRunner &run)
{
    for (const QString &cmd : routeDeleteCommands(m_routed))
        run.execute(cmd);
    run.execute(disableCommand());
}

QString LinuxVethAdapter::missingAdapterText()
{
    return QCoreApplication::translate("PCapOperator", "未找到桥接网卡talvo0,请运行setup-adapter后重试");
}
