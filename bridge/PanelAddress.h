#pragma once

#include <QString>

#include <array>
#include <optional>

// The MAC and IPv4 address a panel announces. The texts arrive from the network, so they
// are parsed here into numbers once, and everything that reaches the registry, a command
// line or the capture filter is written back from those numbers, never from the texts.
struct PanelAddress
{
    std::array<quint8, 6> mac{};
    std::array<quint8, 4> ip{}; // most significant byte first

    // Four decimal numbers 0..255 separated by dots, nothing else (no blanks, no signs).
    static std::optional<std::array<quint8, 4>> parseIp(const QString &text);
    // Six groups of one or two hexadecimal digits separated by colons, nothing else.
    static std::optional<std::array<quint8, 6>> parseMac(const QString &text);
    static std::optional<PanelAddress> parse(const QString &macText, const QString &ipText);

    QString ipText() const;                 // "192.168.1.10"
    QString hostText(int host) const;       // the /24 network with this host part
    QString macText(const QString &separator) const; // two upper-case digits per byte
};
