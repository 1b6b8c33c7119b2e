#pragma once

#include <QObject>
#include <QString>

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
    virtual void OpenVnc(const QString &argument);

private:
    QString devId;
};
