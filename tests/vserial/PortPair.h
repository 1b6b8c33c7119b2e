#pragma once

#include <QByteArray>
#include <QString>

// Test side of a pair: the two published ports opened the way a user program opens them,
// and the bytes moved through them with poll(), never with sleeps.
class PortPair
{
public:
    PortPair(const QString &firstPath, const QString &secondPath);
    ~PortPair();

    bool isOpen() const { return m_fd[0] >= 0 && m_fd[1] >= 0; }
    int fd(int side) const { return m_fd[side]; }
    void close(int side);
    // Closes the side, then waits until the relay has seen it go: the relay then opens the
    // port once, briefly, to clear what its last user left unread.
    bool closeAndWaitUntilCleared(int side, int timeoutMs = 5000);
    bool reopen(int side);

    // Sends toSecond from the first port and toFirst from the second one at the same time,
    // and collects what arrives until as much came out as went in, or the time is up.
    // Both ways at once, so that a burst larger than the ports' buffers cannot stall on itself.
    void exchange(const QByteArray &toSecond, const QByteArray &toFirst,
                  QByteArray *atSecond, QByteArray *atFirst, int timeoutMs = 20000);

    // Only writes, until everything went or the time is up; returns the count written.
    qint64 writeAll(int side, const QByteArray &bytes, int timeoutMs = 20000);

    // Reads until count bytes came or the time is up.
    QByteArray read(int side, int count, int timeoutMs = 20000);

    // Waits until the side has something to read.
    bool waitReadable(int side, int timeoutMs = 5000);

private:
    QString m_path[2];
    int m_fd[2] = {-1, -1};
};
