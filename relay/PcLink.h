#pragma once

#include "relay/Connection.h"
#include "relay/OpenStreams.h"
#include "relay/PanelRegistry.h"
#include "wire/LineChannel.h"

namespace relay {

class Relay;

// A PC's control link once its token is accepted: answers CHECK and STREAM lines, and
// keeps the heartbeat. Lives on its connection's thread; answers to stream requests come
// back there.
class PcLink : public std::enable_shared_from_this<PcLink>
{
public:
    PcLink(Relay &relay, ConnectionPtr stream, std::string pending, int user);
    void start();

private:
    void onLine(const std::string &line);
    void onCheck(const wire::msg::Check &check);
    void onStream(const wire::msg::Stream &request);
    void answer(std::uint64_t id, const std::string &secret, const OpenStreams::Stream &stream, StreamOffer offer);
    void refuse(std::uint64_t id, wire::msg::Reason reason, const std::string &text);
    void send(const std::string &line);
    std::string userName() const;
    std::string who() const;

    Relay &m_relay;
    asio::io_context &m_home;
    // The channel holds this object through its handlers, not the other way round: its
    // pending read is what keeps a link, and both go when it closes or the relay stops.
    std::shared_ptr<wire::LineChannel> m_starting;
    std::weak_ptr<wire::LineChannel> m_channel;
    std::string m_peer;
    int m_user; // the user's number in [users]
    std::size_t m_waiting = 0; // stream requests not yet answered
};

} // namespace relay
