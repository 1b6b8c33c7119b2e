#include "devices/VirtualPortsManager.h"

#include "devices/VirtualPortsPlatform.h"

#include <QLibrary>
#include <QStringList>
#include <QtGlobal>

namespace {

using CreatePairFunction = bool (*)(const char *first, const char *second);
using DeletePairFunction = bool (*)(const char *port);

// The library stays loaded once found: QLibrary does not unload on destruction.
QFunctionPointer resolve(const char *symbol, QString *error)
{
    QStringList failures;
    for (const QString &name : VirtualPortsPlatform::libraryNames()) {
        QLibrary library(name);
        if (library.load()) {
            const QFunctionPointer function = library.resolve(symbol);
            if (!function && error)
                *error = QStringLiteral("%1 has no function %2").arg(library.fileName(), QLatin1String(symbol));
            return function;
        }
        failures << library.errorString();
    }
    if (error)
        *error = QStringLiteral("the virtual serial port library (vspdctl) is missing: %1")
                     .arg(failures.join(QStringLiteral("; ")));
    return nullptr;
}

} // namespace

bool VirtualPortsManager::createPair(const QString &first, const QString &second, QString *error)
{
    const QByteArray a = first.toUtf8();
    const QByteArray b = second.toUtf8();
    const auto create = reinterpret_cast<CreatePairFunction>(resolve("CreatePair", error));
    if (!create) {
        qWarning("VirtualPortsManager::createPair: Failed to resove function CreatePair");
        return false;
    }
    if (create(a.constData(), b.constData()))
        return true;
    // Libraries older than LastPairError give no reason; the bare failure has to do then.
    if (error) {
        using LastErrorFunction = const char *(*)();
        const auto lastError = reinterpret_cast<LastErrorFunction>(resolve("LastPairError", nullptr));
        const char *why = lastError ? lastError() : nullptr;
        *error = QStringLiteral("the pair %1/%2 could not be made: %3")
                     .arg(first, second, why && *why ? QString::fromLocal8Bit(why) : QStringLiteral("no reason given"));
    }
    return false;
}

bool VirtualPortsManager::deletePair(const QString &port, QString *error)
{
    const QByteArray name = port.toUtf8();
    const auto remove = reinterpret_cast<DeletePairFunction>(resolve("DeletePair", error));
    if (!remove) {
        qWarning("VirtualPortsManager::deletePair: Failed to resove function DeletePair");
        return false;
    }
    return remove(name.constData());
}

QString VirtualPortsManager::portLocation(const QString &port)
{
    return VirtualPortsPlatform::portLocation(port);
}
