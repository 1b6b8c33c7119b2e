#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The relay protocol. Every connection starts with one text line (words separated by
// single spaces, ended by '\n'); control connections go on exchanging such lines, stream
// connections turn into a plain byte pipe after the first exchange.
//
//   PC control     -> User                <- Ok | Err
//                  -> Check               <- Checked
//   PC stream      -> Stream              <- Ok (then bytes) | Err
//   panel control  -> Panel               <- Ok | Err
//                  <- Open                -> Fail
//   panel data     -> Data                   (then bytes)
//   any control    <> Ping                   (heartbeat, either side, no answer)
//
// encode() gives the line without its '\n'; decode() takes it without one and returns
// nothing, with the reason in *error, for anything but exactly that message.
namespace wire::msg {

// Longer lines are refused: nothing legitimate comes near it.
constexpr std::size_t kMaxLine = 1024;

// Why a request was refused; the first word after ERR / FAIL / CHECKED (Ok only there).
// Replaced: another registration of the same SN took over the panel's link, which closes.
enum class Reason { Ok, Protocol, Secret, Token, NotAllowed, Offline, Target, Unreachable, Timeout, Replaced };
const char *reasonText(Reason reason);

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

struct Stream
{
    std::string token, sn, target;
    std::string encode() const;
    static std::optional<Stream> decode(const std::string &line, std::string *error = nullptr);
};

struct Panel
{
    std::string sn, secret;
    std::string encode() const;
    static std::optional<Panel> decode(const std::string &line, std::string *error = nullptr);
};

struct Open
{
    std::uint64_t id = 0;
    std::string target;
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

struct Data
{
    std::string sn, secret;
    std::uint64_t id = 0;
    std::string encode() const;
    static std::optional<Data> decode(const std::string &line, std::string *error = nullptr);
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
// A printable one-line text, safe to log and to put into a line.
bool printableLine(const std::string &line);

} // namespace wire::msg
