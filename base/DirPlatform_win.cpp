#include "base/DirPlatform.h"

#include <QDir>

#include <windows.h>

namespace DirPlatform {

// access() on Windows reads only the read-only attribute, which a folder under Program
// Files does not carry although a user may not write there: only trying tells. The probe
// file is gone when its handle closes.
bool isWritable(const QString &dir)
{
    const QString probe = QDir::toNativeSeparators(
        dir + QStringLiteral("/.talvo-write-probe-%1").arg(GetCurrentProcessId()));
    const HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(probe.utf16()), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

QString perUserDir()
{
    const QString local = qEnvironmentVariable("LOCALAPPDATA");
    const QString base = local.isEmpty() ? qEnvironmentVariable("APPDATA") : local;
    return QDir::fromNativeSeparators(base) + QStringLiteral("/talvo-hmi-tunnel/app");
}

} // namespace DirPlatform
