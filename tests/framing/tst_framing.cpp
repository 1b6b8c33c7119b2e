// Guards the tunnel framing against cut or forged Ethernet frames (end markers, tags and parts
// of them inside, however the stream is cut) and against messages that change byte for byte.
#include "framing/PcMessageParser.h"
#include "framing/TunnelFraming.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace framing;

namespace {
// Real frame shapes: the length each one's headers give is what decides where it ends.
std::string ethernet(quint16 type, const std::string &l3, bool vlan = false)
{
    std::string f("\x02\x00\x00\x00\x00\x01" "\x02\x00\x00\x00\x00\x02", 12);
    if (vlan)
        f += std::string("\x81\x00\x00\x05", 4);
    return f + char(type >> 8) + char(type & 0xFF) + l3;
}
std::string ipv4(const std::string &payload)
{
    std::string h("\x45\x00\x00\x00\x00\x00\x40\x00\x40\x06\x00\x00\x0a\x00\x00\x01\x0a\x00\x00\x02", 20);
    h[2] = char((20 + payload.size()) >> 8), h[3] = char((20 + payload.size()) & 0xFF);
    return h + payload;
}
std::string ipv6(const std::string &payload)
{
    std::string h(40, '\0');
    h[0] = 0x60, h[4] = char(payload.size() >> 8), h[5] = char(payload.size() & 0xFF), h[6] = 17;
    return h + payload;
}
const std::string kArp = std::string("\x00\x01\x08\x00\x06\x04\x00\x01", 8) + std::string(20, 'A');
std::string padded(std::string f)
{
    f.resize(std::max<std::size_t>(f.size(), 60), '\0');
    return f;
}

std::vector<std::string> hostileFrames()
{
    std::vector<std::string> frames;
    for (const std::string m : {"END#", "PCP#", "PCP#forgedEND#", "PLC#disconnect", "EN", "END", "PC", "PCPMACIP#"})
        for (std::size_t at = 0; at <= 40; at += 5) {
            const std::string payload = std::string(at, 'x') + m + std::string(40 - at, 'y');
            frames.push_back(ethernet(0x0800, ipv4(payload)));
            frames.push_back(ethernet(0x86DD, ipv6(payload)));
            frames.push_back(ethernet(0x0800, ipv4(payload), true));
            frames.push_back(ethernet(std::uint16_t(3 + payload.size()), std::string("\x42\x42\x03", 3) + payload));
        }
    frames.push_back(padded(ethernet(0x0806, kArp)));
    frames.push_back(padded(ethernet(0x0800, ipv4("END#")))); // padding after a short packet
    frames.push_back(ethernet(0x0806, kArp));                // as a veth captures it, unpadded
    return frames;
}

std::string envelopes(const std::vector<std::string> &frames)
{
    std::string wire;
    for (const std::string &f : frames)
        if (!appendEthernetEnvelope(wire, reinterpret_cast<const unsigned char *>(f.data()), f.size()))
            qFatal("a test frame was not carried");
    return wire;
}

// The messages either reader gives for the stream cut at the given offsets: frames as their
// bytes, the rest as their kind (the panel's: with its payload).
std::vector<std::string> framesAt(bool pcSide, const std::string &wire, const std::vector<std::size_t> &cuts)
{
    PanelStreamReader reader;
    PcMessageParser parser;
    std::vector<std::string> got;
    const auto take = [&](const std::vector<PcMessage> &messages) {
        for (const PcMessage &m : messages)
            got.push_back(m.kind == PcMessage::EthernetFrame ? m.payload : std::to_string(m.kind) + ":" + m.payload);
    };
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        const std::string_view piece = std::string_view(wire).substr(from, cut - from);
        if (pcSide)
            for (const PanelMessage &m : reader.feed(piece))
                got.push_back(m.kind == PanelMessage::Frame ? m.bytes : "other:" + m.bytes);
        else
            take(parser.feed(piece.data(), piece.size()));
        from = cut;
    }
    if (!pcSide)
        take(parser.flushName());
    return got;
}
} // namespace

class TestFraming : public QObject
{
    Q_OBJECT

private slots:
    // The engine's reading of serial reads; a read longer than one 16-bit length goes as
    // several frames whose lengths add up, never as one that claims 4,464 bytes.
    void serialMessages()
    {
        const std::string big = serialDataFrames(std::string(70000, 'z'));
        QCOMPARE(big.size(), std::size_t(70000 + 24));
        QCOMPARE(big.substr(0, 12), std::string("PLC#SK01ffff"));
        QCOMPARE(big.substr(12 + 0xffff, 12), std::string("PLC#SK011171"));

        QCOMPARE(int(classifySerialRead("COM#NULL").kind), int(SerialRead::PortRefused));
        QCOMPARE(int(classifySerialRead("COM#COM2 9600").kind), int(SerialRead::PortAccepted));
        QCOMPARE(int(classifySerialRead("COM#COM2 960").kind), int(SerialRead::PortReplyShort));
        QCOMPARE(classifySerialRead(std::string_view("COM#COM1 ok\0\0hidden", 20)).text, std::string("COM#COM1 ok"));
        QCOMPARE(classifySerialRead("PLC#ab PLC#cd").data, std::string("cd"));
        const std::string answer("\x01\x03\x02" "COM#" "\x00\x01", 9);
        QCOMPARE(int(classifySerialRead(answer).kind), int(SerialRead::PortReplyShort));
        QCOMPARE(classifySerialRead(answer, true).data, answer); // after the acceptance: data
    }

    // Frames whose own bytes hold the markers, split between two reads at every offset, and
    // in random reads: both directions give back exactly the frames that were sent.
    void framesOfAnyContentCrossWhole()
    {
        const std::vector<std::string> sent = hostileFrames();
        const std::string wire = envelopes(sent);
        const std::string few = envelopes({sent[1], sent[2], sent.back()});
        for (bool pcSide : {true, false}) {
            QCOMPARE(framesAt(pcSide, wire, {wire.size()}), sent);
            for (std::size_t cut = 1; cut < few.size(); ++cut)
                QCOMPARE(framesAt(pcSide, few, {cut, few.size()}).size(), std::size_t(3));
            QRandomGenerator rng(7);
            for (int round = 0; round < 20; ++round) {
                std::vector<std::size_t> cuts;
                for (std::size_t at = 0; at < wire.size();)
                    cuts.push_back(at = std::min(wire.size(), at + 1 + rng.bounded(300)));
                QCOMPARE(framesAt(pcSide, wire, cuts), sent);
            }
        }
    }

    // What cannot be a frame of the link is not carried, and a receiver does not wait for it.
    void senderAndReceiverLimits()
    {
        std::string out;
        const std::string packet = ethernet(0x0800, ipv4("hello"));
        const auto bytes = [](const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); };
        QVERIFY(!appendEthernetEnvelope(out, bytes(packet), 13));                 // no header
        QVERIFY(!appendEthernetEnvelope(out, bytes(packet), packet.size() - 1)); // truncated
        const std::string jumbo = ethernet(0x88B5, std::string(kMaxFrame, 'j'));
        QVERIFY(!appendEthernetEnvelope(out, bytes(jumbo), jumbo.size()));
        QVERIFY(out.empty());
        // Trailing bytes past the padding could forge an envelope; they are not sent.
        const std::string trailer = packet + std::string(20, '\0') + "END#PCP#forgedEND#";
        QVERIFY(appendEthernetEnvelope(out, bytes(trailer), trailer.size()));
        QCOMPARE(out, "PCP#" + padded(packet) + "END#");
        // Padding goes as zeros: it cannot end the envelope early and smuggle a frame in.
        const std::string llc = ethernet(0, "END#PCP#" + std::string(20, 'f') + "END#");
        std::string zeroed;
        QVERIFY(appendEthernetEnvelope(zeroed, bytes(llc), llc.size()));
        QCOMPARE(zeroed, "PCP#" + llc.substr(0, 14) + std::string(llc.size() - 14, '\0') + "END#");

        // A frame of unknown length without an end within the link's largest frame is dropped,
        // and the stream goes on with the next frame.
        PanelStreamReader reader;
        reader.feed("PCP#" + std::string(3000, 'q'));
        QVERIFY(reader.buffered() < 8);
        const std::vector<PanelMessage> got = reader.feed("qqEND#" + out);
        QCOMPARE(int(got.back().kind), int(PanelMessage::Frame));
        QCOMPARE(got.back().bytes, padded(packet));
    }

    // The panel's identity and the first frame in one read: neither is lost.
    void announcementThenFrames()
    {
        const std::string frame = padded(ethernet(0x0806, kArp));
        const std::string wire = macIpAnnouncement("02:54:56:00:04:12", "192.168.1.20") + envelopes({frame});
        for (std::size_t cut = 1; cut <= wire.size(); ++cut) {
            PanelStreamReader reader;
            std::vector<PanelMessage> got = reader.feed(std::string_view(wire).substr(0, cut));
            for (const PanelMessage &m : reader.feed(std::string_view(wire).substr(cut)))
                got.push_back(m);
            QCOMPARE(got.size(), std::size_t(2));
            QCOMPARE(got[0].mac + " " + got[0].ip, std::string("02:54:56:00:04:12 192.168.1.20"));
            QCOMPARE(got[1].bytes, frame);
        }
        // A NUL ends the text, as a read from a C peer may carry one; so does a read judged
        // whole (the serial mode's), without the last '#'.
        QCOMPARE(PanelStreamReader().feed(std::string_view("PCPMACIP#aa#1.2.3.4\0junk", 24)).front().ip, std::string("1.2.3.4"));
        // Names nothing: not an announcement.
        QCOMPARE(int(PanelStreamReader().feed("PCPMACIP###").front().kind), int(PanelMessage::Junk));
        PanelStreamReader whole;
        QVERIFY(whole.feed("PCPMACIP#aa#1.2.3.4").empty());
        QCOMPARE(whole.flush().front().ip, std::string("1.2.3.4"));
    }

    // The panel's reading of the engine's delimiter-less stream, split anywhere.
    void pcStreamWhateverTheSplit()
    {
        const std::string frame = ethernet(0x0800, ipv4("PLC#\xff" "END#"));
        const std::string data("\x01\x03\x00\x00\x00\x0a", 6);
        const std::string stream = "COM#COM2" "COM#PCAP#" "PLC#SK010006" + data + envelopes({frame}) + "PLC#disconnect";
        const std::vector<std::string> expected {"0:COM2", "1:", "2:" + data, frame, "4:"};
        for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
            std::vector<std::size_t> cuts;
            for (std::size_t at = piece; at < stream.size() + piece; at += piece)
                cuts.push_back(std::min(at, stream.size()));
            QCOMPARE(framesAt(false, stream, cuts), expected);
        }
    }

    // A name that may still grow is held until the sender pauses, unless known whole; junk and
    // 1 MiB of noise leave both readers bounded.
    void namesJunkAndBounds()
    {
        PcMessageParser p;
        QVERIFY(p.feed("COM#PCAP#et", 11).empty());
        QVERIFY(p.holdsName()); // may still grow
        QCOMPARE(p.flushName().front().payload, std::string("et"));
        PcMessageParser whole([](int kind, const std::string &name) { return kind == PcMessage::PortAnnouncement && name == "COM2"; });
        QCOMPARE(whole.feed("COM#COM2", 8).size(), std::size_t(1));
        // A length field that is not hexadecimal: the tag is dropped, the rest resynchronises.
        QCOMPARE(int(PcMessageParser().feed("PLC#SK01zzzzPLC#disconnect", 26).back().kind), int(PcMessage::Disconnect));

        QRandomGenerator rng(42);
        PanelStreamReader reader;
        PcMessageParser parser;
        for (int i = 0; i < 256; ++i) { // some of it tags
            std::string chunk(4096, '\0');
            rng.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
            if (i % 17 == 0)
                chunk.replace(0, 4, "PCP#");
            reader.feed(chunk);
            parser.feed(chunk.data(), chunk.size());
            QVERIFY(reader.buffered() <= kMaxFrame + 8 && parser.buffered() <= kMaxFrame + 8);
        }
    }
};

QTEST_APPLESS_MAIN(TestFraming)
#include "tst_framing.moc"
