#include "devices/VirtualPortsManager.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// The manager with the real library loaded from beside the executable, and the ports used
// the way the engine and the PLC programming software use them.
class TestVirtualPortsManager : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    // Reads until the expected count arrived or the time is up.
    static QByteArray receive(QSerialPort &port, int count)
    {
        QByteArray bytes = port.readAll();
        QDeadlineTimer deadline(5000);
        while (bytes.size() < count && !deadline.hasExpired()) {
            if (port.waitForReadyRead(int(deadline.remainingTime())))
                bytes += port.readAll();
        }
        return bytes;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("TALVO_VSERIAL_DIR", QFile::encodeName(m_dir.path()));
    }

    void cleanup()
    {
        VirtualPortsManager::deletePair("COM30");
    }

    void pairIsMadeAndRemoved()
    {
        QCOMPARE(VirtualPortsManager::portLocation("COM31"), m_dir.filePath("COM31"));
        QVERIFY(VirtualPortsManager::createPair("COM30", "COM31"));
        QVERIFY(QFileInfo::exists(VirtualPortsManager::portLocation("COM30")));
        QVERIFY(QFileInfo::exists(VirtualPortsManager::portLocation("COM31")));
        QVERIFY(VirtualPortsManager::createPair("COM30", "COM31"));

        QVERIFY(VirtualPortsManager::deletePair("COM30"));
        QVERIFY(!QFileInfo::exists(VirtualPortsManager::portLocation("COM30")));
        QVERIFY(!QFileInfo::exists(VirtualPortsManager::portLocation("COM31")));
        // A pair that does not exist: the library's answer, passed on without a warning.
        QVERIFY(!VirtualPortsManager::deletePair("COM30"));
    }

    void serialPortsTalkThroughThePair_data()
    {
        QTest::addColumn<qint32>("engineBaud");
        QTest::addColumn<qint32>("softwareBaud");
        QTest::newRow("library defaults") << qint32(0) << qint32(0);
        QTest::newRow("9600 against 115200") << qint32(9600) << qint32(115200);
        QTest::newRow("non-standard rate") << qint32(250000) << qint32(19200);
    }
    void serialPortsTalkThroughThePair()
    {
        QFETCH(qint32, engineBaud);
        QFETCH(qint32, softwareBaud);
        VirtualPortsManager::deletePair("COM30");
        QVERIFY(VirtualPortsManager::createPair("COM30", "COM31"));

        QSerialPort engine(VirtualPortsManager::portLocation("COM31"));
        QSerialPort software(VirtualPortsManager::portLocation("COM30"));
        QVERIFY2(engine.open(QIODevice::ReadWrite), qPrintable(engine.errorString()));
        QVERIFY2(software.open(QIODevice::ReadWrite), qPrintable(software.errorString()));
        if (engineBaud)
            QVERIFY(engine.setBaudRate(engineBaud));
        if (softwareBaud)
            QVERIFY(software.setBaudRate(softwareBaud));

        // A Modbus RTU request and its answer: binary, with bytes a terminal would act upon.
        const QByteArray request = QByteArray::fromHex("010300000002c40b");
        const QByteArray answer = QByteArray::fromHex("0103040d0a1311ffe1b7");
        QSignalSpy engineRead(&engine, &QSerialPort::readyRead);
        software.write(request);
        QVERIFY(software.flush());
        QVERIFY(engineRead.wait(5000));
        QCOMPARE(receive(engine, request.size()), request);

        // Written and flushed, as the engine does with what comes from the panel.
        engine.write(answer);
        QVERIFY(engine.flush());
        QCOMPARE(receive(software, answer.size()), answer);
    }
};

QTEST_GUILESS_MAIN(TestVirtualPortsManager)
#include "tst_virtualportsmanager.moc"
