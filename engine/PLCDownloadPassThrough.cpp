#include "engine/PLCDownloadPassThrough.h"

PLCDownloadPassThrough::PLCDownloadPassThrough(QObject *parent)
    : QObject(parent)
{
}
