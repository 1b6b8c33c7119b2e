#include "framing/TunnelFraming.h"

#include "framing/Tags.h"

#include <algorithm>
#include <cstdio>

namespace framing {

namespace {

constexpr std::size_t kShortestAcceptance = 13;
constexpr std::size_t kPaddedMinimum = 60;
// A MAC and an IPv4 text with their separators, with room to spare.
constexpr std::size_t kMaxAnnouncement = 64;

bool startsWith(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

// True when s is shorter than prefix and could still become it.
bool couldBecome(std::string_view s, std::string_view prefix)
{
    return s.size() < prefix.size() && prefix.substr(0, s.size()) == s;
}

std::string_view upToNul(std::string_view s)
{
    return s.substr(0, s.find('\0'));
}

std::size_t be16(const unsigned char *p)
{
    return std::size_t(p[0]) << 8 | p[1];
}

} // namespace

std::string portAnnouncement(std::string_view port)
{
    return std::string(tags::kPort).append(port);
}

std::string modeAnnouncement(std::string_view device)
{
    return std::string(tags::kMode).append(device);
}

std::string serialDataFrames(std::string_view data)
{
    std::string out;
    std::size_t at = 0;
    do {
        const std::size_t chunk = std::min(kMaxSerialChunk, data.size() - at);
        char length[5];
        std::snprintf(length, sizeof length, "%04zx", chunk);
        out.append(tags::kSerialData).append(length, 4).append(data.substr(at, chunk));
        at += chunk;
    } while (at < data.size());
    return out;
}

std::string disconnect()
{
    return std::string(tags::kDisconnect);
}

std::string macIpAnnouncement(std::string_view mac, std::string_view ip)
{
    return std::string(tags::kMacIp).append(mac).append("#").append(ip).append("#");
}

std::string portAccepted(std::string_view port)
{
    return std::string(tags::kPort).append(port).append(" ready");
}

std::string portRefused()
{
    return std::string(tags::kPortRefused);
}

std::optional<std::size_t> declaredLength(const unsigned char *frame, std::size_t size, bool *needMore)
{
    auto more = [&]() -> std::optional<std::size_t> {
        if (needMore)
            *needMore = true;
        return std::nullopt;
    };
    if (needMore)
        *needMore = false;
    if (size < kMinFrame)
        return more();
    std::size_t header = 14;
    std::size_t type = be16(frame + 12);
    // 802.1Q and 802.1ad tags stand between the addresses and the type.
    for (int tags = 0; (type == 0x8100 || type == 0x88A8) && tags < 2; ++tags) {
        if (size < header + 4)
            return more();
        type = be16(frame + header + 2);
        header += 4;
    }
    if (type <= 1500) // an 802.3 length field
        return header + type;
    switch (type) {
    case 0x0806: // ARP
    case 0x8035: // RARP
        if (size < header + 6)
            return more();
        return header + 8 + 2 * std::size_t(frame[header + 4]) + 2 * std::size_t(frame[header + 5]);
    case 0x0800: { // IPv4
        if (size < header + 4)
            return more();
        const std::size_t total = be16(frame + header + 2);
        if ((frame[header] >> 4) != 4 || total < 20)
            return std::nullopt;
        return header + total;
    }
    case 0x86DD: { // IPv6; a jumbogram says 0 and is of unknown length here
        if (size < header + 6)
            return more();
        const std::size_t payload = be16(frame + header + 4);
        if ((frame[header] >> 4) != 6 || payload == 0)
            return std::nullopt;
        return header + 40 + payload;
    }
    default:
        return std::nullopt;
    }
}

bool appendEthernetEnvelope(std::string &out, const unsigned char *frame, std::size_t size)
{
    if (!frame || size < kMinFrame)
        return false;
    const auto declared = declaredLength(frame, size);
    if (declared) {
        if (size < *declared)
            return false;
        size = std::min(size, std::max(*declared, kPaddedMinimum));
    }
    if (size > kMaxFrame)
        return false;
    out.append(tags::kFrameStart);
    const std::size_t at = out.size();
    out.append(reinterpret_cast<const char *>(frame), size);
    // Padding means nothing to the receiving stack; zeroed, it cannot hold a marker either.
    if (declared && *declared < size)
        std::fill(out.begin() + std::ptrdiff_t(at + *declared), out.end(), '\0');
    out.append(tags::kFrameEnd);
    return true;
}

EnvelopeEnd findEnvelopeEnd(std::string_view body)
{
    bool needMore = false;
    const auto declared =
        declaredLength(reinterpret_cast<const unsigned char *>(body.data()), body.size(), &needMore);
    if (needMore)
        return {};
    // A declared length past the link's frames cannot be true: the frame is taken as one of
    // unknown length, and dropped once its end is found.
    std::size_t from = kMinFrame;
    if (declared && *declared <= kMaxFrame)
        from = std::max(from, *declared);
    const std::size_t end = body.find(tags::kFrameEnd, from);
    if (end == std::string_view::npos) {
        // No frame is this long: what has come so far is dropped, up to a possible start of
        // the marker.
        if (body.size() > kMaxFrame + tags::kFrameEnd.size())
            return {EnvelopeEnd::Oversized, 0, body.size() - (tags::kFrameEnd.size() - 1)};
        return {};
    }
    const std::size_t consumed = end + tags::kFrameEnd.size();
    if (end > kMaxFrame)
        return {EnvelopeEnd::Oversized, 0, consumed};
    return {EnvelopeEnd::Frame, end, consumed};
}

bool startsWithAnnouncement(std::string_view read)
{
    return startsWith(read, tags::kMacIp);
}

std::vector<PanelMessage> PanelStreamReader::feed(std::string_view bytes)
{
    m_buffer.append(bytes);
    return take(false);
}

std::vector<PanelMessage> PanelStreamReader::flush()
{
    return take(true);
}

std::vector<PanelMessage> PanelStreamReader::take(bool whole)
{
    std::vector<PanelMessage> out;
    std::size_t at = 0;
    for (;;) {
        const std::string_view b = std::string_view(m_buffer).substr(at);
        if (b.empty())
            break;
        if (startsWith(b, tags::kMacIp)) {
            // MAC and IP, each ended by '#'; the IP may also end at a NUL or where the next
            // tag begins, and, in a read known to be whole, where the read ends.
            const std::string_view rest = b.substr(tags::kMacIp.size());
            const std::string_view text = upToNul(rest.substr(0, kMaxAnnouncement));
            const std::size_t macEnd = text.find('#');
            if (macEnd == std::string_view::npos) {
                if (text.size() == rest.size() && rest.size() < kMaxAnnouncement && !whole)
                    break; // the MAC may still be arriving
                out.push_back({PanelMessage::Junk, {}, {}, std::string(b.substr(0, tags::kMacIp.size()))});
                at += tags::kMacIp.size();
                continue;
            }
            std::size_t ipEnd = std::min(text.find('#', macEnd + 1), text.find(tags::kFrameStart.substr(0, 3), macEnd + 1));
            if (ipEnd == std::string_view::npos) {
                const bool cut = text.size() < rest.size() || text.size() == kMaxAnnouncement;
                if (!cut && !whole)
                    break; // the IP may still be arriving
                ipEnd = text.size();
            }
            std::size_t used = tags::kMacIp.size() + ipEnd;
            if (used < b.size() && (b[used] == '#' || b[used] == '\0'))
                ++used;
            // One that names no MAC or no IP would report a channel ready that nothing can
            // configure.
            if (macEnd == 0 || ipEnd == macEnd + 1)
                out.push_back({PanelMessage::Junk, {}, {}, std::string(b.substr(0, used))});
            else
                out.push_back({PanelMessage::Announcement, std::string(text.substr(0, macEnd)),
                               std::string(text.substr(macEnd + 1, ipEnd - macEnd - 1)), {}});
            at += used;
            continue;
        }
        if (couldBecome(b, tags::kMacIp) || couldBecome(b, tags::kFrameStart))
            break;
        if (startsWith(b, tags::kFrameStart)) {
            const EnvelopeEnd end = findEnvelopeEnd(b.substr(tags::kFrameStart.size()));
            if (end.kind == EnvelopeEnd::NeedMore)
                break;
            const std::string_view body = b.substr(tags::kFrameStart.size());
            if (end.kind == EnvelopeEnd::Frame)
                out.push_back({PanelMessage::Frame, {}, {}, std::string(body.substr(0, end.frameLength))});
            else
                out.push_back({PanelMessage::Dropped, {}, {}, std::string(body.substr(0, end.consumed))});
            at += tags::kFrameStart.size() + end.consumed;
            continue;
        }
        // Nothing starts here: skip to the next possible tag, keeping a tail that may be one.
        std::size_t next = b.find(tags::kFrameStart.substr(0, 3), 1);
        if (next == std::string_view::npos)
            next = b.size() > 2 ? b.size() - 2 : 0;
        if (next == 0)
            break;
        out.push_back({PanelMessage::Junk, {}, {}, std::string(b.substr(0, next))});
        at += next;
    }
    m_buffer.erase(0, at);
    return out;
}

SerialRead classifySerialRead(std::string_view read, bool portAnswered)
{
    SerialRead result;
    if (!portAnswered && read.find(tags::kPort) != std::string_view::npos) {
        if (read.find(tags::kPortRefused) != std::string_view::npos) {
            result.kind = SerialRead::PortRefused;
        } else if (read.size() >= kShortestAcceptance) {
            result.kind = SerialRead::PortAccepted;
            result.text = std::string(upToNul(read));
        } else {
            result.kind = SerialRead::PortReplyShort;
        }
        return result;
    }
    const std::size_t tag = read.rfind(tags::kDataTag);
    result.data = std::string(tag == std::string_view::npos ? read : read.substr(tag + tags::kDataTag.size()));
    return result;
}

} // namespace framing
