#pragma once

#include <QStringList>

class PLCDownloadAssistant;

// What --help (or -h) prints; the tool then ends without building a window.
extern const char *const kUsage;

// Known SNs from snlist.dat in dir, one per line as written; empty when unreadable.
QStringList readSnList(const QString &dir);

// Language code for the argument list (program name first): 0 English, 1 Chinese.
// With three or more entries the last one decides; otherwise setting_vpn.ini in the
// parent of appDir does.
int chooseLanguage(const QStringList &args, const QString &appDir);

// Everything start-up does to the window between building it and showing it: SN list,
// language, and the SN given on the command line.
void prepareWindow(PLCDownloadAssistant &window, const QStringList &args);
