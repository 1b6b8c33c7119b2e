#include "bridge/BridgeAdapter.h"

#include "bridge/CaptureDevice.h"
#include "bridge/WindowsTapAdapter.h"

std::unique_ptr<BridgeAdapter> BridgeAdapter::create()
{
    return std::make_unique<WindowsTapAdapter>(
        [](const QString &path) { return std::make_unique<QSettings>(path, QSettings::NativeFormat); },
        &CaptureDevice::libraryProblem);
}
