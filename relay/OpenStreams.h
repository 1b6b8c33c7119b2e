#pragma once

#include "wire/SocketSplice.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace relay {

// Why a stream ended, when it was not its ends' doing: told to the splice's done handler as
// its error, so that the record of the stream's end says so.
enum class StreamStop { Revoked = 1, RelayStopped };
std::error_code make_error_code(StreamStop stop);

// The streams spliced here now: whose, to what, since when, and the handle that ends them.
// A reload ends those its new settings no longer allow, at once; a stopping relay records
// the end of all. Shared by the I/O threads.
class OpenStreams
{
public:
    struct Stream
    {
        std::string id;     // shared by both relays of a forwarded stream
        std::string user;   // the user's name; empty for a stream another relay forwarded here
        std::string source; // the PC's address, or the forwarding relay's
        std::string sn, target;
        bool local = true; // the panel is held here (not forwarded on to another relay)
        std::chrono::system_clock::time_point opened;
        std::chrono::steady_clock::time_point since;
        // Counted as they pass (up: towards the panel), for a stream that never reports its end.
        std::shared_ptr<std::atomic<std::uint64_t>> up = std::make_shared<std::atomic<std::uint64_t>>(0);
        std::shared_ptr<std::atomic<std::uint64_t>> down = std::make_shared<std::atomic<std::uint64_t>>(0);
    };

    // Returns the key to remove it with.
    std::uint64_t add(Stream stream, std::weak_ptr<wire::SocketSplice> splice);
    // The splice of a listed stream, once started (nothing when it has ended already).
    void attach(std::uint64_t key, std::weak_ptr<wire::SocketSplice> splice);
    // False when it was no longer here: stopAll() took it, and its end is recorded already.
    bool remove(std::uint64_t key);
    // Stops every stream `revoked` says no longer stands (revoked); returns how many.
    std::size_t revokeIf(const std::function<bool(const Stream &)> &revoked);
    // Every stream open now, taken out and stopped (the relay stops: their ends are the
    // caller's to record, the splices' own reports come too late or not at all).
    std::vector<Stream> stopAll();

private:
    struct Entry
    {
        Stream stream;
        std::weak_ptr<wire::SocketSplice> splice;
    };
    mutable std::mutex m_mutex;
    std::map<std::uint64_t, Entry> m_open;
    std::uint64_t m_next = 1;
};

} // namespace relay

namespace std {
template <> struct is_error_code_enum<relay::StreamStop> : true_type
{
};
} // namespace std
