#include "bridge/PanelAddress.h"

#include <QStringList>

namespace {
int digitValue(QChar c, int base)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (base == 16 && u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (base == 16 && u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// Refuses instead of wrapping: 300 must not quietly become 44.
std::optional<quint8> parseByte(const QString &part, int base, int maxDigits)
{
    if (part.isEmpty() || part.size() > maxDigits)
        return std::nullopt;
    int value = 0;
    for (QChar c : part) {
        const int d = digitValue(c, base);
        if (d < 0)
            return std::nullopt;
        value = value * base + d;
    }
    if (value > 255)
        return std::nullopt;
    return quint8(value);
}
}

std::optional<std::array<quint8, 4>> PanelAddress::parseIp(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    std::array<quint8, 4> ip{};
    for (int i = 0; i < 4; ++i) {
        const auto b = parseByte(parts[i], 10, 3);
        if (!b)
            return std::nullopt;
        ip[i] = *b;
    }
    return ip;
}

std::optional<std::array<quint8, 6>> PanelAddress::parseMac(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 6)
        return std::nullopt;
    std::array<quint8, 6> mac{};
    for (int i = 0; i < 6; ++i) {
        const auto b = parseByte(parts[i], 16, 2);
        if (!b)
            return std::nullopt;
        mac[i] = *b;
    }
    return mac;
}

std::optional<PanelAddress> PanelAddress::parse(const QString &macText, const QString &ipText)
{
    const auto mac = parseMac(macText);
    const auto ip = parseIp(ipText);
    if (!mac || !ip)
        return std::nullopt;
    PanelAddress a;
    a.mac = *mac;
    a.ip = *ip;
    a.macAnnounced = macText;
    a.ipAnnounced = ipText;
    return a;
}

QString PanelAddress::ipText() const
{
    return QStringLiteral("%1.%2.%3.%4").arg(ip[0]).arg(ip[1]).arg(ip[2]).arg(ip[3]);
}

QString PanelAddress::hostText(int host) const
{
    return QStringLiteral("%1.%2.%3.%4").arg(ip[0]).arg(ip[1]).arg(ip[2]).arg(host);
}

QString PanelAddress::macText(const QString &separator) const
{
    QStringList parts;
    for (quint8 b : mac)
        parts << QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(separator);
}

QString PanelAddress::announcedHostText(int host) const
{
    const QStringList parts = ipAnnounced.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return hostText(host);
    return QStringLiteral("%1.%2.%3.%4").arg(parts[0], parts[1], parts[2], QString::number(host));
}

QString PanelAddress::announcedMacDigits() const
{
    const QStringList parts = macAnnounced.split(QLatin1Char(':'));
    if (parts.size() != 6)
        return macText(QString());
    QString digits;
    for (const QString &part : parts)
        digits += part.rightJustified(2, QLatin1Char('0'));
    return digits;
}
