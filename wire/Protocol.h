#pragma once

#include <string>
#include <vector>

// The relay protocol. Every connection starts with one text line (words separated by
// single spaces, ended by '\n'); control connections go on exchanging such lines, stream
// connections turn into a plain byte pipe after the first exchange.
//
//   PC control     -> USER <token>                    <- OK | ERR <REASON> [text]
//                  -> CHECK <n> <sn>                  <- CHECKED <n> OK | CHECKED <n> <REASON>
//   PC stream      -> STREAM <token> <sn> <host:port> <- OK (then bytes) | ERR <REASON> [text]
//   panel control  -> PANEL <sn> <secret>             <- OK | ERR <REASON> [text]
//                  <- OPEN <id> <host:port>           -> FAIL <id> <REASON>
//                  <- ERR REPLACED [text]              (another registration of the SN took
//                                                         over; the link closes after it)
//   panel data     -> DATA <sn> <secret> <id>            (then bytes)
//   any control    <> PING                               (heartbeat, either side, no answer)
namespace wire::proto {

// Longer first lines are refused: nothing legitimate comes near it.
constexpr std::size_t kMaxLine = 1024;

inline const char *const kUser = "USER";
inline const char *const kCheck = "CHECK";
inline const char *const kChecked = "CHECKED";
inline const char *const kStream = "STREAM";
inline const char *const kPanel = "PANEL";
inline const char *const kOpen = "OPEN";
inline const char *const kFail = "FAIL";
inline const char *const kData = "DATA";
inline const char *const kPing = "PING";
inline const char *const kOk = "OK";
inline const char *const kErr = "ERR";

// Reasons, the first word after ERR / FAIL / CHECKED.
inline const char *const kReasonProtocol = "PROTOCOL";
inline const char *const kReasonSecret = "SECRET";
inline const char *const kReasonToken = "TOKEN";
inline const char *const kReasonNotAllowed = "NOT_ALLOWED";
inline const char *const kReasonOffline = "OFFLINE";
inline const char *const kReasonTarget = "TARGET";
inline const char *const kReasonUnreachable = "UNREACHABLE";
inline const char *const kReasonTimeout = "TIMEOUT";
inline const char *const kReasonReplaced = "REPLACED";

std::vector<std::string> splitWords(const std::string &line);

// Serial numbers: 1..64 of [A-Za-z0-9._-]. Tokens and secrets: 1..256 printable ASCII
// without blanks (they travel as one word).
bool validSn(const std::string &sn);
bool validSecret(const std::string &secret);
// A printable one-line text, safe to log and to put into a line.
bool printableLine(const std::string &line);

// '*' matches any run of characters (also none); everything else matches itself.
bool globMatch(const std::string &pattern, const std::string &text);

// Compares in time independent of where the texts differ.
bool secretEquals(const std::string &a, const std::string &b);

} // namespace wire::proto
