#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace wire {

// A small INI reader shared by the three programs. Section names are compared without
// regard to case; keys keep their case because some sections are keyed by serial number
// or token, and line order is kept because target lists are matched first to last.
class Ini
{
public:
    using Entries = std::vector<std::pair<std::string, std::string>>;

    // False with a message naming the file (and line) when the file cannot be read or a
    // line is neither a section, a comment, blank nor key=value.
    bool load(const std::string &path, std::string *error);
    bool parse(const std::string &text, std::string *error);

    const Entries &section(const std::string &name) const;
    std::optional<std::string> value(const std::string &section, const std::string &key) const;

private:
    std::vector<std::pair<std::string, Entries>> m_sections;
};

std::string trim(const std::string &s);
std::string lower(std::string s);

} // namespace wire
