#pragma once

#include <QString>

#include <memory>

class CommandRunner;
struct PanelAddress;

// The network adapter that stands in for the panel on the PC: how the bridge finds it,
// gives it the panel's addresses and routes, and takes the routes away again. Windows
// uses the TAP-Windows adapter (registry, netsh, route); Linux a veth pair.
class BridgeAdapter
{
public:
    virtual ~BridgeAdapter() = default;

    virtual bool isTapInstalled() = 0;
    // Whether frames can be captured and injected on the adapter at all (on Windows the
    // capture driver bound to an adapter, on Linux the capture capabilities).
    virtual bool isPcapInstalled() = 0;

    // The capture device name known without asking the capture library; empty when the
    // capture library's device list has to be searched.
    virtual QString registeredCaptureDevice() = 0;
    virtual bool isCaptureDevice(const QString &name, const QString &description) = 0;

    // Gives the adapter the panel's addresses and the five routes, running the commands
    // through run. False when the adapter is missing or refuses its settings: then no
    // command ran, and *why is the text for the operator.
    virtual bool configure(const PanelAddress &panel, CommandRunner &run, QString *why) = 0;
    // Deletes the routes of the last successful configure and disables the adapter.
    virtual void removeRoutes(CommandRunner &run) = 0;

    // This platform's adapter.
    static std::unique_ptr<BridgeAdapter> create();
};
