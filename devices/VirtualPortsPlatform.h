#pragma once

#include <QString>
#include <QStringList>

// What differs between Windows and Linux for the virtual port pairs.
namespace VirtualPortsPlatform {

// File names to hand to QLibrary, tried in order until one loads.
QStringList libraryNames();

QString portLocation(const QString &port);

} // namespace VirtualPortsPlatform
