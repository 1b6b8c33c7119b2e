// Figures of the window's channels through a real relay and panel agent on loopback, in a
// network of its own for the fixed ports (run as root):
//  - time from pressing Start to DeviceReady for "eth0", the tunnel already running;
//  - a 10 MB transfer through the HMI channel (127.0.0.1:12345) to an echo service behind
//    the agent, checked byte for byte, and its throughput.
//   bin/channel_bench [ROUNDS]      (default 20)
#include "FakeBridge.h"
#include "FakeWait.h"
#include "TunnelFixture.h"
#include "base/AppDir.h"
#include "window/PLCDownloadAssistant.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

template <typename T> T *child(QWidget &w, const char *name) { return w.findChild<T *>(QLatin1String(name)); }

void press(PLCDownloadAssistant &w, const char *type)
{
    child<QComboBox>(w, "comboBox_pcap")->setCurrentText(type);
    QTest::mouseClick(child<QPushButton>(w, "pushButtonCreateChannel"), Qt::LeftButton);
}

void close(PLCDownloadAssistant &w)
{
    QTest::mouseClick(child<QPushButton>(w, "pushButtonDisConnectChannel"), Qt::LeftButton);
}

bool ready(PLCDownloadAssistant &w)
{
    return child<QPushButton>(w, "pushButtonCreateChannel")->text() == QLatin1String("Success");
}

// The service behind the agent echoes on a thread of its own, so that the figure is the
// channel's and not this process's event loop's.
class ThreadEcho
{
public:
    ThreadEcho()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::listen(m_listen, 4);
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] {
            const int c = ::accept(m_listen, nullptr, nullptr);
            char buf[1 << 16];
            for (ssize_t n; c >= 0 && (n = ::read(c, buf, sizeof buf)) > 0;)
                for (ssize_t off = 0, w; off < n; off += w)
                    if ((w = ::write(c, buf + off, size_t(n - off))) <= 0)
                        return;
            if (c >= 0)
                ::close(c);
        });
    }
    ~ThreadEcho()
    {
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_thread.detach();
    }
    quint16 port() const { return m_port; }

private:
    int m_listen = -1;
    quint16 m_port = 0;
    std::thread m_thread;
};

} // namespace

int main(int argc, char *argv[])
{
    const QString why = enterPrivateNetwork();
    if (!why.isEmpty()) {
        std::fprintf(stderr, "channel_bench: %s\n", qPrintable(why));
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 20;

    QTemporaryDir dir;
    AppDir::setOverride(dir.path());
    QDir::setCurrent(dir.path());
    RelayFixture relay(dir.path());
    ThreadEcho echo;
    ToolProcess agent;
    if (!relay.start() || !agent.start(kPanelBinary, writePanelConfig(dir.path(), "panel.ini", "SN1", "secret-1", relay.port(),
                                                                      relay.fingerprint(),
                                                                      {QStringLiteral("127.0.0.1:12345=127.0.0.1:%1")
                                                                           .arg(echo.port()),
                                                                       "[passthrough]", "announce-mac=02:54:56:00:04:12",
                                                                       "announce-ip=192.168.1.20"}))
        || !agent.waitForOutput("registered")) {
        std::fprintf(stderr, "channel_bench: relay or agent did not start\n");
        return 1;
    }
    writeTunnelConfig(dir.filePath("demoTunnel.cfg"), relay.port(), relay.fingerprint(), "token-a");

    BridgeLog log;
    QScopedPointer<PCapOperator> bridge(makeFakeBridge(&log, nullptr));
    FakeWait wait;
    PLCDownloadAssistant w;
    w.setBridge(bridge.data());
    w.setEventWait(&wait);
    w.changeLanguage(0);
    child<QLineEdit>(w, "lineEditDeviceSn")->setText("SN1");

    // HMI first: it starts the tunnel, so every eth0 round finds it running.
    press(w, "HMI");
    if (!ready(w)) {
        std::fprintf(stderr, "channel_bench: the HMI channel did not open\n");
        return 1;
    }
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, 12345);
    if (!client.waitForConnected(5000))
        return 1;
    QByteArray sent(10 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < sent.size(); ++i)
        sent[i] = char((i * 131) ^ (i >> 11));
    QElapsedTimer transfer;
    transfer.start();
    QByteArray got;
    got.reserve(sent.size());
    QEventLoop loop;
    QObject::connect(&client, &QTcpSocket::readyRead, &loop, [&] {
        got += client.readAll();
        if (got.size() >= sent.size())
            loop.quit();
    });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    client.write(sent);
    loop.exec();
    const double seconds = transfer.nsecsElapsed() / 1e9;
    std::printf("HMI channel: 10 MB to an echo service behind the agent and back, %s, %.2f s, "
                "%.1f MB/s each way\n",
                got == sent ? "intact" : "CORRUPTED", seconds, 10.0 / seconds);
    client.close();
    close(w);

    QVector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer t;
        t.start();
        press(w, "eth0");
        if (!QTest::qWaitFor([&] { return ready(w); }, 10000)) {
            std::fprintf(stderr, "channel_bench: eth0 round %d never became ready\n", i);
            return 1;
        }
        ms << t.nsecsElapsed() / 1e6;
        close(w);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("eth0: Start to DeviceReady, tunnel running: median %.1f ms, worst %.1f ms over %d rounds\n",
                ms[ms.size() / 2], ms.last(), rounds);
    return 0;
}
