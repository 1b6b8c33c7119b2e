#pragma once

#include "framing/TunnelFraming.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace framing {

// Cuts the engine's byte stream into messages. The stream has no delimiters, but every
// message starts with a tag, names end where the next tag begins, serial data carries its
// length and Ethernet frames their headers' length and their end mark. A name at the very end of the bytes so far may
// still grow: it is held back until more bytes arrive or flushName() says the sender is idle,
// unless the owner knows it is whole (a port name it serves that no longer one extends).
class PcMessageParser
{
public:
    static constexpr std::size_t kMaxName = 32;

    using NameIsWhole = std::function<bool(int kind, const std::string &name)>;
    explicit PcMessageParser(NameIsWhole whole = nullptr) : m_whole(std::move(whole)) {}

    std::vector<PcMessage> feed(const char *data, std::size_t size);
    std::vector<PcMessage> flushName();
    bool holdsName() const { return m_holdsName; }
    std::size_t buffered() const { return m_buffer.size(); }

private:
    enum class Step { Emitted, NeedMore };
    Step next(std::vector<PcMessage> &out, bool idle);

    NameIsWhole m_whole;
    std::string m_buffer;
    bool m_holdsName = false;
};

} // namespace framing
