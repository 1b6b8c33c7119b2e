#pragma once

#include "bridge/BridgeAdapter.h"
#include "bridge/PanelAddress.h"
#include "bridge/TapRegistry.h"

#include <QStringList>

#include <functional>

// The TAP-Windows adapter, found in the registry and configured with netsh and route.
// Written without Windows headers so the whole sequence can be checked on any system
// with an INI registry stand-in and a recording command runner.
class WindowsTapAdapter : public BridgeAdapter
{
public:
    // Why the capture library cannot be used, empty when it can (CaptureDevice::libraryProblem
    // on Windows); unset, only the registry is asked.
    using LibraryCheck = std::function<QString()>;

    explicit WindowsTapAdapter(TapRegistry::SettingsFactory open, LibraryCheck captureLibrary = {});

    bool isTapInstalled() override;
    bool isPcapInstalled() override;
    QString registeredCaptureDevice() override;
    bool isCaptureDevice(const QString &name, const QString &description) override;
    bool configure(const PanelAddress &panel, CommandRunner &run, QString *why) override;
    void removeRoutes(CommandRunner &run) override;
    static QString missingAdapterText();
    static QString registryRefusedText();

    static QStringList routeAddCommands(const PanelAddress &panel);
    static QStringList routeDeleteCommands(const PanelAddress &panel);
    static QString setAddressCommand(const QString &connection, const PanelAddress &panel);
    static QString disableCommand(const QString &connection);
    static QString enableCommand(const QString &connection);

private:
    TapRegistry m_registry;
    LibraryCheck m_captureLibrary;
    PanelAddress m_routed;
    QString m_strDisableCmd;
};
