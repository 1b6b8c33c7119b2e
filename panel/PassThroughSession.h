#pragma once

#include "panel/PassThroughConfig.h"
#include "framing/PcMessageParser.h"
#include "wire/Stream.h"
#include "wire/WriteQueue.h"

#include <array>
#include <cstdint>
#include <memory>

namespace panel {

// The panel's side of one pass-through connection: answers the engine's announcements and
// carries its messages. Lives on the agent's io thread.
class PassThroughSession : public std::enable_shared_from_this<PassThroughSession>
{
public:
    // Waiting for the next bytes of a name that ends the bytes so far.
    static constexpr std::chrono::milliseconds kNameIdle{50};
    // A PC that connects and never announces anything is let go.
    static constexpr std::chrono::seconds kHelloTimeout{30};
    // More unsent answers than this means the PC stopped reading.
    static constexpr std::size_t kMaxQueuedBytes = 1 << 20;
    // Largest write that queued answers are joined into.
    static constexpr std::size_t kWriteBatchBytes = 64 * 1024;

    PassThroughSession(asio::io_context &io, wire::StreamPtr stream, std::shared_ptr<const PassThroughConfig> config);
    ~PassThroughSession();
    void start();

private:
    void read();
    void handle(const std::vector<framing::PcMessage> &messages);
    void countUnsendable(std::size_t size);
    void send(std::string bytes);
    void writeFront();
    void finish(const std::string &why);
    PortSideEvents eventsFor(bool ethernet);
    void closeSides();

    wire::StreamPtr m_stream;
    std::shared_ptr<const PassThroughConfig> m_config;
    framing::PcMessageParser m_parser;
    std::uint64_t m_unsendable = 0;
    asio::steady_timer m_nameTimer;
    asio::steady_timer m_helloTimer;
    std::array<char, 16384> m_readBuffer;
    wire::WriteQueue m_writes;
    bool m_finished = false;
    bool m_greeted = false;
    asio::io_context &m_io;
    PortSidePtr m_serial;
    PortSidePtr m_ethernet;
};

} // namespace panel
