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

    void SetDevId(const QString &sn);
    int TunnelState();
    int StarTunnel();
    int ConnectDel(const QString &remote, const QString &local);
    int ConnectAdd(const QString &remote, const QString &local);
    int ConnectDelHmi();
    int ConnectAddHmi();
    void OpenVnc(const QString &argument);

private:
    QString devId;
};
