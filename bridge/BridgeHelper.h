#pragma once

#include <QString>

// Where the tool finds its privileged bridge helper on Linux: beside its executable, like
// every other file it uses.
namespace BridgeHelper {
QString path();
}
