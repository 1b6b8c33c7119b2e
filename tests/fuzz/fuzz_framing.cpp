// libFuzzer target for the tunnel framing. The input is cut into reads (each preceded by a
// length byte) and fed to both stream readers, which must stay bounded; and its bytes, taken
// as Ethernet frames, are enveloped as the senders do, cut into reads as the input says, and
// must come back equal from both readers (the round trip).
#include "framing/PcMessageParser.h"
#include "framing/TunnelFraming.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace framing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Garbage: nothing crashes, nothing grows without bound.
    PanelStreamReader reader;
    PcMessageParser parser;
    std::vector<size_t> cuts;
    for (size_t at = 0; at < size;) {
        const size_t want = data[at++] * 16 + 1;
        const size_t len = want < size - at ? want : size - at;
        cuts.push_back(len);
        reader.feed(std::string_view(reinterpret_cast<const char *>(data + at), len));
        parser.feed(reinterpret_cast<const char *>(data + at), len);
        at += len;
        if (reader.buffered() > kMaxFrame + 16 || parser.buffered() > kMaxFrame + 16)
            abort();
        classifySerialRead(std::string_view(reinterpret_cast<const char *>(data), size));
    }

    // Round trip: the input split into frames at each 0xFF byte.
    std::vector<std::string> sent;
    std::string wire;
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0xFF)
            continue;
        const size_t before = wire.size();
        if (appendEthernetEnvelope(wire, data + start, i - start))
            sent.push_back(wire.substr(before + 4, wire.size() - before - 8));
        start = i + 1;
    }
    PanelStreamReader pcSide;
    PcMessageParser panelSide;
    std::vector<std::string> atPc, atPanel;
    size_t at = 0;
    for (size_t c = 0; at < wire.size(); ++c) {
        const size_t len = cuts.empty() ? wire.size() : std::min(wire.size() - at, cuts[c % cuts.size()]);
        for (const PanelMessage &m : pcSide.feed(std::string_view(wire).substr(at, len)))
            atPc.push_back(m.kind == PanelMessage::Frame ? m.bytes : "?");
        for (const PcMessage &m : panelSide.feed(wire.data() + at, len))
            atPanel.push_back(m.kind == PcMessage::EthernetFrame ? m.payload : "?");
        at += len;
    }
    // Frames of unknown length keep the first-marker rule and may be cut by their own bytes,
    // after which each side skips what is left its own way; when every frame's headers tell
    // its length, both sides must give back exactly what was sent.
    bool allKnown = true;
    for (const std::string &f : sent)
        allKnown = allKnown && declaredLength(reinterpret_cast<const unsigned char *>(f.data()), f.size()).has_value();
    if (allKnown && (atPc != sent || atPanel != sent))
        abort();
    return 0;
}
