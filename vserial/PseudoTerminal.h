#pragma once

#include <string>

namespace vserial {

// One port of a pair: a pseudo-terminal whose master end the relay uses and whose slave end
// the port's users open. The library holds no slave descriptor of its own, so the kernel's
// hang-up on the master tells exactly when the last user has gone.
class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    // False with errno set when the system has no pseudo-terminal to give. The port starts
    // raw and without users.
    bool open();

    int master() const { return m_master; }
    const std::string &slavePath() const { return m_slavePath; }

    // True while at least one user holds the slave end open.
    bool hasUsers() const;

    // Drops input that arrived for users who have all gone, so the next user does not read
    // the remains of an earlier session.
    void dropStaleInput();

private:
    int m_master = -1;
    std::string m_slavePath;
};

} // namespace vserial
