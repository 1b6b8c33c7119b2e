#pragma once

#include <QString>

#include <array>
#include <optional>

// The MAC and IPv4 address a panel announces, parsed once where the announcement arrives.
// The texts come from the network: they are kept only once they parsed, so they hold
// nothing but digits and separators. Where the texts are what is asked for (the capture
// filter, the TAP driver's MAC value, the log) they go out as the panel wrote them; command
// lines that read numbers differently (ip reads a leading zero as octal) get the numbers.
struct PanelAddress
{
    std::array<quint8, 6> mac{};
    std::array<quint8, 4> ip{}; // most significant byte first
    QString macAnnounced;
    QString ipAnnounced;

    // Four decimal numbers 0..255 separated by dots, nothing else (no blanks, no signs).
    static std::optional<std::array<quint8, 4>> parseIp(const QString &text);
    // Six groups of one or two hexadecimal digits separated by colons, nothing else.
    static std::optional<std::array<quint8, 6>> parseMac(const QString &text);
    static std::optional<PanelAddress> parse(const QString &macText, const QString &ipText);

    QString ipText() const;                 // "192.168.1.10"
    QString hostText(int host) const;       // the /24 network with this host part
    QString macText(const QString &separator) const; // two upper-case digits per byte
    // The first three parts of the announced IP with this host part: "192.168.001.255".
    QString announcedHostText(int host) const;
    // The announced MAC without its colons, a one-digit group filled to two so the driver
    // reads twelve digits; the digits' case as announced.
    QString announcedMacDigits() const;
};
