#pragma once

#include <cstddef>
#include <thread>
#include <vector>

namespace vserial {

class PseudoTerminal;

// The thread that joins the two ports of a pair: what one port's users write is written to
// the other port, unchanged and in order.
//
// Like a null-modem cable, the pair carries bytes only to a port someone holds open: bytes
// sent towards a port without users are dropped, so a program that opens it later does not
// first read the remains of an earlier session, and a writer is never held up by a port
// nobody reads. Between users the relay also clears what the last one left unread. What a
// user wrote just before closing still reaches the other port.
class PairRelay
{
public:
    PairRelay(PseudoTerminal &first, PseudoTerminal &second);
    ~PairRelay();
    PairRelay(const PairRelay &) = delete;
    PairRelay &operator=(const PairRelay &) = delete;

    // False with errno set when the thread or its wake-up descriptor cannot be made.
    bool start();
    void stop();

private:
    // Bytes read from one master and not yet written to the other. At most one read is held
    // per direction; further reads wait for it, which is what passes back-pressure on.
    struct Direction
    {
        std::vector<unsigned char> bytes;
        std::size_t begin = 0;
        std::size_t end = 0;
        bool pending() const { return begin < end; }
        void clear() { begin = end = 0; }
    };

    // A port without users whose master may still hold bytes its last user wrote is
    // Draining until a read finds it empty.
    enum class Users { Present, Draining, Gone };

    void run();
    short eventsFor(int side) const;
    void noticeUsers();
    bool fill(int from);
    bool flush(int to);
    void usersLeft(int side);

    PseudoTerminal *m_ports[2];
    Users m_users[2] = {Users::Gone, Users::Gone};
    Direction m_towards[2];
    int m_wake = -1;
    int m_openings = -1;
    std::thread m_thread;
};

} // namespace vserial
