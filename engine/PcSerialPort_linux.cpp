#include "engine/PcSerialPort.h"

#include <QSerialPort>

namespace {
// QSerialPort behind the seam. The port's own buffers are the only ones: this device is
// opened unbuffered and hands each call straight through.
class QtSerialPort : public PcSerialPort
{
public:
    QtSerialPort(const QString &location, QObject *parent)
        : PcSerialPort(parent)
        , m_port(location)
    {
        connect(&m_port, &QIODevice::readyRead, this, &QIODevice::readyRead);
        connect(&m_port, &QIODevice::bytesWritten, this, &QIODevice::bytesWritten);
    }

    bool open(OpenMode mode) override
    {
        if (isOpen())
            return false;
        if (!m_port.open(mode)) {
            setErrorString(m_port.errorString());
            return false;
        }
        return QIODevice::open(mode | Unbuffered);
    }

    void close() override
    {
        m_port.close();
        QIODevice::close();
    }

    QString portName() const override { return m_port.portName(); }
    bool flush() override { return m_port.flush(); }
    qint64 bytesAvailable() const override { return m_port.bytesAvailable() + QIODevice::bytesAvailable(); }
    qint64 bytesToWrite() const override { return m_port.bytesToWrite(); }
    bool waitForReadyRead(int msecs) override { return m_port.waitForReadyRead(msecs); }
    bool waitForBytesWritten(int msecs) override { return m_port.waitForBytesWritten(msecs); }

protected:
    qint64 readData(char *data, qint64 maxSize) override { return m_port.read(data, maxSize); }
    qint64 writeData(const char *data, qint64 size) override { return m_port.write(data, size); }

private:
    QSerialPort m_port;
};
} // namespace

PcSerialPort *PcSerialPort::create(const QString &location, QObject *parent)
{
    return new QtSerialPort(location, parent);
}
