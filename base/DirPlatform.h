#pragma once

#include <QString>

// What differs between Windows and Linux for the tool's data folder. Neither says anything
// on any channel: the log handler asks while it holds its lock.
namespace DirPlatform {

// Whether the current user may create files in dir.
bool isWritable(const QString &dir);

// The per-user stand-in for an executable's folder that cannot be written. It keeps the
// layout of an executable in a folder of its own, so that "../setting_vpn.ini" still lands
// inside the tool's folder and not in the shared data folder of every program.
QString perUserDir();

} // namespace DirPlatform
