#pragma once

#include <QByteArray>
#include <QProcess>
#include <QSslSocket>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

// Helpers shared by the tunnel tests: the relay and the panel agent as real processes
// (so they can be killed), an echo target, and a private network namespace.

#include "Files.h"
#include "PrivateNetwork.h"

// A program of ours, with its standard output collected for log checks.
class ToolProcess
{
public:
    ~ToolProcess();
    bool start(const QString &program, const QString &configPath);
    // Waits (bounded, on output events) until the collected output contains `needle`.
    bool waitForOutput(const QString &needle, int timeoutMs = 5000);
    int count(const QString &needle);
    void kill(); // SIGKILL, as a crash would
    QString output();
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    QByteArray m_output;
};

class RelayFixture
{
public:
    explicit RelayFixture(const QString &dir) : m_dir(dir) {}
    // port 0: a free port; the first start creates key and certificate.
    bool start(quint16 port = 0, const QString &extra = QString());
    quint16 port() const { return m_port; }
    QString fingerprint() const { return m_fingerprint; }
    ToolProcess &process() { return m_process; }
    QString configPath() const { return m_dir + "/relay.ini"; }

private:
    QString m_dir;
    ToolProcess m_process;
    quint16 m_port = 0;
    QString m_fingerprint;
};

// Writes a panel agent config; `targets` are "VIEW=ACTUAL" lines, `panelLines` more
// "key=value" lines for [panel].
QString writePanelConfig(const QString &dir, const QString &name, const QString &sn, const QString &secret,
                         quint16 relayPort, const QString &fingerprint, const QStringList &targets,
                         const QStringList &panelLines = {});
QString writeTunnelConfig(const QString &path, quint16 relayPort, const QString &fingerprint, const QString &token);

// Echoes every byte back, on the test's thread.
class EchoServer : public QTcpServer
{
public:
    EchoServer();
protected:
    void incomingConnection(qintptr fd) override;
};

// A control link spoken straight over the relay protocol, collecting all it receives. It
// trusts any certificate unless given the fingerprint to pin: the relays' own checks are under
// test. Streams end to end need the per-stream proof, which StreamClient speaks.
class RelayClient
{
public:
    RelayClient();
    // TLS to the relay, waited for.
    bool connectTo(quint16 port, const QString &fingerprint = QString());
    // Starts TLS and sends the hello and `request` once it is up, without waiting: for many
    // at a time.
    void send(quint16 port, const QByteArray &request);
    // Connects, sends the hello and one request line, and waits for the first line of the
    // answer; askRaw sends the request alone (another version's peer).
    bool ask(quint16 port, const QByteArray &request, const QString &fingerprint = QString());
    bool askRaw(quint16 port, const QByteArray &request, const QString &fingerprint = QString());
    bool waitForLine(int timeoutMs = 5000);
    bool closed(int timeoutMs = 5000);
    // One round trip through an echo target.
    bool echoes(const QByteArray &text, int timeoutMs = 5000);
    bool answered() const { return received.contains('\n'); }
    bool ok() const { return received.startsWith("OK\n"); }
    // `size` bytes came back after the OK.
    bool echoed(int size) const { return ok() && received.size() >= 3 + size; }
    QByteArray firstLine() const { return received.left(received.indexOf('\n')); }
    static QByteArray hello() { return "TALVO 2\n"; }
    // A panel's registration with a made-up key (the relay only passes it on).
    static QByteArray panel(const QByteArray &sn, const QByteArray &secret)
    {
        return "PANEL " + sn + " " + secret + " " + QByteArray(64, 'e') + "\n";
    }

    QSslSocket socket;
    QByteArray received;
};

// A client of a forwarded local port that collects what comes back.
struct LocalClient
{
    LocalClient();
    bool connectTo(quint16 port);
    bool echoes(const QByteArray &data, int timeoutMs = 20000);
    bool closedByPeer(int timeoutMs);

    QTcpSocket socket;
    QByteArray received;
};

// Nothing listens on the port: a forwarding refused or deleted left no listener behind.
bool refusesConnections(quint16 port);

// A port that was free a moment ago (bind to 0, read, close).
quint16 freePort();
// Counts this process's threads.
int threadCount();

extern const char *const kRelayBinary;
extern const char *const kPanelBinary;
