#include "app/Startup.h"

#include "base/AppDir.h"
#include "window/PLCDownloadAssistant.h"
#include "window/SnText.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTextStream>

const char *const kUsage =
    "Usage: talvo-hmi-tunnel [SN [... LANGUAGE]]\n"
    "\n"
    "Opens the Talvo-HMI tunnel window, which reaches an HMI panel by its serial number.\n"
    "\n"
    "  SN        the panel to preselect; it also becomes the current SN of any other\n"
    "            running window of the tool (cursel.dat)\n"
    "  LANGUAGE  with three or more entries on the command line (program name included)\n"
    "            the last one picks the language: anything beginning with \"en\" (any case)\n"
    "            is English, anything else Chinese; with fewer, ../setting_vpn.ini decides\n"
    "  -h, --help  this text\n"
    "\n"
    "Data files (snlist.dat, cursel.dat, log_forPcap.txt) live beside the executable, or in\n"
    "$XDG_DATA_HOME/talvo-hmi-tunnel/app (~/.local/share/...) when that folder is not\n"
    "writable.\n";

QStringList readSnList(const QString &dir)
{
    QStringList list;
    QFile file(dir + QStringLiteral("/snlist.dat"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return list;
    QTextStream in(&file);
    while (!in.atEnd())
        list.append(in.readLine());
    file.close();
    return list;
}

int chooseLanguage(const QStringList &args, const QString &appDir)
{
    if (args.size() >= 3) {
        if (args.last().startsWith(QLatin1String("en"), Qt::CaseInsensitive)) {
            qDebug() << "w.change  English";
            return 0;
        }
        qDebug() << "w.change  chinese";
        return 1;
    }
    QDir parent(appDir);
    if (!parent.cdUp())
        return 1;
    QSettings settings(parent.filePath(QStringLiteral("setting_vpn.ini")), QSettings::IniFormat);
    const QString language = settings.value(QStringLiteral("Setting/language")).toString();
    qDebug() << "strLanguage === " << language;
    return language.contains(QLatin1String("cn"), Qt::CaseInsensitive) ? 1 : 0;
}

void prepareWindow(PLCDownloadAssistant &window, const QStringList &args)
{
    const QString dir = AppDir::path();
    const QStringList snList = readSnList(dir);
    if (!snList.isEmpty()) {
        window.setSnList(snList);
        window.initSnCompleter();
    }
    qDebug() << "argList === " << args;
    window.changeLanguage(chooseLanguage(args, dir));
    if (args.size() >= 2)
        window.setStrSn(snWithoutControls(args.at(1)));
}
