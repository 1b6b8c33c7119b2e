#pragma once

#include <QObject>

// The pass-through engine: carries a serial or Ethernet channel to the panel's
// pass-through service over one tunnelled TCP connection.
class PLCDownloadPassThrough : public QObject
{
    Q_OBJECT
public:
    enum State {
        NetworkConnecting = 1,
        DeviceConnecting = 2,
        ChannelCreated = 3,
        Disconnecting = 4,
        Idle = 5,
        DeviceReady = 6,
    };
    Q_ENUM(State)

    explicit PLCDownloadPassThrough(QObject *parent = nullptr);
};
