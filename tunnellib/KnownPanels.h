#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace tunnellib {

// The panel keys this PC has met, by serial number, as SSH keeps known hosts. With each
// stream it grants, the relay vouches for the key of the panel's agent, and the stream's TLS
// is pinned to it; that alone would let a relay that lies slip in a key of its own choosing.
// A key that differs from the one met before is what an operator needs to see to notice.
// The relay's word still wins (a panel may have been set up anew, and the relay authorised
// it): the check warns, it never refuses.
//
// Kept in knownPanels.cfg beside the tunnel's configuration file:
//     [panels]
//     SN=SHA-256 of the agent's certificate, 64 hex digits
// A file that cannot be read or written costs a warning, never a stream; what was met is
// then remembered for this run only. Used from one thread (the library's io thread).
class KnownPanels
{
public:
    enum class Verdict { New, Same, Changed };
    using Warn = std::function<void(const std::string &text)>;

    static constexpr const char *kFileName = "knownPanels.cfg";

    // Warnings go to `warn` (the library's warnLog; tests count them).
    explicit KnownPanels(Warn warn = {});

    // knownPanels.cfg in the folder of `configPath`.
    static std::string fileBeside(const std::string &configPath);
    // Reads what `path` remembers (a missing file remembers nothing) and writes there from
    // now on; the same path again keeps what is known.
    void open(const std::string &path);
    const std::string &path() const { return m_path; }

    // Takes `key` as the panel's from now on, and says how it compares with the one met
    // before; a changed key is warned about.
    Verdict vouch(const std::string &sn, const std::string &key);
    std::optional<std::string> known(const std::string &sn) const;

private:
    void load();
    void save();

    Warn m_warn;
    std::string m_path;
    std::map<std::string, std::string> m_keys;
    bool m_unreadable = false;  // never overwrite a file whose keys we could not read
    bool m_writeWarned = false; // one warning until a write succeeds again
};

} // namespace tunnellib
