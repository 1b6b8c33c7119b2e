// libFuzzer target for the relay's line protocol as a peer can drive it: the bytes, cut
// into reads as the input says, go through readLine as the relay and the agent read first
// lines and control lines; every line goes through every message's decoder. Oracles: each
// line is what the bytes say (up to '\n', no '\r' at the end), lines over the limit are
// refused, and whatever a decoder takes encodes to a line it takes again, unchanged.
#include "wire/Address.h"
#include "wire/Messages.h"
#include "wire/ReadLine.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace {

using namespace wire::msg;

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

template <typename Message>
void roundTrips(const std::string &line)
{
    const auto message = Message::decode(line);
    if (!message)
        return;
    const std::string encoded = message->encode();
    const auto again = Message::decode(encoded);
    if (!again || again->encode() != encoded || encoded.size() > kMaxLine)
        abort();
}

void checkFields(const std::string &line)
{
    roundTrips<Hello>(line);
    roundTrips<User>(line);
    roundTrips<Check>(line);
    roundTrips<Checked>(line);
    roundTrips<Stream>(line);
    roundTrips<Granted>(line);
    roundTrips<Refused>(line);
    roundTrips<Panel>(line);
    roundTrips<Open>(line);
    roundTrips<Fail>(line);
    roundTrips<Join>(line);
    roundTrips<Forward>(line);
    roundTrips<Held>(line);
    roundTrips<Ping>(line);
    roundTrips<Ok>(line);
    roundTrips<Err>(line);
    printableLine(line);
    legacyVersion(line);
    if (validSn(line) && !validSecret(line))
        abort(); // every SN is also a valid word of a line
    wire::parseHostPort(line);
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
