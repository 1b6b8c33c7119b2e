#include "relay/Audit.h"

#include "relay/RelayConfig.h"

#include <nlohmann/json.hpp>

#if defined(TALVO_HAVE_SYSTEMD)
#include <systemd/sd-journal.h>
#endif

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace relay {

namespace {

const std::string kZeros(64, '0');
const std::string kPrevHead = "{\"prev\":\"";
constexpr std::size_t kMaxLine = 1 << 20;

std::string utcNow()
{
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = std::time_t(ms / 1000);
    std::tm tm {};
    gmtime_r(&seconds, &tm);
    char text[96]; // room for any int the compiler imagines
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms % 1000));
    return text;
}

const char *resultText(AuditEvent::Result r)
{
    return r == AuditEvent::Result::Ok ? "ok" : r == AuditEvent::Result::Refused ? "refused" : "";
}

// Every field of a record after prev and time, in the record's order, by its name in the
// trail: the file's line and the journal's entry are two spellings of this one list.
template <typename Text, typename Number>
void eachField(const AuditEvent &e, const std::string &relayId, Text text, Number number)
{
    text("event", auditKindText(e.kind));
    text("result", resultText(e.result));
    text("reason", e.reason);
    text("user", e.user);
    text("source", e.source);
    text("sn", e.sn);
    text("target", e.target);
    text("relay", relayId);
    text("stream", e.stream);
    number("bytes_up", e.bytesUp);
    number("bytes_down", e.bytesDown);
    number("duration_ms", e.durationMs);
    text("cause", auditCauseText(e.cause));
}

// The fields as one JSON object; empty and absent ones are left out. A target or reason may
// come from the network: bytes that are not UTF-8 are replaced rather than thrown over.
std::string fieldsJson(const AuditEvent &e, const std::string &relayId)
{
    nlohmann::ordered_json j;
    eachField(
        e, relayId,
        [&](const char *key, const std::string &value) {
            if (!value.empty())
                j[key] = value;
        },
        [&](const char *key, const std::optional<std::uint64_t> &value) {
            if (value)
                j[key] = *value;
        });
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The last line of an existing trail, read from the end; `complete` is false when the
// file does not end with a newline (the relay stopped in the middle of a write).
bool lastLine(const std::string &path, std::string *line, bool *complete, std::string *error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    line->clear();
    *complete = true;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        ::close(fd);
        return true; // a device (/dev/null) or an empty file: a new trail
    }
    off_t end = st.st_size;
    std::string tail;
    char buffer[4096];
    bool found = false;
    while (end > 0 && !found) {
        const off_t start = end > off_t(sizeof buffer) ? end - off_t(sizeof buffer) : 0;
        const ssize_t n = pread(fd, buffer, std::size_t(end - start), start);
        if (n != end - start) {
            *error = "cannot read " + path + ": " + (n < 0 ? std::strerror(errno) : "short read");
            ::close(fd);
            return false;
        }
        tail.insert(0, buffer, std::size_t(n));
        end = start;
        if (tail.size() > kMaxLine) {
            *error = path + " is not an audit trail: its last line is longer than 1 MiB";
            ::close(fd);
            return false;
        }
        // The line's start is the newline before its last byte's (or the file's start).
        const auto from = tail.size() > 1 ? tail.rfind('\n', tail.size() - 2) : std::string::npos;
        found = from != std::string::npos;
        if (found)
            tail.erase(0, from + 1);
    }
    ::close(fd);
    *complete = tail.back() == '\n';
    if (*complete)
        tail.pop_back();
    *line = tail;
    return true;
}

} // namespace

const char *auditKindText(AuditEvent::Kind kind)
{
    switch (kind) {
    case AuditEvent::Kind::Login: return "login";
    case AuditEvent::Kind::StreamOpen: return "stream.open";
    case AuditEvent::Kind::StreamEnd: return "stream.end";
    case AuditEvent::Kind::PanelOnline: return "panel.online";
    case AuditEvent::Kind::PanelOffline: return "panel.offline";
    case AuditEvent::Kind::PanelRefused: return "panel.refused";
    case AuditEvent::Kind::ConfigReload: return "config.reload";
    }
    return "unknown";
}

const char *auditCauseText(AuditEvent::Cause cause)
{
    switch (cause) {
    case AuditEvent::Cause::None: return "";
    case AuditEvent::Cause::PcClosed: return "pc-closed";
    case AuditEvent::Cause::TargetClosed: return "target-closed";
    case AuditEvent::Cause::Aborted: return "aborted";
    case AuditEvent::Cause::Revoked: return "revoked";
    case AuditEvent::Cause::RelayStopped: return "relay-stopped";
    }
    return "";
}

AuditTrail::~AuditTrail()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool AuditTrail::underSystemd()
{
    return std::getenv("JOURNAL_STREAM") || std::getenv("INVOCATION_ID");
}

bool AuditTrail::open(const std::string &path, const Options &options, std::string *error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_path = path;
    m_options = options;
    if (!openFile(error))
        return false;
    std::string line;
    bool complete = true;
    if (!lastLine(path, &line, &complete, error))
        return false;
    m_prev = line.empty() && complete ? kZeros : sha256Hex(line);
    m_torn = !complete;
    if (m_torn)
        wire::logLine("audit: " + path + " ends in a record cut short (the relay stopped while writing it); "
                      "the trail goes on in a new line, chained to it");
    return true;
}

bool AuditTrail::openFile(std::string *error)
{
    // Created 0640 whatever the umask (the unit's is 0077): the group reads the trail.
    int fd = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd >= 0)
        fchmod(fd, 0640);
    else if (errno == EEXIST)
        fd = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + m_path + ": " + std::strerror(errno);
        return false;
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    return true;
}

bool AuditTrail::reopen()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_path.empty())
        return false;
    std::string error;
    if (!openFile(&error)) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        wire::logLine("audit: " + error + "; records are lost until it can be opened");
        return false;
    }
    return true;
}

void AuditTrail::countFailuresIn(std::atomic<std::uint64_t> *counter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options.failureCounter = counter;
}

bool AuditTrail::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fd >= 0;
}

void AuditTrail::record(const AuditEvent &event)
{
    const std::string fields = fieldsJson(event, m_options.relayId);
    std::string lineHash;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_path.empty())
            return;
        // The time is taken in the lock so that the file's times never go backwards.
        const std::string line = kPrevHead + m_prev + "\",\"time\":\"" + utcNow() + "\"," + fields.substr(1);
        lineHash = sha256Hex(line);
        if (!writeLocked(line))
            return;
        m_prev = lineHash;
    }
    if (m_options.journal)
        toJournal(event, lineHash);
}

bool AuditTrail::writeLocked(const std::string &line)
{
    struct stat st {};
    // A trail removed without a reload would swallow every record: open the path anew.
    if (m_fd >= 0 && fstat(m_fd, &st) == 0 && st.st_nlink == 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_fd < 0) {
        std::string error;
        if (!openFile(&error)) {
            failed(error);
            return false;
        }
    }
    // After a cut-short line the record starts on a line of its own, except at the top of
    // a file that was rotated or truncated since (it would be an empty line there).
    const bool newline = m_torn && !(fstat(m_fd, &st) == 0 && st.st_size == 0);
    const std::string bytes = (newline ? "\n" : "") + line + "\n";
    const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
    if (n == ssize_t(bytes.size())) {
        m_torn = false;
        return true;
    }
    if (n < 0) {
        failed("cannot write to " + m_path + ": " + std::strerror(errno));
        return false;
    }
    // Part of the record is in the file: the chain goes on from those bytes, as after a crash.
    std::size_t written = std::size_t(n);
    if (newline && written > 0) {
        m_torn = false;
        --written;
    }
    if (written > 0) {
        m_prev = sha256Hex(line.substr(0, written));
        m_torn = true;
    }
    failed("short write to " + m_path + " (" + std::to_string(n) + " of " + std::to_string(bytes.size()) + " bytes)");
    return false;
}

void AuditTrail::failed(const std::string &why)
{
    ++m_failures;
    if (m_options.failureCounter)
        ++*m_options.failureCounter;
    m_failureLog.line("audit: record lost: " + why);
}

void AuditTrail::toJournal(const AuditEvent &e, const std::string &lineHash) const
{
#if defined(TALVO_HAVE_SYSTEMD)
    std::vector<std::string> fields;
    const auto add = [&](const std::string &key, const std::string &value) {
        if (!value.empty())
            fields.push_back(key + "=" + value);
    };
    // The trail's field names, upper case, behind TALVO_.
    const auto field = [&](const char *name, const std::string &value) {
        std::string key = "TALVO_";
        for (const char *c = name; *c; ++c)
            key += char(std::toupper(static_cast<unsigned char>(*c)));
        add(key, value);
    };
    // A line that reads on its own in journalctl; the fields below are for queries.
    std::string message = std::string("audit ") + auditKindText(e.kind);
    if (e.result != AuditEvent::Result::None)
        message += std::string(" ") + resultText(e.result);
    for (const auto &[key, value] : {std::pair<const char *, const std::string *>{"user", &e.user},
                                     {"source", &e.source}, {"sn", &e.sn}, {"target", &e.target}})
        if (!value->empty())
            message += std::string(" ") + key + "=" + *value;
    if (!e.reason.empty())
        message += ": " + e.reason;
    add("MESSAGE", message);
    add("PRIORITY", e.result == AuditEvent::Result::Refused ? "5" : "6");
    eachField(e, m_options.relayId, field, [&](const char *name, const std::optional<std::uint64_t> &value) {
        if (value)
            field(name, std::to_string(*value));
    });
    // The line's hash ties the journal's copy to the file's line: a check of one by the other.
    add("TALVO_AUDIT_SHA256", lineHash);
    std::vector<iovec> iov;
    for (auto &f : fields)
        iov.push_back({f.data(), f.size()});
    sd_journal_sendv(iov.data(), int(iov.size()));
#else
    (void)e;
    (void)lineHash;
#endif
}

namespace {

struct Verifier
{
    std::string expected;
    std::string lastHash;
    std::size_t records = 0;
    std::string notes;
    bool first = true;

    // False with the reason for a line that does not belong where it is.
    bool line(const std::string &text, const std::string &where, std::string *why)
    {
        nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
        const bool parsed = !j.is_discarded() && j.is_object() && j.contains("prev") && j["prev"].is_string();
        if (parsed) {
            const std::string prev = j["prev"].get<std::string>();
            if (prev != expected) {
                if (first)
                    *why = "the chain does not begin here (prev is " + prev + ", not " + expected
                           + "): name the older files first, or pass --after " + prev + " to check from here on";
                else
                    *why = "prev does not match the line before: that line was edited, or records were removed, "
                           "added or moved here";
                return false;
            }
            ++records;
        } else {
            // A record cut short by a crash or a full disk: what there is of it must still
            // begin with the right prev, and the next line chains to its bytes.
            const std::string head = kPrevHead + expected + "\"";
            const bool torn = !text.empty() && (text.size() <= head.size() ? head.compare(0, text.size(), text) == 0
                                                                            : text.compare(0, head.size(), head) == 0);
            if (!torn) {
                *why = text.empty() ? "an empty line" : "not a record of the trail (no JSON object with prev)";
                return false;
            }
            notes += where + ": a record cut short (the relay stopped or the disk was full while writing it)\n";
        }
        expected = lastHash = sha256Hex(text);
        first = false;
        return true;
    }
};

} // namespace

int verifyAuditFiles(const std::vector<std::string> &files, const std::string &after, std::string *report)
{
    Verifier v;
    v.expected = after.empty() ? kZeros : after;
    if (files.empty()) {
        *report = "no file given\n";
        return 2;
    }
    for (const auto &file : files) {
        std::ifstream fileIn;
        std::istream *in = &std::cin;
        if (file != "-") {
            fileIn.open(file, std::ios::binary);
            if (!fileIn) {
                *report = v.notes + file + ": cannot open: " + std::strerror(errno) + "\n";
                return 1;
            }
            in = &fileIn;
        }
        std::string text, why;
        std::size_t lineNo = 0;
        // A file's end ends a line: a record cut short at the end of a rotated file is
        // followed by the next file's first line.
        while (std::getline(*in, text)) {
            ++lineNo;
            const std::string where = file + ":" + std::to_string(lineNo);
            if (!v.line(text, where, &why)) {
                *report = v.notes + where + ": " + why + "\n";
                return 1;
            }
        }
        if (in->bad()) {
            *report = v.notes + file + ": read error\n";
            return 1;
        }
    }
    *report = v.notes + std::to_string(v.records) + " records in " + std::to_string(files.size())
              + (files.size() == 1 ? " file" : " files") + ", chain intact"
              + (v.lastHash.empty() ? std::string() : "; the last line's sha256 is " + v.lastHash) + "\n";
    return 0;
}

} // namespace relay
