#include "framing/PcMessageParser.h"

#include "framing/Tags.h"

#include <algorithm>
#include <cstring>

namespace framing {

namespace {

const std::string kMode(tags::kMode);
const std::string kPort(tags::kPort);
const std::string kSerial(tags::kSerialData);
const std::string kDisconnect(tags::kDisconnect);
const std::string kFrame(tags::kFrameStart);
const std::string_view kTags[] = {tags::kPort, tags::kDataTag, tags::kFrameStart};

bool startsWith(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

// True when s is shorter than prefix and could still become it.
bool couldBecome(const std::string &s, const std::string &prefix)
{
    return s.size() < prefix.size() && prefix.compare(0, s.size(), s) == 0;
}

bool tagAt(const std::string &s, std::size_t at)
{
    for (std::string_view tag : kTags)
        if (s.compare(at, tag.size(), tag) == 0)
            return true;
    return false;
}

std::size_t nextTag(const std::string &s, std::size_t from)
{
    std::size_t best = std::string::npos;
    for (std::string_view tag : kTags)
        best = std::min(best, s.find(tag, from));
    return best;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::vector<PcMessage> PcMessageParser::feed(const char *data, std::size_t size)
{
    m_buffer.append(data, size);
    std::vector<PcMessage> out;
    while (!m_buffer.empty() && next(out, false) == Step::Emitted) {
    }
    return out;
}

std::vector<PcMessage> PcMessageParser::flushName()
{
    std::vector<PcMessage> out;
    while (!m_buffer.empty() && next(out, true) == Step::Emitted) {
    }
    return out;
}

PcMessageParser::Step PcMessageParser::next(std::vector<PcMessage> &out, bool idle)
{
    m_holdsName = false;
    const std::string &b = m_buffer;

    // A name runs to the next tag, to a byte that cannot be in a name, or to kMaxName.
    auto takeName = [&](std::size_t start, PcMessage::Kind kind) {
        std::size_t end = start;
        while (end < b.size() && end - start < kMaxName) {
            const unsigned char c = static_cast<unsigned char>(b[end]);
            if (c <= ' ' || c >= 0x7f || tagAt(b, end))
                break;
            ++end;
        }
        const bool open = end == b.size() && end - start < kMaxName;
        // The tail of the bytes may be the start of the next tag rather than of the name.
        if (open && !idle && !(m_whole && m_whole(kind, b.substr(start, end - start)))) {
            m_holdsName = true;
            return Step::NeedMore;
        }
        out.push_back({kind, b.substr(start, end - start)});
        m_buffer.erase(0, end);
        return Step::Emitted;
    };

    if (startsWith(b, kMode))
        return takeName(kMode.size(), PcMessage::ModeAnnouncement);
    if (couldBecome(b, kMode) && !idle)
        return Step::NeedMore;
    if (startsWith(b, kPort))
        return takeName(kPort.size(), PcMessage::PortAnnouncement);

    if (startsWith(b, kDisconnect)) {
        out.push_back({PcMessage::Disconnect, {}});
        m_buffer.erase(0, kDisconnect.size());
        return Step::Emitted;
    }
    if (startsWith(b, kSerial)) {
        if (b.size() < kSerial.size() + 4)
            return Step::NeedMore;
        std::size_t length = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const int v = hexValue(b[kSerial.size() + i]);
            if (v < 0) {
                out.push_back({PcMessage::Junk, b.substr(0, kSerial.size())});
                m_buffer.erase(0, kSerial.size());
                return Step::Emitted;
            }
            length = length * 16 + std::size_t(v);
        }
        const std::size_t header = kSerial.size() + 4;
        if (b.size() < header + length)
            return Step::NeedMore;
        out.push_back({PcMessage::SerialData, b.substr(header, length)});
        m_buffer.erase(0, header + length);
        return Step::Emitted;
    }
    if ((couldBecome(b, kDisconnect) || couldBecome(b, kSerial)) && !idle)
        return Step::NeedMore;

    if (startsWith(b, kFrame)) {
        const EnvelopeEnd end = findEnvelopeEnd(std::string_view(b).substr(kFrame.size()));
        if (end.kind == EnvelopeEnd::NeedMore)
            return Step::NeedMore;
        if (end.kind == EnvelopeEnd::Frame)
            out.push_back({PcMessage::EthernetFrame, b.substr(kFrame.size(), end.frameLength)});
        else
            out.push_back({PcMessage::OversizedFrame, b.substr(kFrame.size(), end.consumed)});
        m_buffer.erase(0, kFrame.size() + end.consumed);
        return Step::Emitted;
    }
    if (couldBecome(b, kFrame) && !idle)
        return Step::NeedMore;

    // Nothing starts here: skip to the next tag. Without one, keep the last few bytes, which
    // may be the start of a tag split by the network.
    std::size_t skip = nextTag(b, 1);
    if (skip == std::string::npos) {
        if (idle)
            skip = b.size();
        else if (b.size() > 3)
            skip = b.size() - 3;
        else
            return Step::NeedMore;
    }
    out.push_back({PcMessage::Junk, b.substr(0, skip)});
    m_buffer.erase(0, skip);
    return Step::Emitted;
}

} // namespace framing
