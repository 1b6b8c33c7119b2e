#pragma once

#include <QString>

// Pairs of joined virtual serial ports, made by the serial port driver's control library
// "vspdctl", which is loaded at run time and looked up again on every call. No state, no
// instances: the pairs live in the driver.
class VirtualPortsManager
{
public:
    VirtualPortsManager() = delete;

    // Both log a warning and return false when the library or its export is missing, with
    // the reason in *error when given; otherwise they return the library's answer.
    static bool createPair(const QString &first, const QString &second, QString *error = nullptr);
    static bool deletePair(const QString &port, QString *error = nullptr);

    // Where a port of a pair is opened, e.g. with QSerialPort: the COM name itself on
    // Windows, the published path on Linux.
    static QString portLocation(const QString &port);
};
