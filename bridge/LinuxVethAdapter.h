#pragma once

#include "bridge/BridgeAdapter.h"
#include "bridge/PanelAddress.h"

#include <QStringList>

// The bridge adapter on Linux: a veth pair made by the set-up script. The PC's stack uses
// talvo0, which takes the panel's MAC and address; the bridge captures and injects on its
// peer talvo0p, so a frame injected there reaches the stack as if it came off a wire.
class LinuxVethAdapter : public BridgeAdapter
{
public:
    static QString stackSide(); // talvo0
    static QString peer();      // talvo0p

    // An empty helper means the bridge helper beside the executable.
    explicit LinuxVethAdapter(const QString &sysClassNet = QStringLiteral("/sys/class/net"),
                              const QString &helper = QString());

    bool isTapInstalled() override;
    bool isPcapInstalled() override;
    QString registeredCaptureDevice() override;
    bool isCaptureDevice(const QString &name, const QString &description) override;
    bool configure(const PanelAddress &panel, CommandRunner &run, QString *why) override;
    void removeRoutes(CommandRunner &run) override;
    static QString missingAdapterText();

    static QStringList configureCommands(const PanelAddress &panel);
    static QStringList routeDeleteCommands(const PanelAddress &panel);
    static QString disableCommand();

private:
    bool exists(const QString &interface) const;

    QString m_sysClassNet;
    QString m_helper;
    PanelAddress m_routed;
};
