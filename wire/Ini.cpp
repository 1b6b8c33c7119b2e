#include "wire/Ini.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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
    m_path = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot open " + path + ": " + std::strerror(errno);
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
    int badLine = 0;
    std::string reason;
    if (!parseLines(ss.str(), &badLine, &reason)) {
        if (error)
            *error = located(badLine) + ": " + reason;
        return false;
    }
    return true;
}

bool Ini::parse(const std::string &text, std::string *error)
{
    m_path.clear();
    int badLine = 0;
    std::string reason;
    if (parseLines(text, &badLine, &reason))
        return true;
    if (error)
        *error = "line " + std::to_string(badLine) + ": " + reason;
    return false;
}

bool Ini::parseLines(const std::string &text, int *badLine, std::string *reason)
{
    m_sections.clear();
    m_sections.push_back(Section());
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
                *badLine = lineNo;
                *reason = "unterminated section name " + line;
                return false;
            }
            // A section written twice is read as one.
            const std::string name = lower(trim(line.substr(1, line.size() - 2)));
            auto it = std::find_if(m_sections.begin(), m_sections.end(),
                                   [&](const Section &o) { return o.name == name; });
            if (it == m_sections.end()) {
                m_sections.push_back(Section{name, lineNo, {}, {}});
                current = m_sections.size() - 1;
            } else {
                current = size_t(it - m_sections.begin());
            }
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0) {
            *badLine = lineNo;
            *reason = "expected key=value, not \"" + (line.size() > 60 ? line.substr(0, 60) + "..." : line) + "\"";
            return false;
        }
        m_sections[current].entries.emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
        m_sections[current].lines.push_back(lineNo);
    }
    return true;
}

const Ini::Entries &Ini::section(const std::string &name) const
{
    static const Entries empty;
    const std::string key = lower(name);
    for (const auto &s : m_sections)
        if (s.name == key)
            return s.entries;
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

std::string Ini::located(int line) const
{
    const std::string file = m_path.empty() ? std::string("line") : m_path;
    return line > 0 ? file + (m_path.empty() ? " " : ":") + std::to_string(line) : file;
}

std::string Ini::at(const std::string &sectionName, const std::string &key) const
{
    const std::string sec = lower(sectionName), k = lower(key);
    for (const auto &s : m_sections) {
        if (s.name != sec)
            continue;
        int line = 0;
        for (size_t i = 0; i < s.entries.size(); ++i)
            if (lower(s.entries[i].first) == k)
                line = s.lines[i]; // the line value() reads
        return located(line);
    }
    return located(0);
}

std::string Ini::at(const std::string &sectionName, size_t index) const
{
    const std::string sec = lower(sectionName);
    for (const auto &s : m_sections)
        if (s.name == sec)
            return located(index < s.lines.size() ? s.lines[index] : 0);
    return located(0);
}

std::vector<std::pair<std::string, int>> Ini::sectionNames() const
{
    std::vector<std::pair<std::string, int>> names;
    for (const auto &s : m_sections)
        if (s.line > 0)
            names.emplace_back(s.name, s.line);
    return names;
}

namespace {
std::string joined(const std::vector<std::string> &names, const char *open, const char *close)
{
    std::string text;
    for (const auto &n : names)
        text += (text.empty() ? "" : ", ") + (open + n + close);
    return text;
}
}

bool Ini::onlySections(const std::vector<std::string> &sections, std::string *error) const
{
    if (!m_sections.empty() && !m_sections.front().entries.empty()) {
        *error = located(m_sections.front().lines.front()) + ": " + m_sections.front().entries.front().first
                 + "= is outside any section (" + joined(sections, "[", "]") + ")";
        return false;
    }
    for (const auto &s : m_sections) {
        if (s.line > 0 && std::find(sections.begin(), sections.end(), s.name) == sections.end()) {
            *error = located(s.line) + ": [" + s.name + "] is not a section of this file (" + joined(sections, "[", "]")
                     + ")";
            return false;
        }
    }
    return true;
}

bool Ini::onlyKeys(const std::string &sectionName, const std::vector<std::string> &keys, std::string *error) const
{
    const std::string sec = lower(sectionName);
    for (const auto &s : m_sections) {
        if (s.name != sec)
            continue;
        for (size_t i = 0; i < s.entries.size(); ++i) {
            if (std::find(keys.begin(), keys.end(), lower(s.entries[i].first)) == keys.end()) {
                *error = located(s.lines[i]) + ": [" + sec + "] " + s.entries[i].first + "= is not a setting ("
                         + joined(keys, "", "=") + ")";
                return false;
            }
        }
    }
    return true;
}

bool Ini::number(const std::string &section, const std::string &key, long long min, long long max,
                 const char *what, long long *out, std::string *error) const
{
    const auto v = value(section, key);
    if (!v)
        return true;
    std::size_t used = 0;
    long long n = 0;
    try {
        n = std::stoll(*v, &used);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used == 0 || used != v->size() || n < min || n > max) {
        *error = at(section, key) + ": [" + section + "] " + key + "=" + *v + " must be " + what + " ("
                 + std::to_string(min) + ".." + std::to_string(max) + ")";
        return false;
    }
    *out = n;
    return true;
}

} // namespace wire
