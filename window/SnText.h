#pragma once

#include <QString>

// An SN that arrives from outside the window (command line, hand-over file) without the
// control characters that would break the one-line hand-over file or the SN box.
QString snWithoutControls(const QString &sn);
