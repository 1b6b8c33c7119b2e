#include "wire/Messages.h"

#include <cstring>
#include <vector>

namespace wire::msg {

namespace {

const char *const kReasons[] = {"OK",      "PROTOCOL", "SECRET",      "TOKEN",   "NOT_ALLOWED", "OFFLINE",
                                "TARGET",  "UNREACHABLE", "TIMEOUT", "REPLACED", "VERSION"};

bool failed(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
    return false;
}

// The fields of a line that starts with `verb`: exactly `count` after it, or, with `rest`,
// at least that many and the text after them in *rest. Single spaces only: a field never
// comes out empty, so the field count cannot be fooled by doubled blanks.
bool split(const std::string &line, const char *verb, std::size_t count, std::vector<std::string> *fields,
           std::string *rest, std::string *error)
{
    if (line.size() > kMaxLine)
        return failed(error, "line longer than " + std::to_string(kMaxLine) + " bytes");
    if (!printableLine(line))
        return failed(error, "control or non-ASCII character in line");
    std::size_t pos = line.find(' ');
    if (line.compare(0, pos, verb) != 0)
        return failed(error, "not " + std::string(verb) + ": \"" + line.substr(0, std::min<std::size_t>(pos, 20)) + "\"");
    fields->clear();
    while (pos != std::string::npos && fields->size() < count) {
        const std::size_t end = line.find(' ', pos + 1);
        fields->push_back(line.substr(pos + 1, end == std::string::npos ? end : end - pos - 1));
        if (fields->back().empty())
            return failed(error, std::string(verb) + " has an empty field");
        pos = end;
    }
    const std::string counted = std::string(verb) + " takes " + std::to_string(count) + " field(s)";
    if (fields->size() < count)
        return failed(error, counted + ", not " + std::to_string(fields->size()));
    if (pos != std::string::npos) {
        if (!rest)
            return failed(error, counted + ", not more");
        *rest = line.substr(pos + 1);
    }
    return true;
}

bool number(const std::string &text, std::uint64_t *value, std::string *error)
{
    std::uint64_t n = 0;
    for (char c : text) {
        const unsigned digit = unsigned(c - '0');
        if (digit > 9 || n > (UINT64_MAX - digit) / 10)
            return failed(error, "\"" + text.substr(0, 24) + "\" is not a number of 64 bits");
        n = n * 10 + digit;
    }
    *value = n;
    return true;
}

bool reason(const std::string &text, bool okAllowed, Reason *value, std::string *error)
{
    for (std::size_t i = okAllowed ? 0 : 1; i < std::size(kReasons); ++i) {
        if (text == kReasons[i]) {
            *value = Reason(i);
            return true;
        }
    }
    return failed(error, "unknown reason \"" + text.substr(0, 24) + "\"");
}

bool hexField(const std::string &text, std::size_t digits, const char *what, std::string *error)
{
    return validHex(text, digits) || failed(error, std::string(what) + " is not " + std::to_string(digits) + " hex digits");
}

template <typename T> std::optional<T> result(bool ok, T value)
{
    return ok ? std::optional<T>(std::move(value)) : std::nullopt;
}

const char *const kHello = "TALVO";
const char *const kUser = "USER";
const char *const kCheck = "CHECK";
const char *const kChecked = "CHECKED";
const char *const kStream = "STREAM";
const char *const kPanel = "PANEL";
const char *const kOpen = "OPEN";
const char *const kFail = "FAIL";
const char *const kGranted = "GRANTED";
const char *const kRefused = "REFUSED";
const char *const kJoin = "JOIN";
const char *const kForward = "FORWARD";
const char *const kHeld = "HELD";
const char *const kPing = "PING";
const char *const kOk = "OK";
const char *const kErr = "ERR";

} // namespace

const char *reasonText(Reason reason)
{
    return kReasons[std::size_t(reason)];
}

std::string Hello::encode() const
{
    return std::string(kHello) + " " + std::to_string(version);
}

std::optional<Hello> Hello::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    std::uint64_t v = 0;
    const bool ok = split(line, kHello, 1, &f, nullptr, error) && number(f[0], &v, error)
                    && (v <= 0xFFFF || failed(error, "version out of range"));
    return result(ok, Hello {unsigned(v)});
}

unsigned legacyVersion(const std::string &line)
{
    const std::string verb = line.substr(0, line.find(' '));
    for (const char *v1 : {kUser, kPanel, kStream, "DATA", kForward})
        if (verb == v1)
            return 1;
    return 0;
}

std::string User::encode() const
{
    return std::string(kUser) + " " + token;
}

std::optional<User> User::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    if (!split(line, kUser, 1, &f, nullptr, error))
        return std::nullopt;
    return User {f[0]};
}

std::string Check::encode() const
{
    return std::string(kCheck) + " " + std::to_string(id) + " " + sn;
}

std::optional<Check> Check::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    Check m;
    const bool ok = split(line, kCheck, 2, &f, nullptr, error) && number(f[0], &m.id, error);
    if (ok)
        m.sn = f[1];
    return result(ok, m);
}

std::string Checked::encode() const
{
    return std::string(kChecked) + " " + std::to_string(id) + " " + reasonText(verdict);
}

std::optional<Checked> Checked::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    Checked m;
    const bool ok = split(line, kChecked, 2, &f, nullptr, error) && number(f[0], &m.id, error)
                    && reason(f[1], true, &m.verdict, error);
    return result(ok, m);
}

std::string Stream::encode() const
{
    return std::string(kStream) + " " + std::to_string(id) + " " + sn + " " + target;
}

std::optional<Stream> Stream::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    Stream m;
    const bool ok = split(line, kStream, 3, &f, nullptr, error) && number(f[0], &m.id, error);
    if (ok) {
        m.sn = f[1];
        m.target = f[2];
    }
    return result(ok, m);
}

std::string Granted::encode() const
{
    return std::string(kGranted) + " " + std::to_string(id) + " " + join + " " + secret + " " + key;
}

std::optional<Granted> Granted::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    Granted m;
    const bool ok = split(line, kGranted, 4, &f, nullptr, error) && number(f[0], &m.id, error)
                    && hexField(f[1], kJoinDigits, "join", error) && hexField(f[2], kSecretDigits, "secret", error)
                    && hexField(f[3], 64, "key", error);
    if (ok) {
        m.join = f[1];
        m.secret = f[2];
        m.key = f[3];
    }
    return result(ok, m);
}

std::string Refused::encode() const
{
    return std::string(kRefused) + " " + std::to_string(id) + " " + reasonText(reason)
           + (text.empty() ? std::string() : " " + text);
}

std::optional<Refused> Refused::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    Refused m;
    const bool ok = split(line, kRefused, 2, &f, &m.text, error) && number(f[0], &m.id, error)
                    && msg::reason(f[1], false, &m.reason, error);
    return result(ok, m);
}

std::string Panel::encode() const
{
    return std::string(kPanel) + " " + sn + " " + secret + " " + key;
}

std::optional<Panel> Panel::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    const bool ok = split(line, kPanel, 3, &f, nullptr, error) && hexField(f[2], 64, "key", error);
    return result(ok, ok ? Panel {f[0], f[1], f[2]} : Panel {});
}

std::string Open::encode() const
{
    return std::string(kOpen) + " " + std::to_string(id) + " " + target + " " + join + " " + secret;
}

std::optional<Open> Open::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    Open m;
    const bool ok = split(line, kOpen, 4, &f, nullptr, error) && number(f[0], &m.id, error)
                    && hexField(f[2], kJoinDigits, "join", error) && hexField(f[3], kSecretDigits, "secret", error);
    if (ok) {
        m.target = f[1];
        m.join = f[2];
        m.secret = f[3];
    }
    return result(ok, m);
}

std::string Fail::encode() const
{
    return std::string(kFail) + " " + std::to_string(id) + " " + reasonText(reason);
}

std::optional<Fail> Fail::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    Fail m;
    const bool ok = split(line, kFail, 2, &f, nullptr, error) && number(f[0], &m.id, error)
                    && msg::reason(f[1], false, &m.reason, error);
    return result(ok, m);
}

std::string Join::encode() const
{
    return std::string(kJoin) + " " + join + (mac.empty() ? std::string() : " " + mac);
}

std::optional<Join> Join::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    Join m;
    std::string rest;
    bool ok = split(line, kJoin, 1, &f, &rest, error) && hexField(f[0], kJoinDigits, "join", error);
    if (ok && line.size() > std::strlen(kJoin) + 1 + f[0].size())
        ok = hexField(rest, 64, "mac", error);
    if (ok) {
        m.join = f[0];
        m.mac = rest;
    }
    return result(ok, m);
}

std::string Forward::signedText() const
{
    return std::string(kForward) + " " + sn + " " + target + " " + secret;
}

std::string Forward::encode() const
{
    return signedText() + " " + mac;
}

std::optional<Forward> Forward::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    const bool ok = split(line, kForward, 4, &f, nullptr, error) && hexField(f[2], kSecretDigits, "secret", error)
                    && hexField(f[3], 64, "mac", error);
    return result(ok, ok ? Forward {f[0], f[1], f[2], f[3]} : Forward {});
}

std::string Held::encode() const
{
    return std::string(kHeld) + " " + join + " " + key;
}

std::optional<Held> Held::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    const bool ok = split(line, kHeld, 2, &f, nullptr, error) && hexField(f[0], kJoinDigits, "join", error)
                    && hexField(f[1], 64, "key", error);
    return result(ok, ok ? Held {f[0], f[1]} : Held {});
}

std::string Ping::encode() const
{
    return kPing;
}

std::optional<Ping> Ping::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    return result(split(line, kPing, 0, &f, nullptr, error), Ping {});
}

std::string Ok::encode() const
{
    return kOk;
}

std::optional<Ok> Ok::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    return result(split(line, kOk, 0, &f, nullptr, error), Ok {});
}

std::string Err::encode() const
{
    return std::string(kErr) + " " + reasonText(reason) + (text.empty() ? std::string() : " " + text);
}

std::optional<Err> Err::decode(const std::string &line, std::string *error)
{
    std::vector<std::string> f;
    Err m;
    const bool ok = split(line, kErr, 1, &f, &m.text, error) && msg::reason(f[0], false, &m.reason, error);
    return result(ok, m);
}

bool validSn(const std::string &sn)
{
    if (sn.empty() || sn.size() > 64)
        return false;
    for (char c : sn)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
              || c == '-' || c == '_'))
            return false;
    return true;
}

bool validSecret(const std::string &secret)
{
    if (secret.empty() || secret.size() > 256)
        return false;
    for (char c : secret)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

bool validHex(const std::string &text, std::size_t digits)
{
    if (text.size() != digits)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool printableLine(const std::string &line)
{
    for (char c : line)
        if (c < ' ' || c > '~')
            return false;
    return true;
}

} // namespace wire::msg
