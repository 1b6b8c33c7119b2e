#pragma once

#include "tunnellib/RelayLink.h"
#include "tunnellib/StreamThreads.h"

#include <asio.hpp>

namespace tunnellib {

// One local listener: every accepted connection becomes a stream to `remote` as seen from
// panel `sn`, through its own TLS connection to the relay.
class Forwarding : public std::enable_shared_from_this<Forwarding>
{
public:
    Forwarding(asio::ip::tcp::acceptor acceptor, RelayLink &link, StreamThreads &threads, std::string sn,
               std::string remote);

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

private:
    void acceptNext();
    void openStream(asio::ip::tcp::socket socket);

    asio::ip::tcp::acceptor m_acceptor;
    RelayLink &m_link;
    StreamThreads &m_threads;
    std::string m_sn;
    std::string m_remote;
};

} // namespace tunnellib
