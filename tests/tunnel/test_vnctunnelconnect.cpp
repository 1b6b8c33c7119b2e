// Guards the tunnel client against leaking the token, stacking forwardings and starting the wrong viewer.
// Over the real library, relay and agent.
#include "RealPanel.h"
#include "tunnel/VNCTunnelConnect.h"
#include "tunnel/pgDllTunnel.h"

#include <QCoreApplication>
#include <QDir>
#include <QTcpSocket>
#include <QtTest>

#include <signal.h>

namespace {

QStringList g_messages;

void collect(QtMsgType, const QMessageLogContext &, const QString &text)
{
    g_messages << text;
}

// What the window and the engine do for each request.
int openChannel(const QString &sn, const QString &remote, const QString &local, int *starts)
{
    VNCTunnelConnect client;
    client.SetDevId(sn);
    if (client.TunnelState() != 0) {
        ++*starts;
        if (const int rc = client.StarTunnel())
            return rc;
    }
    client.ConnectDel(remote, local);
    return client.ConnectAdd(remote, local);
}

bool echoes(quint16 port, const QByteArray &data)
{
    LocalClient c;
    return c.connectTo(port) && c.echoes(data);
}

} // namespace

class TestVncTunnelConnect : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    RealPanel m_panel;
    EchoServer m_echo;
    QString m_oldCwd;
    QString m_vncDir, m_vncBackup;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid() && m_echo.isListening());
        const QString echo = QStringLiteral("127.0.0.1:%1").arg(m_echo.serverPort());
        m_panel.start(m_dir.path(), {"127.0.0.1:7530=" + echo});
        // "demoTunnel.cfg" is looked up in the working directory, as the tool does.
        m_oldCwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir.path()));
        qInstallMessageHandler(collect);
        // The viewer case puts its own vnc/ beside this executable; a real one waits aside.
        m_vncDir = QCoreApplication::applicationDirPath() + "/vnc";
        if (QFileInfo::exists(m_vncDir)) {
            m_vncBackup = m_vncDir + ".kept-by-test-" + QString::number(QCoreApplication::applicationPid());
            QVERIFY(QDir().rename(m_vncDir, m_vncBackup));
        }
    }
    void cleanupTestCase()
    {
        qInstallMessageHandler(nullptr);
        QDir::setCurrent(m_oldCwd);
        m_panel.relay.reset();
        QDir(m_vncDir).removeRecursively();
        if (!m_vncBackup.isEmpty())
            QDir().rename(m_vncBackup, m_vncDir);
    }
    void init() { g_messages.clear(); }

    // Without a config the start fails quietly; with one, the logged summary holds no token.
    void startLogsNoToken()
    {
        VNCTunnelConnect client;
        QCOMPARE(client.StarTunnel(), -1);
        QVERIFY(g_messages.filter("szSysInfo").isEmpty());
        QVERIFY(client.TunnelState() != 0);

        writeTunnelConfig(m_dir.filePath("demoTunnel.cfg"), m_panel.relay->port(), m_panel.relay->fingerprint(), "token-a");
        QCOMPARE(client.StarTunnel(), 0);
        QCOMPARE(client.TunnelState(), 0);
        const QStringList lines = g_messages.filter("VNCTunnelConnect::StarTunnel szSysInfo relay=127.0.0.1:");
        QCOMPARE(lines.size(), 1);
        QVERIFY(!lines.first().contains("token-a"));
    }

    void repeatedRequestReplacesForwarding()
    {
        const quint16 port = freePort();
        const QString local = QStringLiteral("127.0.0.1:%1").arg(port);
        int starts = 0;
        QCOMPARE(openChannel("SN1", "127.0.0.1:7530", local, &starts), 0);
        QVERIFY(echoes(port, "first"));
        // After a disconnect the forwarding is still there; the next request deletes and re-adds.
        QCOMPARE(openChannel("SN1", "127.0.0.1:7530", local, &starts), 0);
        QCOMPARE(starts, 0); // the tunnel was running both times
        QVERIFY(echoes(port, "second"));
        QCOMPARE(m_panel.relay->process().output().count(QRegularExpression("PC user users:\\d+ connected")), 1);

        VNCTunnelConnect client;
        QCOMPARE(client.ConnectAdd("127.0.0.1:7530", local), int(TUNNEL_E_BAD_ARGUMENT)); // no SN yet
        client.SetDevId("SN1");
        QCOMPARE(client.ConnectDel("127.0.0.1:7530", local), 0);
        QVERIFY(refusesConnections(port)); // there was exactly one forwarding on it
        QVERIFY(client.ConnectDel("127.0.0.1:7530", local) != 0); // harmless when absent
        client.SetDevId("SN2");
        QCOMPARE(client.ConnectAdd("127.0.0.1:7530", local), int(TUNNEL_E_PANEL_OFFLINE));
        QVERIFY(g_messages.filter("Add connect failed").isEmpty()); // ConnectAdd logs nothing
    }

    // The viewer beside the executable, started in its own folder; without one, the caller
    // is told, never left waiting for a window that does not come.
    void openVncStartsViewerBesideExecutable()
    {
        QString missing;
        VNCTunnelConnect().OpenVnc("127.0.0.1:7530", [&](const QString &why) { missing = why; });
        QVERIFY(QTest::qWaitFor([&] { return !missing.isEmpty(); }, 10000));
        QVERIFY2(missing.contains(m_vncDir + "/vnc"), qPrintable(missing));

        const QString probe = m_dir.filePath("viewer.out");
        QVERIFY(QDir().mkpath(m_vncDir));
        QVERIFY(saveFile(m_vncDir + "/vnc", "#!/bin/sh\n{ pwd; echo \"$@\"; echo $$; } > \"$TALVO_VNC_PROBE.tmp\" && mv "
                                             "\"$TALVO_VNC_PROBE.tmp\" \"$TALVO_VNC_PROBE\"\n"));
        QFile::setPermissions(m_vncDir + "/vnc", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("TALVO_VNC_PROBE", probe.toLocal8Bit());
        VNCTunnelConnect().OpenVnc("127.0.0.1:7530");
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(probe); }, 10000));
        const QStringList lines = QString::fromLocal8Bit(readFile(probe)).split('\n');
        QCOMPARE(QDir(lines.value(0)).canonicalPath(), QDir(m_vncDir).canonicalPath());
        QCOMPARE(lines.value(1), QString("127.0.0.1:7530"));
        // The viewer's QProcess deletes itself once the viewer ends: the test ends only after
        // that, or the leak check sees it still alive.
        const pid_t viewer = lines.value(2).toInt();
        QVERIFY(viewer > 0);
        QVERIFY(QTest::qWaitFor([&] { return ::kill(viewer, 0) != 0; }, 10000));
    }
};

PRIVATE_NETWORK_TEST_MAIN_WITH(TestVncTunnelConnect, enterPrivateNetwork)

#include "test_vnctunnelconnect.moc"
