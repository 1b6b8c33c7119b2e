#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QStringList>

#include <memory>

// The bridge adapter opened for capture and injection. On Windows the capture driver is
// used directly; on Linux a small privileged helper process does it, so that the tool
// itself holds no capabilities.
class CaptureDevice
{
public:
    virtual ~CaptureDevice() = default;

    // Snapshot 65536 bytes, promiscuous, inbound frames only, the given read timeout and
    // capture filter (empty: none). Null on failure, with the reason in *error.
    static std::unique_ptr<CaptureDevice> open(const QString &name, const QString &filter,
                                               int readTimeoutMs, QString *error);
    // The names and descriptions of the devices that can be captured on, or an error.
    static bool list(QList<QPair<QString, QString>> *devices, QString *error);
    // Why nothing can be captured on this machine at all (on Windows: the capture library
    // wpcap.dll, loaded at run time, is missing or incomplete); empty when capturing can be
    // tried.
    static QString libraryProblem();

    // Waits at most timeoutMs for a frame, so that a stop request is seen within that time
    // even while the adapter is silent. True when a read should be tried.
    virtual bool waitForFrame(int timeoutMs) = 0;
    // 1: a frame in *data/*length, valid until the next read; 0: none yet; -1: the device
    // failed (errorText says why).
    virtual int read(const unsigned char **data, int *length) = 0;
    virtual bool inject(const unsigned char *data, int length) = 0;
    // Several frames in order; where the device can, in one system call.
    virtual void injectAll(const QVector<QByteArray> &frames)
    {
        for (const QByteArray &frame : frames)
            inject(reinterpret_cast<const unsigned char *>(frame.constData()), frame.size());
    }
    virtual QString errorText() const = 0;
};
