#pragma once

#include <QIODevice>
#include <QString>

// The PC's end of the serial channel: the second port of a virtual pair, opened by name.
// QSerialPort on Linux; on Windows, where the cross-built Qt has no serial module, a COM
// port driven with overlapped Win32 I/O. Either way readyRead and bytesWritten come from
// the event loop, and a failed open leaves the reason in errorString().
class PcSerialPort : public QIODevice
{
public:
    // Opened with 9600 baud, 8 data bits, no parity, one stop bit, no flow control: what
    // QSerialPort starts with, and what the pass-through has always used.
    static PcSerialPort *create(const QString &location, QObject *parent = nullptr);

    virtual QString portName() const = 0;
    // Starts sending what was written without waiting for the event loop; never blocks.
    virtual bool flush() = 0;

    bool isSequential() const override { return true; }

protected:
    using QIODevice::QIODevice;
};
