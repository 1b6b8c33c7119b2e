#pragma once

#include "wire/Stream.h"

#include <vector>

namespace wire {

// Copies bytes both ways between two streams until both directions have ended. An end of
// stream on one side is passed on as a half-close of the other; an error on either side
// closes both. TCP flow control does the rest: a direction reads again only after its
// last write completed, so nothing queues up without bound.
class Splicer : public std::enable_shared_from_this<Splicer>
{
public:
    using Done = std::function<void(std::uint64_t bytesAtoB, std::uint64_t bytesBtoA, const std::error_code &)>;

    // `toB` / `toA` are bytes already read past a handshake line, written first.
    static void start(StreamPtr a, StreamPtr b, std::string toB = {}, std::string toA = {}, Done done = {});

    Splicer(StreamPtr a, StreamPtr b, Done done);

private:
    struct Direction
    {
        StreamPtr from, to;
        std::vector<char> buffer;
        std::string prefix;
        std::uint64_t bytes = 0;
        bool finished = false;
    };

    void pump(Direction &d);
    void read(Direction &d);
    void finish(Direction &d, const std::error_code &ec);

    Direction m_ab, m_ba;
    Done m_done;
    std::error_code m_error;
    bool m_closed = false;
};

} // namespace wire
