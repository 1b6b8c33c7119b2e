// libFuzzer target for the relay's line protocol as a peer can drive it: the bytes, cut
// into reads as the input says, go through readLine as the relay and the agent read first
// lines and control lines; every line is split into words and its fields checked as the
// requests use them. Oracles: each line is what the bytes say (up to '\n', no '\r' at the
// end), lines over the limit are refused, the words join back into the line.
#include "wire/Address.h"
#include "wire/Protocol.h"
#include "wire/ReadLine.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace {

using namespace wire::proto;

// The peer: hands out the input's reads, then the end of stream.
class Feed : public wire::Stream
{
public:
    Feed(asio::io_context &io, std::deque<std::string> reads) : m_io(io), m_reads(std::move(reads)) {}
    void readSome(asio::mutable_buffer buffer, wire::IoHandler handler) override
    {
        if (m_reads.empty())
            return asio::post(m_io, [handler] { handler(asio::error::eof, 0); });
        std::string &next = m_reads.front();
        const std::size_t n = std::min(next.size(), buffer.size());
        std::memcpy(buffer.data(), next.data(), n);
        next.erase(0, n);
        if (next.empty())
            m_reads.pop_front();
        asio::post(m_io, [handler, n] { handler({}, n); });
    }
    void writeAll(asio::const_buffer buffer, wire::IoHandler handler) override { handler({}, buffer.size()); }
    void shutdownSend() override {}
    void close() override {}
    std::string peer() const override { return "fuzz"; }

private:
    asio::io_context &m_io;
    std::deque<std::string> m_reads;
};

void checkFields(const std::string &line)
{
    const auto words = splitWords(line);
    std::string joined;
    for (const auto &w : words) {
        if (w.empty() || w.find(' ') != std::string::npos)
            abort();
        joined += (joined.empty() ? "" : " ") + w;
    }
    if (line.find("  ") == std::string::npos && !line.empty() && line.front() != ' ' && line.back() != ' '
        && joined != line)
        abort();
    printableLine(line);
    if (words.empty())
        return;
    for (const auto &w : words) {
        if (validSn(w) && !validSecret(w))
            abort(); // every SN travels as a word too
        validSecret(w);
        wire::parseHostPort(w);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // First byte: the line limit (small ones reach the limit's edges often).
    const std::size_t limit = data[0] < 200 ? data[0] : kMaxLine;
    std::deque<std::string> reads;
    std::string all;
    for (size_t at = 1; at < size;) {
        const size_t want = data[at++] % 64 + 1;
        const size_t len = std::min(want, size - at);
        reads.emplace_back(reinterpret_cast<const char *>(data + at), len);
        all.append(reinterpret_cast<const char *>(data + at), len);
        at += len;
    }
    asio::io_context io;
    auto feed = std::make_shared<Feed>(io, reads);
    auto pending = std::make_shared<std::string>();
    std::size_t consumed = 0;
    std::function<void()> next = [&] {
        wire::readLine(feed, pending, limit, [&](const std::error_code &ec, std::string line) {
            if (ec == std::errc::message_size)
                return; // the relay closes such a connection
            if (ec) {
                if (ec != asio::error::eof || consumed + pending->size() != all.size())
                    abort();
                return;
            }
            const std::size_t nl = all.find('\n', consumed);
            if (nl == std::string::npos)
                abort();
            std::string expect = all.substr(consumed, nl - consumed);
            if (!expect.empty() && expect.back() == '\r')
                expect.pop_back();
            if (line != expect || line.size() > limit)
                abort();
            consumed = nl + 1;
            checkFields(line);
            next();
        });
    };
    next();
    io.run();
    return 0;
}
