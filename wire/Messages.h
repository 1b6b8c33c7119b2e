#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The relay protocol. Every connection to a relay starts with the Hello line, then one
// request line (words separated by single spaces, ended by '\n'). Control links (TLS to the
// relay) go on exchanging lines; a data connection (plain TCP) joins an authorised stream and
// then carries the stream's own TLS, which ends at the tunnel library and the panel agent:
// the relay passes ciphertext it cannot read.
//
//   PC control     -> Hello, User         <- Ok | Err
//                  -> Check               <- Checked
//                  -> Stream              <- Granted | Refused
//   panel control  -> Hello, Panel        <- Ok | Err
//                  <- Open                -> Fail
//   data (either)  -> Hello, Join         <- Ok (then the stream's TLS) | Err
//   relay to relay -> Hello, Forward      <- Held | Err       (TLS, cluster certificate)
//   any control    <> Ping                   (heartbeat, either side, no answer)
//
// encode() gives the line without its '\n'; decode() takes it without one and returns
// nothing, with the reason in *error, for anything but exactly that message.
namespace wire::msg {

// Longer lines are refused: nothing legitimate comes near it.
constexpr std::size_t kMaxLine = 1024;

// The version this build speaks; a peer of another one is refused (Reason::Version).
constexpr unsigned kProtocolVersion = 2;
// Hex digits of a join value and of a per-stream secret (128 and 256 random bits).
constexpr std::size_t kJoinDigits = 32;
constexpr std::size_t kSecretDigits = 64;

// Why a request was refused; the first word after ERR / FAIL / CHECKED (Ok only there).
// Replaced: another registration of the same SN took over the panel's link, which closes.
enum class Reason { Ok, Protocol, Secret, Token, NotAllowed, Offline, Target, Unreachable, Timeout, Replaced, Version };
const char *reasonText(Reason reason);

// "TALVO 2": the first line of every connection to a relay.
struct Hello
{
    unsigned version = kProtocolVersion;
    std::string encode() const;
    static std::optional<Hello> decode(const std::string &line, std::string *error = nullptr);
};

// What a first line that is not a Hello says of its sender: 1 for the requests of version 1
// (which started without one), else 0. Looks only at the verb: the line may hold secrets.
unsigned legacyVersion(const std::string &line);

struct User
{
    std::string token;
    std::string encode() const;
    static std::optional<User> decode(const std::string &line, std::string *error = nullptr);
};

struct Check
{
    std::uint64_t id = 0;
    std::string sn;
    std::string encode() const;
    static std::optional<Check> decode(const std::string &line, std::string *error = nullptr);
};

struct Checked
{
    std::uint64_t id = 0;
    Reason verdict = Reason::Ok;
    std::string encode() const;
    static std::optional<Checked> decode(const std::string &line, std::string *error = nullptr);
};

// A stream asked for over the PC's control link; `id` is the PC's own request number.
struct Stream
{
    std::uint64_t id = 0;
    std::string sn, target;
    std::string encode() const;
    static std::optional<Stream> decode(const std::string &line, std::string *error = nullptr);
};

// The stream is authorised and the panel's side waits: join with `join`, prove `secret`
// inside the stream's TLS, and expect the panel certificate whose SHA-256 is `key`.
struct Granted
{
    std::uint64_t id = 0;
    std::string join, secret, key;
    std::string encode() const;
    static std::optional<Granted> decode(const std::string &line, std::string *error = nullptr);
};

struct Refused
{
    std::uint64_t id = 0;
    Reason reason = Reason::Protocol;
    std::string text; // for people, may be empty
    std::string encode() const;
    static std::optional<Refused> decode(const std::string &line, std::string *error = nullptr);
};

// `key`: SHA-256 of the agent's own certificate, which PCs are told to expect.
struct Panel
{
    std::string sn, secret, key;
    std::string encode() const;
    static std::optional<Panel> decode(const std::string &line, std::string *error = nullptr);
};

// To the agent: connect `target`, join with `join`, and let through only a PC that proves
// `secret`.
struct Open
{
    std::uint64_t id = 0;
    std::string target, join, secret;
    std::string encode() const;
    static std::optional<Open> decode(const std::string &line, std::string *error = nullptr);
};

struct Fail
{
    std::uint64_t id = 0;
    Reason reason = Reason::Target;
    std::string encode() const;
    static std::optional<Fail> decode(const std::string &line, std::string *error = nullptr);
};

// A data connection's request. `mac` only from another relay of the cluster (hex HMAC).
struct Join
{
    std::string join, mac;
    std::string encode() const;
    static std::optional<Join> decode(const std::string &line, std::string *error = nullptr);
};

// Relay to relay: open a stream to a panel the receiver holds, for a PC the sender already
// authorised. `mac`: hex HMAC of the line's words before it, with the cluster's link key.
struct Forward
{
    std::string sn, target, secret, mac;
    // The words the MAC covers.
    std::string signedText() const;
    std::string encode() const;
    static std::optional<Forward> decode(const std::string &line, std::string *error = nullptr);
};

// The answer to Forward: the panel's side waits; join it with `join`.
struct Held
{
    std::string join, key;
    std::string encode() const;
    static std::optional<Held> decode(const std::string &line, std::string *error = nullptr);
};

struct Ping
{
    std::string encode() const;
    static std::optional<Ping> decode(const std::string &line, std::string *error = nullptr);
};

struct Ok
{
    std::string encode() const;
    static std::optional<Ok> decode(const std::string &line, std::string *error = nullptr);
};

// The text after the reason is for people (logs, error messages), and may be empty.
struct Err
{
    Reason reason = Reason::Protocol;
    std::string text;
    std::string encode() const;
    static std::optional<Err> decode(const std::string &line, std::string *error = nullptr);
};

// Serial numbers: 1..64 of [A-Za-z0-9._-]. Tokens and secrets: 1..256 printable ASCII
// without blanks (they travel as one word).
bool validSn(const std::string &sn);
bool validSecret(const std::string &secret);
// Exactly `digits` lower-case hex digits (joins, per-stream secrets, keys, MACs).
bool validHex(const std::string &text, std::size_t digits);
// A printable one-line text, safe to log and to put into a line.
bool printableLine(const std::string &line);

} // namespace wire::msg
