#include "bridge/WindowsTapAdapter.h"

#include "bridge/CommandRunner.h"

#include <QCoreApplication>
#include <QDebug>

namespace {
// Gateway of every route: the panel's /24 network with host part 234. The fourth route is
// the multicast range 224.0.0.0/4 (route refuses a mask that leaves address bits set).
// Each template is filled with the first three bytes of the panel's address, for %1-%3
// and again for %5-%7 where both appear.
const char *const kRouteAdd[] = {
    "route add %1.%2.%3.0 mask 255.255.255.0 %5.%6.%7.234 metric 291 ",
    "route add %1.%2.%3.234 mask 255.255.255.255 %5.%6.%7.234 metric 291 ",
    "route add %1.%2.%3.255 mask 255.255.255.255 %5.%6.%7.234 metric 291 ",
    "route add 224.0.0.0 mask 240.0.0.0 %5.%6.%7.234 metric 291 ",
    "route add 255.255.255.255 mask 255.255.255.255 %5.%6.%7.234 metric 291 ",
};
const char *const kRouteDelete[] = {
    "route delete %1.%2.%3.0 mask 255.255.255.0 %5.%6.%7.234 ",
    "route delete %1.%2.%3.234 mask 255.255.255.255 %5.%6.%7.234 ",
    "route delete %1.%2.%3.255 mask 255.255.255.255 %5.%6.%7.234 ",
    "route delete 224.0.0.0 mask 240.0.0.0 %5.%6.%7.234 ",
    "route delete 255.255.255.255 mask 255.255.255.255 %5.%6.%7.234 ",
};

QStringList fillRoutes(const char *const (&templates)[5], const PanelAddress &panel)
{
    const QString a = QString::number(panel.ip[0]);
    const QString b = QString::number(panel.ip[1]);
    const QString c = QString::number(panel.ip[2]);
    QStringList commands;
    for (int i = 0; i < 5; ++i) {
        const QString t = QString::fromLatin1(templates[i]);
        // Routes 4 and 5 name no destination bytes, only the gateway's.
        commands << (i < 3 ? t.arg(a, b, c, a, b, c) : t.arg(a, b, c));
    }
    return commands;
}

QString translated(const char *source)
{
    return QCoreApplication::translate("PCapOperator", source);
}
}

WindowsTapAdapter::WindowsTapAdapter(TapRegistry::SettingsFactory open, LibraryCheck captureLibrary)
    : m_registry(std::move(open))
    , m_captureLibrary(std::move(captureLibrary))
{
}

bool WindowsTapAdapter::isTapInstalled()
{
    return m_registry.hasTapAdapter();
}

// The driver's binding without its library (deleted, or renamed by an earlier installer)
// captures nothing either: the operator is offered the installer, which brings both.
bool WindowsTapAdapter::isPcapInstalled()
{
    if (m_captureLibrary) {
        const QString problem = m_captureLibrary();
        if (!problem.isEmpty()) {
            qWarning().noquote() << "WindowsTapAdapter:" << problem;
            return false;
        }
    }
    return m_registry.hasPcapBinding();
}

QString WindowsTapAdapter::registeredCaptureDevice()
{
    return m_registry.firstTapInstanceId();
}

bool WindowsTapAdapter::isCaptureDevice(const QString &, const QString &description)
{
    return description.contains(QStringLiteral("TAP-Windows"));
}

QStringList WindowsTapAdapter::routeAddCommands(const PanelAddress &panel)
{
    return fillRoutes(kRouteAdd, panel);
}

QStringList WindowsTapAdapter::routeDeleteCommands(const PanelAddress &panel)
{
    return fillRoutes(kRouteDelete, panel);
}

// One multi-argument substitution, so a connection name that happens to contain "%2"
// is not filled again by the address bytes.
QString WindowsTapAdapter::setAddressCommand(const QString &connection, const PanelAddress &panel)
{
    return translated("netsh interface ip set address name=\"%1\" source=static addr=%2.%3.%4.%5 mask=255.255.255.0 ")
        .arg(connection, QString::number(panel.ip[0]), QString::number(panel.ip[1]),
             QString::number(panel.ip[2]), QString::number(panel.ip[3]));
}

QString WindowsTapAdapter::disableCommand(const QString &connection)
{
    return translated("netsh interface set interface \"%1\" admin=disable ").arg(connection);
}

QString WindowsTapAdapter::enableCommand(const QString &connection)
{
    return translated("netsh interface set interface \"%1\" admin=enable ").arg(connection);
}

bool WindowsTapAdapter::configure(const PanelAddress &panel, CommandRunner &run, QString *why)
{
    const std::optional<TapRegistry::Adapter> adapter = m_registry.firstTapAdapter();
    if (!adapter) {
        *why = missingAdapterText();
        return false;
    }
    const QString connection = m_registry.connectionName(m_registry.instanceId(*adapter));

    // Without the panel's MAC the adapter answers for another station and the PLC's
    // replies never reach it: better no channel, and a reason, than a silent one.
    const QString mac = panel.announcedMacDigits();
    if (!m_registry.writeMacAndMediaStatus(*adapter, mac)) {
        qWarning() << "PCapOperator::regedit: the adapter's MAC could not be written to the registry";
        *why = registryRefusedText();
        return false;
    }
    qDebug() << "************** strmac " << mac;

    const QString setAddress = setAddressCommand(connection, panel);
    const QString disable = disableCommand(connection);
    const QString enable = enableCommand(connection);
    m_strDisableCmd = disable;

    run.execute(enable);
    qDebug() << setAddress;
    qDebug() << disable;
    qDebug() << enable;
    qDebug() << "system start" << adapter->position;
    run.execute(setAddress);
    run.execute(disable);
    for (const QString &cmd : routeAddCommands(panel))
        run.execute(cmd);
    m_routed = panel;
    // The caller marks the routes as added; the adapter comes back up last so the driver
    // picks up the new MAC.
    run.execute(enable);
    return true;
}

void WindowsTapAdapter::removeRoutes(CommandRunner &run)
{
    for (const QString &cmd : routeDeleteCommands(m_routed))
        run.execute(cmd);
    run.execute(m_strDisableCmd);
}

QString WindowsTapAdapter::missingAdapterText()
{
    return translated("未找到TAP-Windows网卡,请安装后重试");
}

QString WindowsTapAdapter::registryRefusedText()
{
    return translated("无法将MAC地址写入TAP-Windows网卡的注册表,请以管理员身份运行本工具后重试");
}
