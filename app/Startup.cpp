#include "app/Startup.h"

#include "app/AppDir.h"
#include "window/PLCDownloadAssistant.h"
#include "window/SnText.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTextStream>

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
