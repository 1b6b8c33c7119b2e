#include "wire/Address.h"

#include <asio/ip/address_v6.hpp>

namespace wire {

namespace {

bool hostCharsOk(const std::string &host, bool bracketed)
{
    if (host.empty() || host.size() > 253)
        return false;
    for (char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || c == '.' || c == '-' || c == '_' || (bracketed && (c == ':' || c == '%'));
        if (!ok)
            return false;
    }
    return true;
}

// Brackets are for IPv6 literals (with an optional zone) only: a name in them would reach
// the resolver in a form nobody writes on purpose.
bool ipv6Literal(const std::string &host)
{
    const auto percent = host.find('%');
    const std::string address = host.substr(0, percent);
    if (percent != std::string::npos
        && (percent + 1 == host.size() || host.find_first_of(":%", percent + 1) != std::string::npos))
        return false;
    std::error_code ec;
    asio::ip::make_address_v6(address, ec);
    return !ec;
}

} // namespace

std::string HostPort::text() const
{
    // '%' (a zone) is only accepted in brackets: printed bare, the text would not parse again.
    const std::string h = anyHost ? "*" : (host.find_first_of(":%") != std::string::npos ? "[" + host + "]" : host);
    return h + ":" + (anyPort ? std::string("*") : std::to_string(port));
}

std::optional<HostPort> parseHostPort(const std::string &text, AddressRules rules)
{
    if (text.empty() || text.size() > 270)
        return std::nullopt;
    HostPort hp;
    std::string portText;
    if (text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        hp.host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
        if (!hostCharsOk(hp.host, true) || !ipv6Literal(hp.host))
            return std::nullopt;
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon)
            return std::nullopt;
        hp.host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (hp.host == "*" && rules.allowWildcards) {
            hp.anyHost = true;
            hp.host.clear();
        } else if (!hostCharsOk(hp.host, false)) {
            return std::nullopt;
        }
    }
    if (portText == "*" && rules.allowWildcards) {
        hp.anyPort = true;
        return hp;
    }
    if (portText.empty() || portText.size() > 5)
        return std::nullopt;
    unsigned long port = 0;
    for (char c : portText) {
        if (c < '0' || c > '9')
            return std::nullopt;
        port = port * 10 + unsigned(c - '0');
    }
    if (port > 65535 || (port == 0 && !rules.allowPortZero))
        return std::nullopt;
    hp.port = uint16_t(port);
    return hp;
}

} // namespace wire
