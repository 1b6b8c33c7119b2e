#include "wire/ReadLine.h"

#include <array>

namespace wire {

namespace {

bool takeLine(std::string &pending, std::string &line)
{
    const auto nl = pending.find('\n');
    if (nl == std::string::npos)
        return false;
    line = pending.substr(0, nl);
    pending.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

} // namespace

void readLine(StreamPtr stream, std::shared_ptr<std::string> pending, std::size_t maxLength,
              std::function<void(const std::error_code &, std::string line)> done)
{
    std::string line;
    if (takeLine(*pending, line)) {
        if (line.size() > maxLength)
            return done(std::make_error_code(std::errc::message_size), {});
        return done({}, std::move(line));
    }
    if (pending->size() > maxLength)
        return done(std::make_error_code(std::errc::message_size), {});
    auto chunk = std::make_shared<std::array<char, 512>>();
    stream->readSome(asio::buffer(*chunk),
                     [stream, pending, maxLength, chunk, done = std::move(done)](const std::error_code &ec,
                                                                                   std::size_t n) mutable {
                         if (ec)
                             return done(ec, {});
                         pending->append(chunk->data(), n);
                         readLine(stream, pending, maxLength, std::move(done));
                     });
}

} // namespace wire
