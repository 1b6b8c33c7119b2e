#pragma once

#include "wire/Stream.h"

#include <chrono>
#include <memory>

namespace wire {

// Copies bytes both ways between two streams until both directions have ended. An end of
// stream on one side is passed on as a half-close of the other; an error (a reset, a TLS
// connection cut without close_notify) on either side aborts both, so that a transfer cut
// short fails at both ends instead of looking complete. TCP flow control does the rest: a
// direction reads again only after its last write completed, so a stream holds at most one
// buffer (and its TLS records) per direction whoever stops reading, and a bulk stream does
// one read and one write per handler turn, never monopolising a thread. Each stream is
// used on its own executor only (a strand when the io_context runs on several threads).
class Splicer : public std::enable_shared_from_this<Splicer>
{
public:
    // `error` is empty when both directions ended cleanly, else what aborted the stream.
    using Done = std::function<void(std::uint64_t bytesAtoB, std::uint64_t bytesBtoA, const std::error_code &error)>;

    // Bytes as they are passed on, for figures read while a long stream is open.
    using Progress = std::function<void(bool aToB, std::size_t bytes)>;

    // `toB` / `toA` are bytes already read past a handshake line, written first.
    static void start(StreamPtr a, StreamPtr b, std::string toB = {}, std::string toA = {}, Done done = {},
                      Progress progress = {});

    Splicer(StreamPtr a, StreamPtr b, Done done);

    // Buffer sizes per direction: a direction holds no buffer while it waits for input;
    // one whose reads fill the buffer is bulk and doubles it up to the largest size.
    static constexpr std::size_t kFirstBufferSize = 8 * 1024;
    static constexpr std::size_t kMaxBufferSize = 64 * 1024; // larger measured no faster (cache)
    // How long a write may wait on a far end before the splice looks whether the source of
    // that direction, which it is not reading meanwhile, was reset.
    static constexpr std::chrono::seconds kStallCheck{1};

private:
    struct Direction
    {
        StreamPtr from, to;
        // Not a vector: filling 64 KiB with zeros before every read of a bulk stream cost
        // more than the read.
        std::unique_ptr<char[]> buffer;
        std::size_t capacity = 0;             // of buffer
        std::size_t size = kFirstBufferSize;  // of the next buffer
        std::string prefix;
        std::uint64_t bytes = 0;
        bool finished = false;
        bool writing = false;
        std::chrono::steady_clock::time_point writeStart;
    };

    void write(Direction &d, asio::const_buffer bytes, std::function<void(const std::error_code &)> done);
    void armStallCheck();
    void checkStalled();
    template <class F>
    void onStream(const StreamPtr &stream, F &&f);
    template <class F>
    void back(F &&f);
    void pump(Direction &d);
    void read(Direction &d);
    void readInto(Direction &d);
    void forward(Direction &d, const std::error_code &readError, std::size_t n);
    void finish(Direction &d, const std::error_code &ec);

    Direction m_ab, m_ba;
    Done m_done;
    Progress m_progress;
    std::error_code m_error;
    bool m_closed = false;
    asio::any_io_executor m_executor; // none for streams without one
    std::unique_ptr<asio::steady_timer> m_stallTimer; // made when first needed: idle streams hold none
    bool m_stallTimerArmed = false;
};

} // namespace wire
