#include "devices/VirtualPortsPlatform.h"

namespace VirtualPortsPlatform {

// The system's library search starts in the application's directory, where the driver's
// installer leaves the control library.
QStringList libraryNames()
{
    return {QStringLiteral("vspdctl")};
}

QString portLocation(const QString &port)
{
    return port;
}

} // namespace VirtualPortsPlatform
