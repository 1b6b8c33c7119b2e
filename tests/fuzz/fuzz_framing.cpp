// libFuzzer target for how the engine takes the tunnel socket's reads apart: the input is cut
// into reads (each preceded by a length byte) and fed to every parser the engine uses.
#include "engine/EthernetReassembler.h"
#include "engine/TunnelFraming.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    EthernetReassembler reassembler;
    size_t at = 0;
    while (at < size) {
        const size_t want = data[at++] * 16 + 1;
        const size_t len = want < size - at ? want : size - at;
        const QByteArray read(reinterpret_cast<const char *>(data + at), int(len));
        at += len;

        const auto announcement = TunnelFraming::parseMacIpAnnouncement(read);
        if (announcement.complete && !announcement.recognised)
            abort();
        const auto serial = TunnelFraming::classifySerialRead(read);
        if (serial.data.size() > read.size())
            abort();
        for (const QByteArray &frame : reassembler.take(read)) {
            if (frame.contains(TunnelFraming::kFrameEnd) || frame.size() > read.size() + EthernetReassembler::kMaxPending)
                abort();
        }
        if (reassembler.pending().size() > EthernetReassembler::kMaxPending)
            abort();
    }
    return 0;
}
