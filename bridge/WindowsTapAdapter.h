#pragma once

#include "bridge/BridgeAdapter.h"
#include "bridge/PanelAddress.h"
#include "bridge/TapRegistry.h"

#include <QStringList>

// The TAP-Windows adapter, found in the registry and configured with netsh and route.
// Written without Windows headers so the whole sequence can be checked on any system
// with an INI registry stand-in and a recording command runner.
class WindowsTapAdapter : public BridgeAdapter
{
public:
    explicit WindowsTapAdapter(TapRegistry::SettingsFactory open);

    bool isTapInstalled() override;
    bool isPcapInstalled() override;
    QString registeredCaptureDevice() override;
    bool isCaptureDevice(const QString &name, const QString &description) override;
    bool configure(const PanelAddress &panel, CommandRunner &run) override;
    void removeRoutes(CommandRunner &run) override;
    QString missingAdapterText() const override;

    static QStringList routeAddCommands(const PanelAddress &panel);
    static QStringList routeDeleteCommands(const PanelAddress &panel);
    static QString setAddressCommand(const QString &connection, const PanelAddress &panel);
    static QString disableCommand(const QString &connection);
    static QString enableCommand(const QString &connection);

private:
    TapRegistry m_registry;
    PanelAddress m_routed;
    QString m_disableCmd;
};
