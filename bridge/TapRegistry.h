#pragma once

#include <QSettings>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The TAP-Windows adapter's entries in the registry. The keys are opened through a
// factory: natively on Windows, and in tests from an INI file laid out like the keys.
class TapRegistry
{
public:
    // Opens the key at a registry path written with backslashes.
    using SettingsFactory = std::function<std::unique_ptr<QSettings>(const QString &path)>;

    static QString classKey();
    static QString networkKey();
    static QString tapDescription(); // "DriverDesc" of a TAP-Windows adapter
    static QString pcapProtocol();   // in "UpperBind" when Win10Pcap is bound

    struct Adapter
    {
        QString subkey;
        int position = 0; // in the registry's own listing of the class key
    };

    explicit TapRegistry(SettingsFactory open);

    bool hasTapAdapter() const;
    bool hasPcapBinding() const;
    // The first TAP adapter in the registry's order, whether it has an instance id or not.
    std::optional<Adapter> firstTapAdapter() const;
    // The instance id of the first TAP adapter that has one; empty when none has.
    QString firstTapInstanceId() const;
    QString instanceId(const Adapter &adapter) const;
    QString connectionName(const QString &instanceId) const;
    // The driver reads both when the adapter is enabled, so they are flushed here, before
    // the enable command runs. False when the registry refused the write.
    bool writeMacAndMediaStatus(const Adapter &adapter, const QString &mac) const;

private:
    template<typename Visit>
    void forEachAdapter(Visit visit) const;

    SettingsFactory m_open;
};
