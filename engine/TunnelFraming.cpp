#include "engine/TunnelFraming.h"

#include <QList>

namespace TunnelFraming {

const QByteArray kDisconnect = QByteArrayLiteral("PLC#disconnect");
const QByteArray kMacIpPrefix = QByteArrayLiteral("PCPMACIP#");
const QByteArray kFrameStart = QByteArrayLiteral("PCP#");
const QByteArray kFrameEnd = QByteArrayLiteral("END#");

namespace {
const QByteArray kPortTag = QByteArrayLiteral("COM#");
const QByteArray kPortRefused = QByteArrayLiteral("COM#NULL");
const QByteArray kDataTag = QByteArrayLiteral("PLC#");
constexpr int kShortestAcceptance = 13;

QByteArray upToNul(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}
} // namespace

QByteArray portAnnouncement(const QString &comPort)
{
    return kPortTag + comPort.toLatin1();
}

QByteArray modeAnnouncement(const QString &pcapDevice)
{
    return QByteArrayLiteral("COM#PCAP#") + pcapDevice.toLocal8Bit();
}

QByteArray serialDataFrame(const QByteArray &data)
{
    const quint16 count = quint16(data.size());
    return QStringLiteral("PLC#SK01%1").arg(count, 4, 16, QLatin1Char('0')).toLocal8Bit() + data;
}

QByteArray serialDataFrames(const QByteArray &data)
{
    if (data.size() <= kMaxSerialChunk)
        return serialDataFrame(data);
    QByteArray frames;
    for (int at = 0; at < data.size(); at += kMaxSerialChunk)
        frames += serialDataFrame(data.mid(at, kMaxSerialChunk));
    return frames;
}

QByteArray ethernetEnvelope(const QByteArray &frame)
{
    return kFrameStart + frame + kFrameEnd;
}

MacIpAnnouncement parseMacIpAnnouncement(const QByteArray &read)
{
    MacIpAnnouncement result;
    if (!read.startsWith(kMacIpPrefix))
        return result;
    result.recognised = true;
    const QList<QByteArray> parts = upToNul(read).split('#');
    if (parts.size() >= 3) {
        result.complete = true;
        result.mac = QString::fromLatin1(parts.at(1));
        result.ip = QString::fromLatin1(parts.at(2));
    }
    return result;
}

SerialRead classifySerialRead(const QByteArray &read, bool portAnswered)
{
    SerialRead result;
    if (!portAnswered && read.contains(kPortTag)) {
        if (read.contains(kPortRefused)) {
            result.kind = SerialRead::PortRefused;
        } else if (read.size() >= kShortestAcceptance) {
            result.kind = SerialRead::PortAccepted;
            result.text = QString::fromLatin1(upToNul(read));
        } else {
            result.kind = SerialRead::PortReplyShort;
        }
        return result;
    }
    const int tag = read.lastIndexOf(kDataTag);
    result.data = tag < 0 ? read : read.mid(tag + kDataTag.size());
    return result;
}

} // namespace TunnelFraming
