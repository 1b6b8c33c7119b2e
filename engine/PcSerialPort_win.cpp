#include "engine/PcSerialPort.h"

#include <QDebug>
#include <QTimer>
#include <QWinEventNotifier>

#include <windows.h>

namespace {
// One read asks for at most this much; a read completes with whatever has arrived.
constexpr DWORD kReadChunk = 4096;
// A read ends once the line has been quiet this long after a byte.
constexpr DWORD kQuietLineMs = 10;
// A read that completes empty is tried again after this pause, so that a driver which
// ends reads without data cannot turn the read loop into a spin.
constexpr int kEmptyReadPauseMs = 20;

QString systemMessage(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString message = length ? QString::fromWCharArray(text, int(length)).trimmed()
                             : QStringLiteral("system error");
    if (text)
        LocalFree(text);
    return QStringLiteral("%1 (%2)").arg(message).arg(code);
}

// A COM port with overlapped reads and writes. Each direction has one operation in flight
// at most, and its event is watched by a QWinEventNotifier, so completions arrive through
// the event loop of the thread that owns the port: no thread, no polling.
class WinComPort : public PcSerialPort
{
public:
    WinComPort(const QString &name, QObject *parent)
        : PcSerialPort(parent)
        , m_name(name)
        , m_chunk(int(kReadChunk), '\0')
    {
    }
    ~WinComPort() override { WinComPort::close(); }

    bool open(OpenMode mode) override
    {
        if (isOpen())
            return false;
        // Only the \\.\ form reaches COM10 and above.
        const QString path = m_name.startsWith(QLatin1String("\\\\.\\")) ? m_name : QStringLiteral("\\\\.\\") + m_name;
        m_handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (m_handle == INVALID_HANDLE_VALUE)
            return fail("open");

        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(m_handle, &dcb))
            return fail("read the line settings of");
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
        if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
        if (!SetCommState(m_handle, &dcb))
            return fail("set the line settings of");

        // A read waits without limit for its first byte and ends when the line has been quiet
        // for a moment after the last one (or the chunk is full). Wine does not honour the
        // "return on the first byte" form of the time-outs; this one works on both. Writes
        // never time out.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = kQuietLineMs;
        if (!SetCommTimeouts(m_handle, &timeouts))
            return fail("set the time-outs of");

        m_read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!m_read.hEvent || !m_write.hEvent)
            return fail("make the events for");
        m_readDone = new QWinEventNotifier(m_read.hEvent, this);
        m_writeDone = new QWinEventNotifier(m_write.hEvent, this);
        QObject::connect(m_readDone, &QWinEventNotifier::activated, this, [this] { readDone(); });
        QObject::connect(m_writeDone, &QWinEventNotifier::activated, this, [this] { writeDone(); });

        QIODevice::open(mode | Unbuffered);
        setErrorString(QString());
        if (mode & ReadOnly)
            startRead();
        return true;
    }

    void close() override
    {
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        // The driver writes into the OVERLAPPED records and the read buffer until each
        // operation has ended: cancel and wait for both before anything is freed.
        CancelIo(m_handle);
        DWORD ignored = 0;
        if (m_reading)
            GetOverlappedResult(m_handle, &m_read, &ignored, TRUE);
        if (m_writing)
            GetOverlappedResult(m_handle, &m_write, &ignored, TRUE);
        m_reading = m_writing = false;
        delete m_readDone;
        delete m_writeDone;
        m_readDone = m_writeDone = nullptr;
        for (OVERLAPPED *o : {&m_read, &m_write}) {
            if (o->hEvent)
                CloseHandle(o->hEvent);
            *o = OVERLAPPED{};
        }
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        m_received.clear();
        m_toSend.clear();
        if (isOpen())
            QIODevice::close();
    }

    QString portName() const override { return m_name; }

    bool flush() override
    {
        if (!m_writing && !m_toSend.isEmpty())
            startWrite();
        return m_writing;
    }

    qint64 bytesAvailable() const override { return m_received.size() + QIODevice::bytesAvailable(); }
    qint64 bytesToWrite() const override { return m_toSend.size(); }

    bool waitForReadyRead(int msecs) override
    {
        if (!m_reading || WaitForSingleObject(m_read.hEvent, DWORD(msecs < 0 ? INFINITE : msecs)) != WAIT_OBJECT_0)
            return false;
        const qint64 before = m_received.size();
        readDone();
        return m_received.size() > before;
    }

    bool waitForBytesWritten(int msecs) override
    {
        if (!m_writing || WaitForSingleObject(m_write.hEvent, DWORD(msecs < 0 ? INFINITE : msecs)) != WAIT_OBJECT_0)
            return false;
        writeDone();
        return true;
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const int n = int(qMin<qint64>(maxSize, m_received.size()));
        memcpy(data, m_received.constData(), size_t(n));
        m_received.remove(0, n);
        return n;
    }

    qint64 writeData(const char *data, qint64 size) override
    {
        if (m_handle == INVALID_HANDLE_VALUE)
            return -1;
        m_toSend.append(data, int(size));
        if (!m_writing)
            startWrite();
        return size;
    }

private:
    bool fail(const char *what)
    {
        const DWORD code = GetLastError();
        const QString why = QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(what), m_name, systemMessage(code));
        close();
        setErrorString(why);
        return false;
    }

    // Ends the port's traffic in one direction without closing it: the operator sees the
    // reason in the log, and the channel's own time-outs take it from there.
    void broken(const char *what, DWORD code)
    {
        setErrorString(QStringLiteral("%1 on %2 failed: %3").arg(QLatin1String(what), m_name, systemMessage(code)));
        qWarning().noquote() << "PcSerialPort:" << errorString();
    }

    void startRead()
    {
        if (m_reading || m_handle == INVALID_HANDLE_VALUE)
            return;
        // Completed at once or pending, the event is set when the read is done.
        if (!ReadFile(m_handle, m_chunk.data(), kReadChunk, nullptr, &m_read) && GetLastError() != ERROR_IO_PENDING) {
            broken("read", GetLastError());
            return;
        }
        m_reading = true;
    }

    void readDone()
    {
        if (!m_reading)
            return;
        DWORD got = 0;
        if (!GetOverlappedResult(m_handle, &m_read, &got, FALSE)) {
            const DWORD code = GetLastError();
            if (code == ERROR_IO_INCOMPLETE)
                return;
            m_reading = false;
            ResetEvent(m_read.hEvent);
            if (code != ERROR_OPERATION_ABORTED)
                broken("read", code);
            return;
        }
        m_reading = false;
        ResetEvent(m_read.hEvent);
        if (got == 0) {
            QTimer::singleShot(kEmptyReadPauseMs, this, [this] { startRead(); });
            return;
        }
        m_received.append(m_chunk.constData(), int(got));
        // The reader may close the port from its slot: read again only while it is open.
        startRead();
        emit readyRead();
    }

    void startWrite()
    {
        if (m_writing || m_toSend.isEmpty() || m_handle == INVALID_HANDLE_VALUE)
            return;
        m_sending = m_toSend; // stays untouched, wherever m_toSend goes, until the write ends
        if (!WriteFile(m_handle, m_sending.constData(), DWORD(m_sending.size()), nullptr, &m_write)
            && GetLastError() != ERROR_IO_PENDING) {
            broken("write", GetLastError());
            m_toSend.clear();
            return;
        }
        m_writing = true;
    }

    void writeDone()
    {
        if (!m_writing)
            return;
        DWORD sent = 0;
        const bool ok = GetOverlappedResult(m_handle, &m_write, &sent, FALSE);
        const DWORD code = ok ? 0 : GetLastError();
        if (!ok && code == ERROR_IO_INCOMPLETE)
            return;
        m_writing = false;
        ResetEvent(m_write.hEvent);
        if (!ok) {
            if (code != ERROR_OPERATION_ABORTED)
                broken("write", code);
            m_toSend.clear();
            return;
        }
        m_toSend.remove(0, int(sent));
        startWrite();
        if (sent)
            emit bytesWritten(qint64(sent));
    }

    QString m_name;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    OVERLAPPED m_read{};
    OVERLAPPED m_write{};
    QWinEventNotifier *m_readDone = nullptr;
    QWinEventNotifier *m_writeDone = nullptr;
    bool m_reading = false;
    bool m_writing = false;
    QByteArray m_chunk;    // the read in flight writes here
    QByteArray m_received; // read, not yet taken
    QByteArray m_toSend;   // written, not yet confirmed sent
    QByteArray m_sending;  // the bytes of the write in flight
};
} // namespace

PcSerialPort *PcSerialPort::create(const QString &location, QObject *parent)
{
    return new WinComPort(location, parent);
}
