#include "wire/Ini.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace wire {

namespace {
// Configuration files are a few lines; a huge file is a mistake (wrong path given).
constexpr std::streamoff kMaxFileSize = 1 << 20;
}

std::string trim(const std::string &s)
{
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s)
{
    for (auto &c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

bool Ini::load(const std::string &path, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot open " + path;
        return false;
    }
    in.seekg(0, std::ios::end);
    if (in.tellg() > kMaxFileSize) {
        if (error)
            *error = path + " is larger than 1 MiB";
        return false;
    }
    in.seekg(0);
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string err;
    if (!parse(ss.str(), &err)) {
        if (error)
            *error = path + ": " + err;
        return false;
    }
    return true;
}

bool Ini::parse(const std::string &text, std::string *error)
{
    m_sections.clear();
    m_sections.emplace_back(std::string(), Entries());
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    size_t current = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']') {
                if (error)
                    *error = "line " + std::to_string(lineNo) + ": unterminated section name";
                return false;
            }
            // A section written twice is read as one.
            const std::string name = lower(trim(line.substr(1, line.size() - 2)));
            auto it = std::find_if(m_sections.begin(), m_sections.end(),
                                   [&](const auto &o) { return o.first == name; });
            if (it == m_sections.end()) {
                m_sections.emplace_back(name, Entries());
                current = m_sections.size() - 1;
            } else {
                current = size_t(it - m_sections.begin());
            }
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0) {
            if (error)
                *error = "line " + std::to_string(lineNo) + ": expected key=value";
            return false;
        }
        m_sections[current].second.emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    return true;
}

const Ini::Entries &Ini::section(const std::string &name) const
{
    static const Entries empty;
    const std::string key = lower(name);
    for (const auto &s : m_sections)
        if (s.first == key)
            return s.second;
    return empty;
}

std::optional<std::string> Ini::value(const std::string &sectionName, const std::string &key) const
{
    const std::string sec = lower(sectionName);
    const std::string k = lower(key);
    std::optional<std::string> result;
    for (const auto &e : section(sec))
        if (lower(e.first) == k)
            result = e.second; // the last one wins, as in most INI readers
    return result;
}

} // namespace wire
