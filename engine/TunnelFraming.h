#pragma once

#include <QByteArray>
#include <QString>

// The messages on the tunnel socket between the engine and the panel's pass-through
// service, as pure functions over bytes.
namespace TunnelFraming {

extern const QByteArray kDisconnect;      // "PLC#disconnect"
extern const QByteArray kMacIpPrefix;     // "PCPMACIP#"
extern const QByteArray kFrameStart;      // "PCP#"
extern const QByteArray kFrameEnd;        // "END#"

// "COM#" and the panel's serial port name.
QByteArray portAnnouncement(const QString &comPort);
// "COM#PCAP#" and the panel's Ethernet port name (empty in the serial mode).
QByteArray modeAnnouncement(const QString &pcapDevice);
// Most data bytes one serial data frame can describe.
constexpr int kMaxSerialChunk = 0xFFFF;
// "PLC#SK01", the data length modulo 65536 as four lowercase hex digits, the data.
QByteArray serialDataFrame(const QByteArray &data);
// As many frames as the data needs: a length field holds 16 bits, so a read of 64 KiB or
// more goes out in several frames rather than one whose length the panel would misread.
QByteArray serialDataFrames(const QByteArray &data);
// "PCP#", the frame, "END#".
QByteArray ethernetEnvelope(const QByteArray &frame);

struct MacIpAnnouncement {
    bool recognised = false; // the read starts with "PCPMACIP#"
    bool complete = false;   // and carries at least a MAC and an IP text
    QString mac;
    QString ip;
};
// Only the start of a read counts; the text ends at the first NUL byte.
MacIpAnnouncement parseMacIpAnnouncement(const QByteArray &read);

// How a read is taken in the serial mode; each read is judged as a whole.
struct SerialRead {
    enum Kind {
        PortRefused,     // "COM#NULL"
        PortAccepted,    // "COM#" in 13 bytes or more: text is shown to the operator
        PortReplyShort,  // "COM#" in fewer than 13 bytes
        Data,            // bytes for the serial port
    };
    Kind kind = Data;
    QString text;
    QByteArray data;
};
// Once the port has been answered, "COM#" in a read is the PLC's data, not another answer.
SerialRead classifySerialRead(const QByteArray &read, bool portAnswered = false);

} // namespace TunnelFraming
