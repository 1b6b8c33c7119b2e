#pragma once

#include "relay/Connection.h"
#include "relay/OpenStreams.h"
#include "relay/PanelRegistry.h"
#include "wire/LineChannel.h"

#include <map>
#include <mutex>
#include <vector>

namespace relay {

class Relay;
class PcLink;

// The PC links open now. Shared with the links, which leave it when they go, also after the
// relay (their handlers are dropped with the I/O contexts, which outlive it).
struct PcLinks
{
    std::mutex mutex;
    std::map<const PcLink *, std::weak_ptr<PcLink>> open;
    std::vector<std::shared_ptr<PcLink>> all();
};

// A PC's control link once its token is accepted: answers CHECK and STREAM lines, and
// keeps the heartbeat. Lives on its connection's thread; answers to stream requests come
// back there.
class PcLink : public std::enable_shared_from_this<PcLink>
{
public:
    PcLink(Relay &relay, std::shared_ptr<PcLinks> links, ConnectionPtr stream, std::string pending,
           std::string user);
    ~PcLink();
    void start();
    // The user's name ([user NAME], or users:LINE).
    const std::string &userName() const { return m_user; }
    // A reload removed the user: the link closes (from any thread).
    void revoke();

private:
    void onLine(const std::string &line);
    void onCheck(const wire::msg::Check &check);
    void onStream(const wire::msg::Stream &request);
    void answer(std::uint64_t id, const std::string &secret, const OpenStreams::Stream &stream, StreamOffer offer);
    void refuse(std::uint64_t id, wire::msg::Reason reason, const std::string &text);
    void send(const std::string &line);
    std::string who() const;
    void refuseStream(const wire::msg::Stream &request, wire::msg::Reason reason, const std::string &text);

    Relay &m_relay;
    std::shared_ptr<PcLinks> m_links;
    asio::io_context &m_home;
    // The channel holds this object through its handlers, not the other way round: its
    // pending read is what keeps a link, and both go when it closes or the relay stops.
    std::shared_ptr<wire::LineChannel> m_starting;
    std::weak_ptr<wire::LineChannel> m_channel;
    std::string m_peer;
    std::string m_user;
    std::size_t m_waiting = 0; // stream requests not yet answered
};

} // namespace relay
