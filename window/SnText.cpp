#include "window/SnText.h"

QString snWithoutControls(const QString &sn)
{
    QString clean;
    clean.reserve(sn.size());
    for (const QChar c : sn) {
        if (c.category() != QChar::Other_Control)
            clean.append(c);
    }
    return clean;
}
