#pragma once

#include <QObject>
#include <QString>

#include <functional>

// Turns the tool's tunnel requests into tunnel library calls for one panel. Holds no state
// of its own besides the device ID: the tunnel and its forwardings live in the library, so
// callers make a fresh client per request.
class VNCTunnelConnect : public QObject
{
    Q_OBJECT
public:
    explicit VNCTunnelConnect(QObject *parent = nullptr);

    // Virtual so that tests can stand in for the library.
    virtual void SetDevId(const QString &sn);
    virtual int TunnelState();
    virtual int StarTunnel();
    virtual int ConnectDel(const QString &remote, const QString &local);
    virtual int ConnectAdd(const QString &remote, const QString &local);
    virtual int ConnectDelHmi();
    virtual int ConnectAddHmi();
    // failed hears, later and on this thread, why the viewer could not start or ended
    // with an error; the viewer outlives this client.
    virtual void OpenVnc(const QString &argument,
                         const std::function<void(const QString &)> &failed = {});

    // demoTunnel.cfg in the working directory, else beside the executable (a desktop entry
    // or a shortcut may start the tool anywhere).
    static QString configFile();

private:
    QString devId;
};
