#pragma once

#include "bridge/BridgeAdapter.h"
#include "bridge/CommandRunner.h"
#include "bridge/PCapOperator.h"

#include <QStringList>

// An Ethernet bridge over an adapter that only counts what is done to it, and a runner that
// runs nothing: the window's calls into the bridge, without touching the machine.
struct BridgeLog {
    bool tap = true;
    bool pcap = true;
    int configures = 0;
    int removals = 0;
    QStringList commands;
};

class FakeAdapter : public BridgeAdapter
{
public:
    explicit FakeAdapter(BridgeLog *log) : m_log(log) {}
    bool isTapInstalled() override { return m_log->tap; }
    bool isPcapInstalled() override { return m_log->pcap; }
    QString registeredCaptureDevice() override { return QString(); }
    bool isCaptureDevice(const QString &, const QString &) override { return false; }
    bool configure(const PanelAddress &, CommandRunner &, QString *) override { ++m_log->configures; return true; }
    void removeRoutes(CommandRunner &) override { ++m_log->removals; }

private:
    BridgeLog *m_log;
};

class NoCommands : public CommandRunner
{
public:
    explicit NoCommands(BridgeLog *log) : m_log(log) {}
    QString execute(const QString &cmd) override { m_log->commands << cmd; return {}; }

private:
    BridgeLog *m_log;
};

inline PCapOperator *makeFakeBridge(BridgeLog *log, QObject *parent)
{
    return new PCapOperator(std::make_unique<FakeAdapter>(log), std::make_unique<NoCommands>(log), parent);
}
