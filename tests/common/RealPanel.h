#pragma once

#include "TunnelFixture.h"

#include <QtTest>

// The real relay and panel agent SN1 for a test's directory; `passthrough` are the agent's
// configuration lines. Fails the calling test when either does not come up.
struct RealPanel
{
    QScopedPointer<RelayFixture> relay;
    ToolProcess agent;

    void start(const QString &dir, const QStringList &passthrough)
    {
        relay.reset(new RelayFixture(dir));
        QVERIFY(relay->start());
        const QString config = writePanelConfig(dir, "panel.ini", "SN1", "secret-1", relay->port(),
                                                relay->fingerprint(), passthrough);
        QVERIFY(agent.start(kPanelBinary, config));
        QVERIFY(agent.waitForOutput("registered"));
    }
    // The tool's tunnel configuration, read from the working directory as the tool does.
    void writeToolConfig(const QString &dir)
    {
        QVERIFY(QDir::setCurrent(dir));
        writeTunnelConfig(dir + "/demoTunnel.cfg", relay->port(), relay->fingerprint(), "token-a");
    }
};
