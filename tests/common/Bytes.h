#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QRandomGenerator>
#include <QtTest>

// Bytes of every value in no order a framing or a line discipline could make sense of; the
// same for the same seed, so that a failure can be run again. Two streams that must not be
// mixed up get different seeds.
inline QByteArray randomBytes(int size, quint32 seed = 1)
{
    QByteArray bytes((size + 3) / 4 * 4, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    bytes.resize(size);
    return bytes;
}

// What a socket or port of the test's thread delivers, read with the event loop running until
// n bytes came or ms passed.
inline QByteArray readAtLeast(QIODevice &device, int n, int ms = 20000)
{
    QByteArray got;
    (void)QTest::qWaitFor([&] { got += device.readAll(); return got.size() >= n; }, ms);
    return got;
}
