#pragma once

#include "wire/Log.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace relay {

// One event of the audit trail. Empty strings and absent numbers are left out of the
// record. There is deliberately no field that could carry a token or a secret.
struct AuditEvent
{
    enum class Kind { Login, StreamOpen, StreamEnd, PanelOnline, PanelOffline, PanelRefused, ConfigReload };
    enum class Result { None, Ok, Refused };
    enum class Cause { None, PcClosed, TargetClosed, Aborted, Revoked, RelayStopped };

    Kind kind = Kind::Login;
    Result result = Result::None;
    std::string reason;
    std::string user;   // RelayUser::name
    std::string source; // IP:port of the peer
    std::string sn;
    std::string target;
    std::string stream; // the stream's id
    std::optional<std::uint64_t> bytesUp;   // PC to panel
    std::optional<std::uint64_t> bytesDown; // panel to PC
    std::optional<std::uint64_t> durationMs;
    Cause cause = Cause::None;
};

const char *auditKindText(AuditEvent::Kind kind);
const char *auditCauseText(AuditEvent::Cause cause);

// The relay's audit trail: one JSON object per line and event, appended to a file, each
// line carrying in "prev" the SHA-256 (hex) of the line before it, so that an edited,
// removed or reordered record breaks the chain (verifyAuditFiles). Under systemd each
// record also goes to the journal with its fields, a copy the relay's user cannot edit.
// record() may be called from any thread; a record that cannot be written is counted and
// logged now and then, and never stops the caller.
class AuditTrail
{
public:
    struct Options
    {
        std::string relayId; // [cluster] id=, written into every record when set
        // Copy each record to the journal (only where the relay was built with libsystemd).
        bool journal = underSystemd();
        // Counted as well as failures(): the relay's talvo_relay_audit_write_failures_total.
        std::atomic<std::uint64_t> *failureCounter = nullptr;
    };

    AuditTrail() = default;
    ~AuditTrail();
    AuditTrail(const AuditTrail &) = delete;
    AuditTrail &operator=(const AuditTrail &) = delete;

    // Opens (creating it 0640) or continues the trail at `path`: the next record's prev is
    // the hash of the file's last line. False with "cannot open PATH: reason" otherwise.
    bool open(const std::string &path, const Options &options, std::string *error);
    // After logrotate moved the file away: opens the path anew; the chain goes on into the
    // new file. A failure is logged, and records are counted as failed until a reopen
    // works. Returns whether the file is open.
    bool reopen();
    // Does nothing on a trail never opened (no audit= in relay.ini), so callers need not ask.
    void record(const AuditEvent &event);

    // For a counter that exists only after open() (the relay's Metrics, made with the Relay).
    void countFailuresIn(std::atomic<std::uint64_t> *counter);
    bool isOpen() const;
    std::uint64_t failures() const { return m_failures.load(); }

    static bool underSystemd();

private:
    bool openFile(std::string *error);
    bool writeLocked(const std::string &bytes);
    void failed(const std::string &why);
    void toJournal(const AuditEvent &event, const std::string &lineHash) const;

    mutable std::mutex m_mutex;
    std::string m_path;
    Options m_options;
    int m_fd = -1;
    std::string m_prev;      // hash of the last line written (64 zeros before the first)
    bool m_torn = false;     // the last write left part of a line in the file
    std::atomic<std::uint64_t> m_failures{0};
    wire::LogLimiter m_failureLog{std::chrono::seconds(60)};
};

// `talvo-relay --verify-audit [--after HASH] FILE...`: checks the chain through the files
// in the order given (oldest first; "-" reads standard input). Returns 0 when every line
// links to the one before, else 1 with "FILE:LINE: what is wrong" for the first bad line.
// `after` is the hash the first line's prev must be (default: 64 zeros, a new trail).
int verifyAuditFiles(const std::vector<std::string> &files, const std::string &after, std::string *report);

} // namespace relay
