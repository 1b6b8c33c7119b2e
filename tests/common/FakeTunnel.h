#pragma once

#include "tunnel/TunnelClients.h"

#include <QStringList>
#include <memory>

// Tunnel clients that answer as the test says and write down every call, in order, across
// all the clients one factory made.
struct TunnelScript {
    int state = 0;        // TunnelState: 0 running
    int start = 0;        // StarTunnel
    int add = 0;          // ConnectAdd and ConnectAddHmi
    bool startMakesRunning = true;
    QStringList calls;    // "SetDevId SN", "TunnelState", "ConnectAdd R L", ...
};

class FakeTunnel : public VNCTunnelConnect
{
public:
    explicit FakeTunnel(std::shared_ptr<TunnelScript> script) : m_script(std::move(script)) {}

    void SetDevId(const QString &sn) override { log("SetDevId " + sn); }
    int TunnelState() override { log("TunnelState"); return m_script->state; }
    int StarTunnel() override
    {
        log("StarTunnel");
        if (m_script->start == 0 && m_script->startMakesRunning)
            m_script->state = 0;
        return m_script->start;
    }
    int ConnectDel(const QString &r, const QString &l) override { log("ConnectDel " + r + " " + l); return 0; }
    int ConnectAdd(const QString &r, const QString &l) override { log("ConnectAdd " + r + " " + l); return m_script->add; }
    int ConnectDelHmi() override { log("ConnectDelHmi"); return 0; }
    int ConnectAddHmi() override { log("ConnectAddHmi"); return m_script->add; }
    void OpenVnc(const QString &a, const std::function<void(const QString &)> &) override { log("OpenVnc " + a); }

    static TunnelClientFactory factory(const std::shared_ptr<TunnelScript> &script)
    {
        return [script] { return std::unique_ptr<VNCTunnelConnect>(new FakeTunnel(script)); };
    }

private:
    void log(const QString &call) { m_script->calls << call; }
    std::shared_ptr<TunnelScript> m_script;
};
