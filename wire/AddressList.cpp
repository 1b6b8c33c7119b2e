#include "wire/AddressList.h"

#include "wire/Ini.h"

namespace wire {

std::optional<std::vector<HostPort>> parseHostPortList(const std::string &text, AddressRules rules)
{
    std::vector<HostPort> list;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto comma = text.find(',', start);
        const std::string item = trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        const auto hp = parseHostPort(item, rules);
        if (!hp)
            return std::nullopt;
        for (const auto &known : list)
            if (known == *hp)
                return std::nullopt;
        list.push_back(*hp);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (list.empty())
        return std::nullopt;
    return list;
}

std::string hostPortListText(const std::vector<HostPort> &list)
{
    std::string text;
    for (const auto &hp : list)
        text += (text.empty() ? "" : ",") + hp.text();
    return text;
}

} // namespace wire
