#include "panel/PcMessageParser.h"

#include <QtTest>

using panel::PcMessage;
using panel::PcMessageParser;

Q_DECLARE_METATYPE(std::string)

// How the agent cuts the engine's delimiter-less stream into messages.
class TestPcMessages : public QObject
{
    Q_OBJECT

    static QString describe(const std::vector<PcMessage> &messages)
    {
        static const char *names[] = {"port", "mode", "serial", "frame", "disconnect", "junk"};
        QStringList parts;
        for (const PcMessage &m : messages)
            parts << QString("%1:%2").arg(names[m.kind]).arg(QString::fromLatin1(QByteArray::fromStdString(m.payload).toHex()));
        return parts.join(' ');
    }
    static QString hex(const char *s) { return QString::fromLatin1(QByteArray(s).toHex()); }
    // Feeds bytes in pieces, then lets the sender fall idle.
    static std::vector<PcMessage> parse(const std::string &bytes, std::size_t piece)
    {
        PcMessageParser p;
        std::vector<PcMessage> all;
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            auto got = p.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
            all.insert(all.end(), got.begin(), got.end());
        }
        auto rest = p.flushName();
        all.insert(all.end(), rest.begin(), rest.end());
        return all;
    }

private slots:
    // The serial mode's opening as the engine writes it, in one segment or split anywhere,
    // gives the same messages.
    void sameMessagesWhateverTheSplit()
    {
        const std::string frameData("\x01\x03\x00\x00\x00\x0a", 6);
        const std::string stream = "COM#COM2" "COM#PCAP#" "PLC#SK010006" + frameData
            + "PCP#" + std::string("\x00\x11PLC#\xff", 7) + "END#" "PLC#disconnect";
        const QString expected = QString("port:%1 mode: serial:%2 frame:%3 disconnect:")
                                     .arg(hex("COM2"))
                                     .arg(QString::fromLatin1(QByteArray::fromStdString(frameData).toHex()))
                                     .arg(QString::fromLatin1(QByteArray("\x00\x11PLC#\xff", 7).toHex()));
        for (std::size_t piece = 1; piece <= stream.size(); ++piece)
            QCOMPARE(describe(parse(stream, piece)), expected);
    }

    void nameAtTheEndWaitsForIdle()
    {
        PcMessageParser p;
        QVERIFY(p.feed("COM#PCAP#et", 11).empty());
        QVERIFY(p.holdsName());
        QVERIFY(p.feed("h0", 2).empty());
        QCOMPARE(describe(p.flushName()), "mode:" + hex("eth0"));
        QVERIFY(!p.holdsName());
    }

    // A name the owner knows to be whole goes out without waiting for the sender to pause.
    void wholeNamesDoNotWait()
    {
        PcMessageParser p([](int kind, const std::string &name) {
            return kind == PcMessage::PortAnnouncement && name == "COM2";
        });
        QVERIFY(p.feed("COM#COM", 7).empty());
        QCOMPARE(describe(p.feed("2", 1)), "port:" + hex("COM2"));
        QVERIFY(!p.holdsName());
        QVERIFY(p.feed("COM#COM1", 8).empty()); // not served here: may still grow
        QVERIFY(p.holdsName());
    }

    void junkIsSkippedToTheNextTag()
    {
        QCOMPARE(describe(parse("garbage" "COM#COM1", 100)), "junk:" + hex("garbage") + " port:" + hex("COM1"));
        // A length field that is not hexadecimal: the tag is dropped, the rest resynchronises.
        QCOMPARE(describe(parse("PLC#SK01zzzz" "PLC#disconnect", 100)),
                 "junk:" + hex("PLC#SK01") + " junk:" + hex("zzzz") + " disconnect:");
        // Names stop at blanks and control bytes, and at kMaxName.
        const auto longName = parse("COM#" + std::string(100, 'A'), 100);
        QCOMPARE(longName.front().payload.size(), PcMessageParser::kMaxName);
    }

    void memoryStaysBounded()
    {
        PcMessageParser p;
        const std::string noise(4096, 'x');
        for (int i = 0; i < 256; ++i) {
            p.feed(noise.data(), noise.size());
            QVERIFY(p.buffered() <= 4);
        }
        p.feed("PCP#", 4); // a frame that never ends
        for (int i = 0; i < 64; ++i)
            p.feed(noise.data(), noise.size());
        QVERIFY(p.buffered() <= PcMessageParser::kMaxFrame + 8);
        QCOMPARE(describe(p.feed("PLC#disconnect", 14)).right(11), QStringLiteral("disconnect:"));
    }
};

QTEST_APPLESS_MAIN(TestPcMessages)
#include "tst_pcmessages.moc"
