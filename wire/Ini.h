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
    // line is neither a section, a comment, blank nor key=value: "FILE:LINE: reason", the
    // form compilers use, so that an operator reading the journal can jump to the line.
    bool load(const std::string &path, std::string *error);
    bool parse(const std::string &text, std::string *error);

    const Entries &section(const std::string &name) const;
    std::optional<std::string> value(const std::string &section, const std::string &key) const;

    // Where a value came from, to start an error message with: "FILE:LINE" for the
    // key's (last) line or the section's entry `index`, just "FILE" when it is absent.
    std::string at(const std::string &section, const std::string &key) const;
    std::string at(const std::string &section, size_t index) const;
    // Every section name as written in the file, lowercased, and where it first appears.
    std::vector<std::pair<std::string, int>> sectionNames() const;
    std::string path() const { return m_path; }

    // A misspelt section or key would otherwise be skipped without a word and the program
    // run on defaults: false with "FILE:LINE: reason" for the first section not in
    // `sections` (or a key before any section), or the first key of `section` not in `keys`.
    bool onlySections(const std::vector<std::string> &sections, std::string *error) const;
    bool onlyKeys(const std::string &section, const std::vector<std::string> &keys, std::string *error) const;

    // A whole number from min to max, `what` naming it ("a number of milliseconds"): `out`
    // stays as it is when the key is absent; false with "FILE:LINE: [section] key=value
    // must be what (min..max)" for anything else, trailing characters included.
    bool number(const std::string &section, const std::string &key, long long min, long long max,
                const char *what, long long *out, std::string *error) const;

private:
    bool parseLines(const std::string &text, int *badLine, std::string *reason);
    std::string located(int line) const;

    struct Section
    {
        std::string name;
        int line = 0;
        Entries entries;
        std::vector<int> lines; // parallel to entries
    };
    std::vector<Section> m_sections;
    std::string m_path;
};

std::string trim(const std::string &s);
std::string lower(std::string s);

} // namespace wire
