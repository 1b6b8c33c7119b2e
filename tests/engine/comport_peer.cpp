// The Windows end of tst_comport_wine: the tool's COM port, driven from the event loop as
// the engine drives it. Opens the port, says "hello", takes the byte count it is given
// and sends the bytes back in one write, and ends once they are all reported written.
//   comport_peer PORT COUNT
// Exit 0: done; 2: usage; 3: the port did not open (the reason on stdout); 4: a time-out.
#include "engine/PcSerialPort.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const qint64 count = QByteArray(argv[2]).toLongLong();
    PcSerialPort *port = PcSerialPort::create(QString::fromLocal8Bit(argv[1]), &app);
    if (!port->open(QIODevice::ReadWrite)) {
        std::printf("%s\n", port->errorString().toUtf8().constData());
        return 3;
    }
    QByteArray received;
    qint64 written = 0;
    QObject::connect(port, &QIODevice::readyRead, [&] {
        received += port->readAll();
        if (received.size() == count) {
            port->write(received);
            port->flush();
        }
    });
    QObject::connect(port, &QIODevice::bytesWritten, [&](qint64 n) {
        written += n;
        if (written == 5 + count)
            app.exit(0);
    });
    QTimer::singleShot(60000, [&] {
        std::printf("time-out: %lld of %lld bytes read, %lld written\n", qint64(received.size()), count, written);
        app.exit(4);
    });
    port->write("hello");
    const int code = app.exec();
    port->close();
    std::fflush(stdout);
    return code;
}
