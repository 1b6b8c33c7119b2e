#include "bridge/TapRegistry.h"

QString TapRegistry::classKey()
{
    return QStringLiteral(
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}");
}

QString TapRegistry::networkKey()
{
    return QStringLiteral(
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}");
}

QString TapRegistry::tapDescription()
{
    return QStringLiteral("TAP-Windows Adapter V9");
}

QString TapRegistry::pcapProtocol()
{
    return QStringLiteral("Win10Pcap");
}

namespace {
const char kDriverDesc[] = "DriverDesc";
const char kInstanceId[] = "NetCfgInstanceId";
}

TapRegistry::TapRegistry(SettingsFactory open)
    : m_open(std::move(open))
{
}

// Visits the class key's subkeys in the registry's order; visit returns true to stop.
template<typename Visit>
void TapRegistry::forEachAdapter(Visit visit) const
{
    const std::unique_ptr<QSettings> key = m_open(classKey());
    if (!key)
        return;
    const QStringList subkeys = key->childGroups();
    for (int i = 0; i < subkeys.size(); ++i) {
        key->beginGroup(subkeys[i]);
        const bool stop = visit(*key, subkeys[i], i);
        key->endGroup();
        if (stop)
            return;
    }
}

static bool isTap(const QSettings &key)
{
    return key.contains(QLatin1String(kDriverDesc)) && key.value(QLatin1String(kDriverDesc)).toString() == TapRegistry::tapDescription();
}

bool TapRegistry::hasTapAdapter() const
{
    return firstTapAdapter().has_value();
}

bool TapRegistry::hasPcapBinding() const
{
    bool found = false;
    forEachAdapter([&](QSettings &key, const QString &, int) {
        key.beginGroup(QStringLiteral("Linkage"));
        if (key.contains(QStringLiteral("UpperBind")))
            found = key.value(QStringLiteral("UpperBind")).toStringList().contains(pcapProtocol());
        key.endGroup();
        return found;
    });
    return found;
}

std::optional<TapRegistry::Adapter> TapRegistry::firstTapAdapter() const
{
    std::optional<Adapter> adapter;
    forEachAdapter([&](QSettings &key, const QString &subkey, int position) {
        if (isTap(key))
            adapter = Adapter{subkey, position};
        return adapter.has_value();
    });
    return adapter;
}

QString TapRegistry::firstTapInstanceId() const
{
    QString id;
    bool found = false;
    forEachAdapter([&](QSettings &key, const QString &, int) {
        found = isTap(key) && key.contains(QLatin1String(kInstanceId));
        if (found)
            id = key.value(QLatin1String(kInstanceId)).toString();
        return found;
    });
    return id;
}

QString TapRegistry::instanceId(const Adapter &adapter) const
{
    const std::unique_ptr<QSettings> key = m_open(classKey() + QLatin1Char('\\') + adapter.subkey);
    return key ? key->value(QLatin1String(kInstanceId), QString()).toString() : QString();
}

QString TapRegistry::connectionName(const QString &instanceId) const
{
    const std::unique_ptr<QSettings> key =
        m_open(networkKey() + QLatin1Char('\\') + instanceId + QStringLiteral("\\Connection"));
    return key ? key->value(QStringLiteral("Name"), QString()).toString() : QString();
}

bool TapRegistry::writeMacAndMediaStatus(const Adapter &adapter, const QString &mac) const
{
    const std::unique_ptr<QSettings> key = m_open(classKey() + QLatin1Char('\\') + adapter.subkey);
    if (!key)
        return false;
    key->setValue(QStringLiteral("MAC"), mac);
    key->setValue(QStringLiteral("MediaStatus"), QStringLiteral("1"));
    key->sync();
    return key->status() == QSettings::NoError;
}
