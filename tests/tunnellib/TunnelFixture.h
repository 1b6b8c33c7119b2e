#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTcpServer>
#include <QTemporaryDir>

// Helpers shared by the tunnel tests: the relay and the panel agent as real processes
// (so they can be killed), an echo target, and a private network namespace.

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

// Writes a panel agent config; `targets` are "VIEW=ACTUAL" lines.
QString writePanelConfig(const QString &dir, const QString &name, const QString &sn, const QString &secret,
                         quint16 relayPort, const QString &fingerprint, const QStringList &targets);
QString writeTunnelConfig(const QString &path, quint16 relayPort, const QString &fingerprint, const QString &token);
bool writeFile(const QString &path, const QByteArray &content);

// Echoes every byte back, on the test's thread.
class EchoServer : public QTcpServer
{
public:
    EchoServer();
protected:
    void incomingConnection(qintptr fd) override;
};

// A port that was free a moment ago (bind to 0, read, close).
quint16 freePort();
// Counts this process's threads.
int threadCount();

extern const char *const kRelayBinary;
extern const char *const kPanelBinary;
