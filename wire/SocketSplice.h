#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace wire {

// Moves bytes both ways between two TCP connections that carry what the relay need not read
// (TLS end to end between the PC and the panel). On Linux the bytes go socket to pipe to
// socket with splice(2) and never enter user space; elsewhere they are copied as by Splicer.
// The contract is Splicer's: an end of stream becomes a half-close of the other side once
// everything before it was delivered; an error on either side, or stop(), resets both, so
// that a transfer cut short fails at both far ends instead of looking complete.
//
// splice(2) takes no MSG_NOSIGNAL: a write to a connection whose peer is gone raises SIGPIPE.
// The splice blocks that signal around its writes and takes it back, except in a process that
// ignores SIGPIPE (the daemons do), where that would only cost system calls.
class SocketSplice : public std::enable_shared_from_this<SocketSplice>
{
public:
    // `error` is empty when both directions ended cleanly, else what aborted the stream.
    using Done = std::function<void(std::uint64_t bytesAtoB, std::uint64_t bytesBtoA, const std::error_code &error)>;
    // Bytes as they are delivered to a destination, for figures read while a stream is open.
    using Progress = std::function<void(bool aToB, std::size_t bytes)>;

    // Both sockets connected, on the same io_context, which one thread runs; nothing may be
    // outstanding on them. The handlers run on that thread. The splice keeps itself alive
    // until it has finished; the handle is for stop(). Errors are in Asio's system category
    // (asio::error::connection_reset, ...).
    static std::shared_ptr<SocketSplice> start(asio::ip::tcp::socket a, asio::ip::tcp::socket b, Done done,
                                               Progress progress = {})
    {
        return start(std::move(a), std::move(b), {}, {}, std::move(done), std::move(progress));
    }
    // As Splicer::start: `toB` / `toA` are bytes already read past a handshake line, written
    // first and not counted.
    static std::shared_ptr<SocketSplice> start(asio::ip::tcp::socket a, asio::ip::tcp::socket b, std::string toB,
                                               std::string toA, Done done, Progress progress = {});

    virtual ~SocketSplice() = default;

    // From any thread: resets both connections and reports `why` to done (a stream revoked).
    // Nothing happens once the splice has finished.
    virtual void stop(const std::error_code &why) = 0;
    // Which side ended its sending first, for who closed a stream that ended cleanly: true
    // for a, false for b. Read in or after `done`.
    virtual bool aEndedFirst() const = 0;

    // How long a direction may wait on a destination that does not read before the splice
    // looks whether that direction's source, which nothing reads meanwhile, was reset.
    static constexpr std::chrono::seconds kStallCheck{1};
    // Bytes a direction moves per handler turn before it lets the thread's other work run.
    static constexpr std::size_t kTurnBytes = 256 * 1024;
    // Empty pipes a thread keeps for the next directions that have bytes to move.
    static constexpr std::size_t kMaxSparePipes = 32;

    // The empty pipes the calling thread keeps (none where there is no splice(2)).
    static std::size_t sparePipes();
    // Tests only: later splices copy through a buffer, as they do on descriptors that
    // splice(2) refuses, so that path is tested where splice works.
    static void forcePlainCopy(bool on);

protected:
    SocketSplice() = default;
};

} // namespace wire
