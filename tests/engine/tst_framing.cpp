#include "engine/EthernetReassembler.h"
#include "engine/TunnelFraming.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace TunnelFraming;

// The tunnel socket's messages, byte for byte, and how reads are taken apart.
class TestFraming : public QObject
{
    Q_OBJECT

    static QByteArray frame(int n, int size = 60)
    {
        QByteArray f(size, char('a' + n % 26));
        f[0] = char(n);
        return f;
    }

private slots:
    void outgoingMessages()
    {
        QCOMPARE(portAnnouncement("COM2"), QByteArray("COM#COM2"));
        QCOMPARE(modeAnnouncement("eth0"), QByteArray("COM#PCAP#eth0"));
        QCOMPARE(modeAnnouncement(QString()), QByteArray("COM#PCAP#"));
        QCOMPARE(kDisconnect.size(), 14);
        QCOMPARE(ethernetEnvelope("\x01\x02"), QByteArray("PCP#\x01\x02" "END#"));

        const QByteArray three = serialDataFrame(QByteArray("\x01\x03\x00", 3));
        QCOMPARE(three.size(), 15);
        QCOMPARE(three.left(12), QByteArray("PLC#SK010003"));
        QCOMPARE(three.mid(12), QByteArray("\x01\x03\x00", 3));
        QCOMPARE(serialDataFrame(QByteArray(300, 'x')).left(12), QByteArray("PLC#SK01012c"));
        QCOMPARE(serialDataFrame(QByteArray(kMaxSerialChunk, 'x')).left(12), QByteArray("PLC#SK01ffff"));
        QCOMPARE(serialDataFrame(QByteArray()), QByteArray("PLC#SK010000"));

        // 70,000 bytes: two frames whose lengths add up, never one that claims 4,464.
        const QByteArray big = serialDataFrames(QByteArray(70000, 'z'));
        QCOMPARE(big.size(), 70000 + 24);
        QCOMPARE(big.left(12), QByteArray("PLC#SK01ffff"));
        QCOMPARE(big.mid(12 + 0xffff, 12), QByteArray("PLC#SK011171"));
        QCOMPARE(serialDataFrames("abc"), serialDataFrame("abc"));
    }

    void macIpAnnouncement_data()
    {
        QTest::addColumn<QByteArray>("read");
        QTest::addColumn<bool>("recognised");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<QString>("mac");
        QTest::addColumn<QString>("ip");
        QTest::newRow("full") << QByteArray("PCPMACIP#00:11:22:33:44:55#192.168.1.10#")
                              << true << true << "00:11:22:33:44:55" << "192.168.1.10";
        QTest::newRow("no parts") << QByteArray("PCPMACIP#") << true << false << "" << "";
        QTest::newRow("mac alone") << QByteArray("PCPMACIP#00:11:22:33:44:55") << true << false << "" << "";
        QTest::newRow("empty texts") << QByteArray("PCPMACIP##") << true << true << "" << "";
        QByteArray fifty("PCPMACIP#m#i");
        for (int i = 0; i < 48; ++i)
            fifty += "#x";
        QTest::newRow("fifty parts") << fifty << true << true << "m" << "i";
        QTest::newRow("nul ends the text") << QByteArray("PCPMACIP#aa#1.2.3.4\0#junk", 25)
                                           << true << true << "aa" << "1.2.3.4";
        QTest::newRow("nul before the ip") << QByteArray("PCPMACIP#aa\0#1.2.3.4#", 21)
                                           << true << false << "" << "";
        QTest::newRow("not at the start") << QByteArray("xPCPMACIP#a#b#") << false << false << "" << "";
    }
    void macIpAnnouncement()
    {
        QFETCH(QByteArray, read);
        QFETCH(bool, recognised);
        QFETCH(bool, complete);
        QFETCH(QString, mac);
        QFETCH(QString, ip);
        const MacIpAnnouncement a = parseMacIpAnnouncement(read);
        QCOMPARE(a.recognised, recognised);
        QCOMPARE(a.complete, complete);
        QCOMPARE(a.mac, mac);
        QCOMPARE(a.ip, ip);
    }

    void serialReads_data()
    {
        QTest::addColumn<QByteArray>("read");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("refused") << QByteArray("COM#NULL") << int(SerialRead::PortRefused) << QByteArray();
        QTest::newRow("accepted, 13 bytes") << QByteArray("COM#COM2 9600") << int(SerialRead::PortAccepted) << QByteArray();
        QTest::newRow("reply of 12 bytes") << QByteArray("COM#COM2 960") << int(SerialRead::PortReplyShort) << QByteArray();
        QTest::newRow("tagged twice") << QByteArray("PLC#ab PLC#cd") << int(SerialRead::Data) << QByteArray("cd");
        QTest::newRow("tag at the end") << QByteArray("xyPLC#") << int(SerialRead::Data) << QByteArray();
        QTest::newRow("bare") << QByteArray("\x01\x03\x00\x00", 4) << int(SerialRead::Data) << QByteArray("\x01\x03\x00\x00", 4);
    }
    void serialReads()
    {
        QFETCH(QByteArray, read);
        QFETCH(int, kind);
        QFETCH(QByteArray, data);
        const SerialRead r = classifySerialRead(read);
        QCOMPARE(int(r.kind), kind);
        QCOMPARE(r.data, data);
    }

    void afterTheAcceptanceComIsData()
    {
        const QByteArray answer("\x01\x03\x02" "COM#" "\x00\x01", 9);
        QCOMPARE(int(classifySerialRead(answer).kind), int(SerialRead::PortReplyShort));
        const SerialRead r = classifySerialRead(answer, true);
        QCOMPARE(int(r.kind), int(SerialRead::Data));
        QCOMPARE(r.data, answer);
    }

    void acceptanceTextEndsAtNul()
    {
        const SerialRead r = classifySerialRead(QByteArray("COM#COM1 ok\0\0hidden", 20));
        QCOMPARE(r.text, QStringLiteral("COM#COM1 ok"));
    }

    // Every split point of one frame over two reads yields the frame once, after the second.
    void frameSplitAtEveryByte()
    {
        const QByteArray wire = ethernetEnvelope(frame(7));
        for (int cut = 1; cut < wire.size(); ++cut) {
            EthernetReassembler r;
            QVERIFY(r.take(wire.left(cut)).isEmpty());
            const QList<QByteArray> got = r.take(wire.mid(cut));
            QCOMPARE(got.size(), 1);
            QCOMPARE(got.first(), frame(7));
            QVERIFY(r.pending().isEmpty());
        }
    }

    void everyCompleteFrameOfAReadIsHandedOn()
    {
        for (int count : {3, 9, 40}) {
            QByteArray wire;
            for (int i = 0; i < count; ++i)
                wire += ethernetEnvelope(frame(i, 60 + i));
            EthernetReassembler r;
            const QList<QByteArray> got = r.take(wire + "PCP#partial");
            QCOMPARE(got.size(), count);
            for (int i = 0; i < count; ++i)
                QCOMPARE(got.at(i), frame(i, 60 + i));
            QCOMPARE(r.pending(), QByteArray("PCP#partial"));
            QCOMPARE(r.take("rest" + kFrameEnd), QList<QByteArray>{QByteArray("partialrest")});
        }
    }

    void envelopeEdgeCases()
    {
        EthernetReassembler r;
        QCOMPARE(r.take("PCP#END#"), QList<QByteArray>{QByteArray()});

        // "END#" inside a frame cuts it; the rest waits until a read starting with "PCP#".
        QCOMPARE(r.take("PCP#abEND#cdEND#"), QList<QByteArray>{QByteArray("ab")});
        QCOMPARE(r.pending(), QByteArray("cdEND#"));
        QVERIFY(r.take("more").isEmpty());
        QCOMPARE(r.take("PCP#xyEND#"), QList<QByteArray>{QByteArray("xy")});
        QVERIFY(r.pending().isEmpty());

        // A read starting with "PCP#" drops an unfinished frame.
        QVERIFY(r.take("PCP#unfinished").isEmpty());
        QCOMPARE(r.take("PCP#newEND#"), QList<QByteArray>{QByteArray("new")});
    }

    void garbageStaysBounded()
    {
        EthernetReassembler r;
        QRandomGenerator rng(42);
        for (int i = 0; i < 256; ++i) { // 1 MiB in 4 KiB reads, some starting with "PCP#"
            QByteArray chunk(4096, Qt::Uninitialized);
            rng.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
            if (i % 17 == 0)
                chunk.replace(0, 4, kFrameStart);
            r.take(chunk);
            QVERIFY(r.pending().size() <= EthernetReassembler::kMaxPending);
        }
        QCOMPARE(r.take("PCP#okEND#"), QList<QByteArray>{QByteArray("ok")});
    }
};

QTEST_APPLESS_MAIN(TestFraming)
#include "tst_framing.moc"
