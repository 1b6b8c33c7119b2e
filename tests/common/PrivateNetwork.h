#pragma once

#include <QString>

// Moves the calling process into a network namespace of its own with only a loopback
// interface, so a test may listen on the tool's fixed ports without meeting anything else
// on the machine. Must run before the process starts any thread. Returns why that was
// impossible, or an empty string.
QString enterPrivateNetwork();

// The same, for tests that make interfaces: root only, and with /sys mounted again inside
// a mount namespace of its own, so that sysfs shows this namespace's interfaces.
QString enterPrivateNetworkWithSysfs();
