// Guards the Windows COM port behind the serial seam (overlapped reads and writes signalled
// through the event loop) by running it under Wine against a pseudo-terminal: bytes cross
// both ways whole and in order, through several reads and one large write, and a port that
// does not exist fails to open with the port and the system's reason named.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {
const QString kPeer = QStringLiteral(TALVO_WINDOWS_OUT "/comport_peer.exe");
const QString kWine = QStringLiteral("/usr/lib/wine/wine64");
constexpr int kWineTimeoutMs = 180000;

// A pseudo-terminal in raw mode: the test holds the master, Wine opens the slave's path.
struct Pty
{
    Pty()
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return;
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        path = QString::fromLocal8Bit(ttyname(slave));
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
    }
    int master = -1;
    int slave = -1;
    QString path;
};
} // namespace

class TestComPortWine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(kPeer), qPrintable(kPeer + " is missing: build the Windows tree first"));
        if (!QFile::exists(kWine))
            QSKIP("wine64 is not installed");
        // The prefix is made first, so that its port links can be added before the peer runs.
        QProcess boot;
        boot.setProcessEnvironment(environment());
        boot.start(kWine, {QStringLiteral("wineboot"), QStringLiteral("--init")});
        QVERIFY(boot.waitForFinished(kWineTimeoutMs));
        QVERIFY2(QFileInfo(m_prefix.filePath("dosdevices")).isDir(), "Wine made no prefix");
    }

    void bytesCrossBothWays()
    {
        Pty pty;
        QVERIFY(pty.master >= 0);
        QVERIFY(QFile::link(pty.path, m_prefix.filePath("dosdevices/com33")));
        QByteArray fromPeer;
        QSocketNotifier readable(pty.master, QSocketNotifier::Read);
        connect(&readable, &QSocketNotifier::activated, this, [&] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(pty.master, buffer, sizeof buffer)) > 0;)
                fromPeer.append(buffer, int(n));
        });

        // Larger than one read of the port, so that it takes several.
        QByteArray payload;
        for (int i = 0; i < 20000; ++i)
            payload.append(char(i * 7 + i / 256));
        QProcess peer;
        peer.setProcessEnvironment(environment());
        peer.start(kWine, {kPeer, QStringLiteral("COM33"), QString::number(payload.size())});
        QVERIFY(QTest::qWaitFor([&] { return fromPeer.startsWith("hello") || peer.state() == QProcess::NotRunning; },
                                kWineTimeoutMs));
        QVERIFY2(fromPeer == "hello", qPrintable(peer.readAllStandardOutput() + fromPeer));
        fromPeer.clear();

        // The terminal takes a few kilobytes at a time, as fast as the peer reads them.
        qsizetype sent = 0;
        QSocketNotifier writable(pty.master, QSocketNotifier::Write);
        connect(&writable, &QSocketNotifier::activated, this, [&] {
            const ssize_t n = ::write(pty.master, payload.constData() + sent, size_t(payload.size() - sent));
            if (n > 0)
                sent += n;
            if (sent == payload.size())
                writable.setEnabled(false);
        });
        QVERIFY(QTest::qWaitFor([&] { return fromPeer.size() >= payload.size() || peer.state() == QProcess::NotRunning; },
                                60000));
        QVERIFY(peer.state() == QProcess::NotRunning || peer.waitForFinished(60000));
        QVERIFY2(peer.exitStatus() == QProcess::NormalExit && peer.exitCode() == 0, qPrintable(peer.readAllStandardOutput()));
        QCOMPARE(fromPeer.size(), payload.size());
        QVERIFY(fromPeer == payload);
    }

    void missingPortIsNamed()
    {
        QProcess peer;
        peer.setProcessEnvironment(environment());
        peer.start(kWine, {kPeer, QStringLiteral("COM34"), QStringLiteral("1")});
        QVERIFY(peer.waitForFinished(kWineTimeoutMs));
        const QString said = QString::fromUtf8(peer.readAllStandardOutput()).trimmed();
        QCOMPARE(peer.exitCode(), 3);
        QVERIFY2(said.startsWith("cannot open COM34: ") && said.endsWith(")"), qPrintable(said));
    }

    void cleanupTestCase()
    {
        QProcess server;
        server.setProcessEnvironment(environment());
        server.start(QStringLiteral("/usr/lib/wine/wineserver64"), {QStringLiteral("-k")});
        server.waitForFinished(20000);
    }

private:
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("WINEPREFIX", m_prefix.path());
        env.insert("WINEDEBUG", "-all");
        env.insert("WINEDLLOVERRIDES", "mscoree,mshtml=");
        env.remove("DISPLAY");
        return env;
    }

    QTemporaryDir m_prefix;
};

QTEST_GUILESS_MAIN(TestComPortWine)
#include "tst_comport_wine.moc"
