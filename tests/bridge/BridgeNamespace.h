#pragma once

// Tests that create interfaces, capture or inject run in a network namespace of their own,
// with /sys mounted again so that sysfs shows that namespace's interfaces.
#include "PrivateNetwork.h"
#include "Shell.h"

#include <QCoreApplication>
#include <QtTest>
