#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <unistd.h>

// How often `needle` occurs in the writable memory of process `pid` (heap, stacks, anonymous
// mappings): where a process keeps what it received. Read through /proc, which a parent may
// do for its children. Mappings of more than 4 GiB are reservations, not data (a sanitizer's
// shadow memory spans terabytes) and are passed over.
inline int countInMemory(qint64 pid, const QByteArray &needle)
{
    QFile maps(QString("/proc/%1/maps").arg(pid));
    if (!maps.open(QIODevice::ReadOnly))
        return -1;
    const int mem = ::open(QString("/proc/%1/mem").arg(pid).toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    if (mem < 0)
        return -1;
    int hits = 0;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 2 || !f[1].startsWith("rw"))
            continue;
        const QList<QByteArray> range = f[0].split('-');
        const quint64 from = range.value(0).toULongLong(nullptr, 16), to = range.value(1).toULongLong(nullptr, 16);
        if (to - from > (quint64(4) << 30))
            continue;
        QByteArray chunk;
        for (quint64 at = from; at < to;) {
            const quint64 size = qMin<quint64>(to - at, 1 << 20);
            // Overlap by the needle's length so that a match across two reads counts.
            chunk.resize(int(size));
            const auto got = ::pread(mem, chunk.data(), size, off_t(at));
            if (got <= 0)
                break;
            chunk.resize(int(got));
            for (int i = chunk.indexOf(needle); i >= 0; i = chunk.indexOf(needle, i + 1))
                ++hits;
            at += quint64(got) > quint64(needle.size()) ? quint64(got) - quint64(needle.size()) + 1 : quint64(got);
        }
    }
    ::close(mem);
    return hits;
}
