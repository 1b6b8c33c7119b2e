// libFuzzer target for what users and peers name targets with: host:port (with and
// without wildcards) and the SN patterns of the relay's user rights. Oracles: an accepted
// address prints back to the same address; the pattern matcher agrees with a plain
// recursive one, and '*' and a pattern without wildcards behave as they must.
#include "wire/Address.h"
#include "relay/RelayConfig.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Textbook dynamic programming: match[i][j] = pattern[0,i) matches text[0,j).
bool reference(const std::string &pattern, const std::string &text)
{
    std::vector<std::vector<char>> match(pattern.size() + 1, std::vector<char>(text.size() + 1, 0));
    match[0][0] = 1;
    for (std::size_t i = 1; i <= pattern.size(); ++i)
        for (std::size_t j = 0; j <= text.size(); ++j)
            match[i][j] = pattern[i - 1] == '*'
                ? match[i - 1][j] || (j > 0 && match[i][j - 1])
                : j > 0 && match[i - 1][j - 1] && pattern[i - 1] == text[j - 1];
    return match[pattern.size()][text.size()];
}

void roundTrip(const std::string &text, wire::AddressRules rules)
{
    const auto hp = wire::parseHostPort(text, rules);
    if (!hp)
        return;
    const auto again = wire::parseHostPort(hp->text(), rules);
    if (!again || !(*again == *hp))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string in(reinterpret_cast<const char *>(data), size);
    roundTrip(in, {});
    roundTrip(in, {true, true});

    // Pattern and text split at the first NUL.
    const auto cut = in.find('\0');
    if (cut == std::string::npos)
        return 0;
    const std::string pattern = in.substr(0, cut), text = in.substr(cut + 1);
    const bool got = relay::globMatch(pattern, text);
    if (got != reference(pattern, text) || !relay::globMatch("*", text) || !relay::globMatch(text, text))
        abort();
    return 0;
}
