#pragma once

#include "tunnellib/KnownPanels.h"
#include "tunnellib/RelayLink.h"
#include "tunnellib/StreamThreads.h"

#include <asio.hpp>

namespace tunnellib {

// One local listener: every accepted connection becomes a stream to `remote` as seen from
// panel `sn`. The relay grants it over the control link; the stream then joins at the relay
// on a connection of its own and runs TLS end to end with the panel's agent, whose key the
// relay vouched for: the relay passes only ciphertext.
class Forwarding : public std::enable_shared_from_this<Forwarding>
{
public:
    Forwarding(asio::ip::tcp::acceptor acceptor, RelayLink &link, StreamThreads &threads, KnownPanels &panels,
               std::string sn, std::string remote);

    void start();
    // Stops listening; streams already open go on until either end closes them.
    void close();
    void retarget(const std::string &sn, const std::string &remote);

    const std::string &sn() const { return m_sn; }
    const std::string &remote() const { return m_remote; }

    // How long an accepted connection may wait for a relay that is down.
    static constexpr std::chrono::seconds kWaitForRelay{10};
    // The relay waits up to 10 s for the panel, which itself may take 5 s for the target.
    static constexpr std::chrono::seconds kStreamAnswer{17};
    // Connecting to the relay for a stream and its answer to the join; then the TLS handshake
    // with the agent. The relay waits 10 s for the join, the agent 15 s for the proof.
    static constexpr std::chrono::seconds kConnectTimeout{5};
    static constexpr std::chrono::seconds kHandshakeTimeout{5};

private:
    void acceptNext();
    void openStream(asio::ip::tcp::socket socket);

    asio::ip::tcp::acceptor m_acceptor;
    RelayLink &m_link;
    StreamThreads &m_threads;
    KnownPanels &m_panels;
    std::string m_sn;
    std::string m_remote;
};

} // namespace tunnellib
