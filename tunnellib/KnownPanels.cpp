#include "tunnellib/KnownPanels.h"

#include "tunnellib/DebugLog.h"
#include "tunnellib/FileReplace.h"
#include "wire/Ini.h"
#include "wire/Messages.h"
#include "wire/Tls.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tunnellib {

namespace {

// A few lines per panel; anything near this is not our file.
constexpr std::streamoff kMaxFileSize = 1 << 20;

std::string shortKey(const std::string &key)
{
    return key.substr(0, 8) + "...";
}

} // namespace

KnownPanels::KnownPanels(Warn warn) : m_warn(warn ? std::move(warn) : Warn(warnLog))
{
}

std::string KnownPanels::fileBeside(const std::string &configPath)
{
#ifdef _WIN32
    const auto slash = configPath.find_last_of("/\\:");
#else
    const auto slash = configPath.find_last_of('/');
#endif
    return (slash == std::string::npos ? std::string() : configPath.substr(0, slash + 1)) + kFileName;
}

void KnownPanels::open(const std::string &path)
{
    if (path == m_path)
        return;
    m_path = path;
    m_keys.clear();
    m_unreadable = false;
    m_writeWarned = false;
    load();
}

void KnownPanels::load()
{
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT)
            return; // nothing met yet
        m_unreadable = true;
        m_warn("cannot read " + m_path + " (" + std::strerror(errno)
               + "); panel keys are remembered for this run only");
        return;
    }
    in.seekg(0, std::ios::end);
    if (in.tellg() > kMaxFileSize) {
        m_unreadable = true;
        m_warn(m_path + " is larger than 1 MiB, not read; panel keys are remembered for this run only");
        return;
    }
    in.seekg(0);
    std::string line, section;
    int number = 0, firstBad = 0, bad = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string text = wire::trim(line);
        if (text.empty() || text[0] == ';' || text[0] == '#')
            continue;
        if (text.front() == '[' && text.back() == ']') {
            section = wire::lower(wire::trim(text.substr(1, text.size() - 2)));
            continue;
        }
        const auto eq = text.find('=');
        const std::string sn = wire::trim(text.substr(0, eq));
        const std::string key = eq == std::string::npos ? std::string()
                                                        : wire::normaliseFingerprint(wire::trim(text.substr(eq + 1)));
        if (section != "panels" || !wire::msg::validSn(sn) || key.empty()) {
            if (bad++ == 0)
                firstBad = number;
            continue;
        }
        m_keys[sn] = key;
    }
    if (bad > 0)
        m_warn(m_path + ":" + std::to_string(firstBad) + ": ignored, not SN=SHA-256 in hex under [panels]"
               + (bad > 1 ? " (and " + std::to_string(bad - 1) + " more such lines)" : std::string()));
}

KnownPanels::Verdict KnownPanels::vouch(const std::string &sn, const std::string &key)
{
    auto it = m_keys.find(sn);
    if (it != m_keys.end() && it->second == key)
        return Verdict::Same;
    const Verdict verdict = it == m_keys.end() ? Verdict::New : Verdict::Changed;
    if (verdict == Verdict::Changed)
        m_warn("panel " + sn + " presents another key (was " + shortKey(it->second) + ", now " + shortKey(key)
               + "); the relay vouches for the new one");
    else
        debugLog("panel " + sn + ": key " + shortKey(key) + " met for the first time");
    m_keys[sn] = key;
    save();
    return verdict;
}

std::optional<std::string> KnownPanels::known(const std::string &sn) const
{
    const auto it = m_keys.find(sn);
    return it == m_keys.end() ? std::nullopt : std::optional<std::string>(it->second);
}

void KnownPanels::save()
{
    if (m_path.empty() || m_unreadable)
        return;
    std::ostringstream out;
    out << "; The panels this PC has reached through the tunnel, each with the SHA-256 of its\n"
           "; key as the relay vouched for it. Written by pgDllTunnel, which warns when a panel\n"
           "; presents another key than the one written here.\n"
           "[panels]\n";
    for (const auto &k : m_keys)
        out << k.first << '=' << k.second << '\n';
    std::string error;
    if (replaceFile(m_path, out.str(), &error)) {
        m_writeWarned = false;
        return;
    }
    if (!m_writeWarned)
        m_warn(error + "; panel keys are remembered for this run only");
    m_writeWarned = true;
}

} // namespace tunnellib
