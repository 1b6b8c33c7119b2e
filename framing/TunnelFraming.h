#pragma once

// The messages on the pass-through connection between the PC's engine and the panel's
// pass-through service, both ways: every tag and envelope of the tunnel framing is spelled
// here and nowhere else. Plain C++17, so that the tool, its bridge and the panel agent share
// one definition.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace framing {

// ---- PC to panel ----

// "COM#" and the panel's serial port name.
std::string portAnnouncement(std::string_view port);
// "COM#PCAP#" and the panel's Ethernet port name (empty in the serial mode).
std::string modeAnnouncement(std::string_view device);
// Most data bytes one serial data frame can describe.
constexpr std::size_t kMaxSerialChunk = 0xFFFF;
// "PLC#SK01", the data length as four lowercase hex digits, the data; as many frames as the
// data needs, since the length field holds 16 bits.
std::string serialDataFrames(std::string_view data);
// "PLC#disconnect": the PC ends the exchange.
std::string disconnect();

// ---- panel to PC ----

// "PCPMACIP#" MAC "#" IP "#": the panel's Ethernet identity.
std::string macIpAnnouncement(std::string_view mac, std::string_view ip);
// The acceptance of a serial port ("COM#" + port + " ready") and its refusal ("COM#NULL").
std::string portAccepted(std::string_view port);
std::string portRefused();

// ---- Ethernet frames, both ways ----

// Frames longer than this are no frames of the link (1500 bytes of MTU, the Ethernet header
// and two VLAN tags) and are dropped rather than carried or waited for.
constexpr std::size_t kMaxFrame = 1500 + 14 + 8;
constexpr std::size_t kMinFrame = 14;

// The length a frame's own headers give (802.3 length, ARP/RARP, IPv4 total length, IPv6
// payload length, behind up to two VLAN tags), or nullopt when it cannot be known.
// needMore is set when the first size bytes are too few to tell.
std::optional<std::size_t> declaredLength(const unsigned char *frame, std::size_t size, bool *needMore = nullptr);

// "PCP#", the frame, "END#", appended to out. Frames shorter than an Ethernet header,
// shorter than their headers say or longer than kMaxFrame are not sent (false). The receiver
// takes the first end marker past the declared length as the envelope's end, so what follows
// the declared length must not be able to forge one: bytes past the padding to 60 are not
// sent, and the padding goes as zeros. Neither carries anything for the receiver's stack.
bool appendEthernetEnvelope(std::string &out, const unsigned char *frame, std::size_t size);

// Where an Ethernet envelope ends, given the bytes after its "PCP#". An "END#" ends the frame
// only at or after the length the frame's headers give, so payloads that contain the marker
// cross intact; for a frame whose length cannot be known, at the first marker past the
// Ethernet header.
struct EnvelopeEnd
{
    enum Kind { NeedMore, Frame, Oversized } kind = NeedMore;
    std::size_t frameLength = 0; // Frame: the frame's bytes
    std::size_t consumed = 0;    // Frame, Oversized: bytes to remove, the end marker included
};
EnvelopeEnd findEnvelopeEnd(std::string_view body);

// ---- the PC's reading of the panel's stream ----

// The Ethernet mode's stream from the panel: the identity announcement and the frames.
struct PanelMessage
{
    enum Kind { Announcement, Frame, Dropped, Junk } kind;
    std::string mac;   // Announcement
    std::string ip;    // Announcement
    std::string bytes; // Frame: the frame; Dropped, Junk: what was skipped
};
// In the serial mode only a read that starts with the announcement is one.
bool startsWithAnnouncement(std::string_view read);

class PanelStreamReader
{
public:
    std::vector<PanelMessage> feed(std::string_view bytes);
    // What was fed so far is a whole read: an announcement may end with it, as a peer may
    // leave out the IP's closing '#'.
    std::vector<PanelMessage> flush();
    std::size_t buffered() const { return m_buffer.size(); }
    void reset() { m_buffer.clear(); }

private:
    std::vector<PanelMessage> take(bool whole);

    std::string m_buffer;
};

// How a read is taken in the serial mode; each read is judged as a whole, since the panel
// sends the serial bytes plain.
struct SerialRead
{
    enum Kind {
        PortRefused,    // "COM#NULL"
        PortAccepted,   // "COM#" in 13 bytes or more: text is shown to the operator
        PortReplyShort, // "COM#" in fewer than 13 bytes
        Data,           // bytes for the serial port
    };
    Kind kind = Data;
    std::string text;
    std::string data;
};
// Once the port has been answered, "COM#" in a read is the PLC's data, not another answer.
SerialRead classifySerialRead(std::string_view read, bool portAnswered = false);

// ---- the panel's reading of the PC's stream ----

// One message from the PC's engine on the pass-through connection.
struct PcMessage
{
    enum Kind {
        PortAnnouncement, // "COM#" + serial port name
        ModeAnnouncement, // "COM#PCAP#" + Ethernet port name (empty in the serial mode)
        SerialData,       // "PLC#SK01" + 4 hex digits + that many bytes
        EthernetFrame,    // "PCP#" + frame + "END#"
        Disconnect,       // "PLC#disconnect"
        Junk,             // bytes that fit no message, skipped to the next tag
        OversizedFrame,   // an envelope longer than any frame of the link, dropped
    };
    Kind kind;
    std::string payload; // the name, the data or the frame
};

} // namespace framing
