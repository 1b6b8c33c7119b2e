// Guards the agent's Ethernet side against lost, cut or echoed frames, unbounded queues, spinning and bad input.
// On a real veth pair in a private network namespace: agent0 is the panel's port, plc0 the PLC's end.
#include "AgentLoop.h"
#include "Shell.h"
#include "TestWire.h"
#include "panel/EthernetSide.h"
#include "panel/PassThroughConfig.h"
#include "panel/PassThroughSession.h"
#include "wire/TcpStream.h"

#include <QScopeGuard>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

const QByteArray kPanelMac = QByteArray::fromHex("025456000412");
const QByteArray kPlcMac = QByteArray::fromHex("020000000005");
const QByteArray kOtherMac = QByteArray::fromHex("020000000099");
const QByteArray kBroadcast = QByteArray::fromHex("ffffffffffff");
constexpr quint16 kTestType = 0x88B5; // local experimental: never sent by a stack

// The agent's io loop and what the side hands to the session.
struct Session : AgentLoop
{
    QList<QByteArray> toPc;
    QStringList reports;
    std::size_t backlog = 0;
    std::function<void(const QByteArray &)> onFrame;

    panel::PortSideEvents events()
    {
        panel::PortSideEvents e;
        e.toPc = [this](std::string bytes) {
            const QByteArray f(bytes.data(), int(bytes.size()));
            if (etherTypeOf(f) == kTestType)
                toPc << f;
            if (onFrame)
                onFrame(f);
        };
        e.report = [this](const std::string &line) { reports << QString::fromStdString(line); };
        e.pcBacklog = [this] { return backlog; };
        return e;
    }
    std::shared_ptr<panel::EthernetSide> side;
    bool open(const std::string &dev = "agent0", std::string *error = nullptr, const std::string &mac = "02:54:56:00:04:12")
    {
        std::string ignored;
        side = panel::EthernetSide::open(io, dev, mac, "192.168.57.10", events(), error ? error : &ignored);
        return bool(side);
    }
    int reportsWith(const QString &text) const { return reports.filter(text).size(); }
};

// The PC's end of a pass-through session on `interface`, over loopback TCP with small
// buffers, so that a PC that stops reading holds the session up at once.
struct PcConnection
{
    PcConnection(asio::io_context &io, const std::string &interface) : socket(io)
    {
        asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
        socket.open(asio::ip::tcp::v4());
        socket.set_option(asio::socket_base::receive_buffer_size(4096));
        socket.connect(acceptor.local_endpoint());
        asio::ip::tcp::socket agentEnd = acceptor.accept();
        agentEnd.set_option(asio::socket_base::send_buffer_size(4096));
        socket.non_blocking(true);
        auto config = std::make_shared<panel::PassThroughConfig>();
        config->ethernet = interface;
        config->announceMac = "02:54:56:00:04:12";
        config->announceIp = "192.168.57.10";
        config->openEthernet = panel::ethernetOpener(config->announceMac, config->announceIp);
        std::make_shared<panel::PassThroughSession>(io, std::make_shared<wire::TcpStream>(std::move(agentEnd)), config)->start();
    }
    void send(const std::string &bytes) { asio::write(socket, asio::buffer(bytes)); }
    // Takes what came; `closed` at the end of the stream.
    bool received(const std::string &part)
    {
        char buffer[65536];
        std::error_code ec;
        while (std::size_t n = socket.read_some(asio::buffer(buffer), ec))
            bytes.append(buffer, n);
        closed = closed || ec == asio::error::eof;
        return bytes.find(part) != std::string::npos;
    }
    asio::ip::tcp::socket socket;
    std::string bytes;
    bool closed = false;
};

} // namespace

class TestEthernetSide : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        SKIP_WITHOUT_PRIVATE_NETWORK();
        sh("ip link set lo up");
        sh("ip link del agent0 2>/dev/null");
        QVERIFY(makeVethPair("agent0", "plc0"));
    }
    void cleanup()
    {
        if (privateNetworkSkipReason().isEmpty())
            sh("ip link del agent0 2>/dev/null");
    }

    // Only what the PLC side sends to the announced MAC, broadcasts and multicasts reach the
    // PC; the PC's frames go out unchanged and are not captured back. The capture is sized for
    // the MTU the interface had when the session began: a longer frame is captured cut short,
    // and is dropped and reported, never passed on cut (or read past its captured bytes).
    void framesCrossBothWays()
    {
        Session s;
        QVERIFY(s.open());
        QCOMPARE(sh("ip link set dev agent0 mtu 9000 && ip link set dev plc0 mtu 9000"), 0);
        Wire plc("plc0");
        QVERIFY2(plc.isOpen(), qPrintable(plc.error()));

        QVERIFY(plc.send(ethernetFrame(kPanelMac, kPlcMac, kTestType, "jumbo", 9014)));
        const QList<QByteArray> wanted{
            ethernetFrame(kPanelMac, kPlcMac, kTestType, "to the panel"),
            ethernetFrame(kBroadcast, kPlcMac, kTestType, "broadcast"),
            ethernetFrame(QByteArray::fromHex("01005e000001"), kPlcMac, kTestType, "IPv4 multicast"),
            ethernetFrame(QByteArray::fromHex("333300000001"), kPlcMac, kTestType, "IPv6 multicast", 1514),
        };
        QVERIFY(plc.send(ethernetFrame(kOtherMac, kPlcMac, kTestType, "to someone else")));
        for (const QByteArray &f : wanted)
            QVERIFY(plc.send(f));
        QVERIFY(s.runUntil([&] { return s.toPc.size() >= wanted.size(); }));
        QCOMPARE(s.toPc, wanted);
        QCOMPARE(s.reportsWith("1 captured frames dropped, too short or cut short"), 1);

        // A broadcast (as the PC's ARP requests are) passes the capture filter on its way out.
        const QByteArray fromPc = ethernetFrame(kBroadcast, kPanelMac, kTestType, "from the PC");
        s.side->send(fromPc.toStdString());
        QVERIFY(plc.waitFor([&](const QByteArray &f) { return f == fromPc; }, 3000));
        s.side->send(std::string("\x02\x00\x00\x00\x00\x05\x02", 7)); // cut short: not sent
        QCOMPARE(s.reportsWith("1 frames from the PC dropped, too short"), 1);
        // Nor are frames the panel's host sends out of the port itself (another capture
        // handle, or its own stack): only what comes in from the PLC side is the PLC's.
        Wire host("agent0");
        const QByteArray fromHost = ethernetFrame(kBroadcast, kOtherMac, kTestType, "from the host");
        QVERIFY(host.send(fromHost));
        const QByteArray marker = ethernetFrame(kPanelMac, kPlcMac, kTestType, "marker");
        QVERIFY(plc.waitFor([&](const QByteArray &f) { return f == fromHost; }, 3000));
        QVERIFY(plc.send(marker));
        QVERIFY(s.runUntil([&] { return s.toPc.contains(marker); }));
        QVERIFY(!s.toPc.contains(fromPc));
        QVERIFY(!s.toPc.contains(fromHost));
        QVERIFY(!plc.waitFor([](const QByteArray &f) { return f.size() < 14 || f.contains("\x02\x00\x00\x00\x00\x05\x02"); }, 100));
    }

    // 1 MB from the PLC, sent before the side reads any, fits the capture; 1 MB from the PC in
    // one go reaches the PLC's end whole.
    void megabyteBurstIsCarried()
    {
        Session s;
        QVERIFY(s.open());
        Wire plc("plc0");
        const int frames = 700; // 1514 bytes each: about 1 MB, sent before the side reads any
        for (int i = 0; i < frames; ++i)
            QVERIFY(plc.send(ethernetFrame(kPanelMac, kPlcMac, kTestType, QByteArray::number(i), 1514)));
        QVERIFY(s.runUntil([&] { return s.toPc.size() >= frames; }, 10000));
        QCOMPARE(s.toPc.size(), frames);
        QVERIFY(s.toPc.last().mid(14).startsWith(QByteArray::number(frames - 1)));
        int seen = 0;
        std::thread reader([&] {
            plc.waitFor([&](const QByteArray &f) { return etherTypeOf(f) == kTestType && ++seen == frames; }, 10000);
        });
        for (int i = 0; i < frames; ++i)
            s.side->send(ethernetFrame(kPlcMac, kPanelMac, kTestType, QByteArray::number(i), 1514).toStdString());
        reader.join();
        QCOMPARE(seen, frames);
    }

    // Towards a PC that reads too slowly frames are dropped, not queued; the first drop is
    // reported at once, the rest summed up (here when the side closes).
    void slowPcDropsAndReports()
    {
        Session s;
        QVERIFY(s.open());
        Wire plc("plc0");
        s.backlog = panel::EthernetSide::kMaxPcBacklog - 100;
        for (int i = 0; i < 50; ++i)
            QVERIFY(plc.send(ethernetFrame(kPanelMac, kPlcMac, kTestType, "dropped", 1514)));
        QVERIFY(s.runUntil([&] { return s.reportsWith("reads too slowly") == 1; }));
        s.backlog = 0;
        const QByteArray after = ethernetFrame(kPanelMac, kPlcMac, kTestType, "after");
        QVERIFY(plc.send(after));
        QVERIFY(s.runUntil([&] { return s.toPc.contains(after); }));
        QCOMPARE(s.toPc.size(), 1);
        QCOMPARE(s.reportsWith("reads too slowly"), 1);
        s.side->close();
        QCOMPARE(s.reports.filter("reads too slowly"),
                 QStringList({"agent0: 1 frames for the PC dropped: it reads too slowly (more than 256 KiB waiting for it)",
                              "agent0: 49 frames for the PC dropped: it reads too slowly (more than 256 KiB waiting for it)"}));
    }

    // The interface going away is reported once, the loop then sleeps until the interface
    // is looked for again, and the side captures again when it is back.
    void interfaceVanishesAndReturns()
    {
        Session s;
        QVERIFY(s.open());
        sh("ip link del agent0");
        QVERIFY(s.runUntil([&] { return s.reportsWith("capture failed") == 1; }));
        QVERIFY(!s.side->isCapturing());
        // Handlers run while the interface is away: the reopening timer at most, no spinning.
        const std::size_t handlers = s.io.run_for(std::chrono::milliseconds(1500));
        QVERIFY2(handlers <= 3, qPrintable(QString::number(handlers)));
        QCOMPARE(s.reportsWith("no interface agent0"), 1);
        s.side->send(ethernetFrame(kPlcMac, kPanelMac, kTestType, "into the void").toStdString());

        QVERIFY(makeVethPair("agent0", "plc0"));
        QVERIFY(s.runUntil([&] { return s.reportsWith("capturing again") == 1; }, 5000));
        Wire plc("plc0");
        const QByteArray back = ethernetFrame(kPanelMac, kPlcMac, kTestType, "back again");
        QVERIFY(plc.send(back));
        QVERIFY(s.runUntil([&] { return s.toPc.contains(back); }));
        s.side->close();
        QCOMPARE(s.reportsWith("1 frames from the PC dropped"), 1);
    }

    // Closing while a flood arrives, also from inside the hand-over of a frame (as a session
    // that ends does): nothing is handed over afterwards, and the loop is left with no work.
    void closeWhileFramesFlow()
    {
        std::atomic<bool> flood{true};
        std::thread sender([&] {
            Wire plc("plc0");
            const QByteArray f = ethernetFrame(kPanelMac, kPlcMac, kTestType, "flood", 1514);
            while (flood)
                plc.send(f);
        });
        // A failed check returns early; a thread still joinable then aborts the whole program.
        const auto stopFlood = qScopeGuard([&] {
            flood = false;
            sender.join();
        });
        for (bool fromCallback : {false, true}) {
            Session s;
            QVERIFY(s.open());
            if (fromCallback)
                s.onFrame = [&](const QByteArray &) {
                    if (s.toPc.size() == 5) {
                        s.side->close();
                        s.side.reset();
                    }
                };
            QVERIFY(s.runUntil([&] { return s.toPc.size() >= 5; }));
            if (!fromCallback)
                s.side->close();
            const int handed = s.toPc.size();
            s.work.reset();
            s.io.run_for(std::chrono::milliseconds(200));
            QCOMPARE(s.toPc.size(), handed);
            QVERIFY(s.io.stopped()); // no wait or timer left behind
            if (s.side)
                QVERIFY(!s.side->isCapturing());
        }
    }

    // Through a session (whose frames both ways the end-to-end suite carries): the
    // announcement, and a PC that stops reading: frames are dropped beyond the side's bound,
    // the session stays.
    void sessionCarriesFramesAndSurvivesASlowPc()
    {
        Session s;
        PcConnection pc(s.io, "agent0");
        pc.send("COM#PCAP#eth0");
        QVERIFY(s.runUntil([&] { return pc.received("PCPMACIP#02:54:56:00:04:12#192.168.57.10#"); }));

        Wire plc("plc0");
        pc.bytes.clear();
        const QByteArray big = ethernetFrame(kPanelMac, kPlcMac, kTestType, "flood", 1514);
        const int frames = 1000; // 1.5 MB: beyond the session's own limit, had nothing been dropped
        for (int i = 0; i < frames; ++i)
            QVERIFY(plc.send(big));
        // Until the side has read everything captured: then nothing is ready to run.
        QVERIFY(s.runUntil([&] { return s.io.poll() == 0; }));
        // Once the PC reads again, fresh frames get through.
        const QByteArray after = ethernetFrame(kPanelMac, kPlcMac, kTestType, "after the jam");
        QVERIFY(s.runUntil([&] { return plc.send(after) && pc.received(after.toStdString()); }, 10000));
        QVERIFY(!pc.closed);
        const std::string envelope = "PCP#" + big.toStdString() + "END#";
        int carried = 0;
        for (std::size_t at = 0; (at = pc.bytes.find(envelope, at)) != std::string::npos; at += envelope.size())
            ++carried;
        // What the side let wait for the PC, and what the sockets' small buffers held.
        QVERIFY2(carried > 100 && std::size_t(carried) * envelope.size() <= panel::EthernetSide::kMaxPcBacklog + 65536,
                 qPrintable(QString::number(carried)));
    }

    // An interface that cannot be captured on is not announced: the PC would otherwise show
    // a working channel through which nothing passes.
    void sessionDoesNotAnnounceWhatItCannotCarry()
    {
        Session s;
        PcConnection pc(s.io, "nosuch0");
        pc.send("COM#PCAP#eth0PLC#disconnect"); // handled in order: the answer would come first
        QVERIFY(s.runUntil([&] { pc.received({}); return pc.closed; }));
        QCOMPARE(pc.bytes, std::string());
    }

    // A missing interface or a MAC that is not six numbers is refused with the reason; the
    // capture filter is built from those six numbers, never from the announced text.
    void refusesWithClearReasons()
    {
        using panel::EthernetSide;
        Session s;
        std::string error;
        QVERIFY(!s.open("nosuch0", &error));
        QVERIFY2(QString::fromStdString(error).contains("no interface nosuch0"), error.c_str());
        QVERIFY(!s.open("agent0", &error, "02:54:56:00:04"));
        QVERIFY2(QString::fromStdString(error).contains("not six hexadecimal groups"), error.c_str());
        QCOMPARE(EthernetSide::filterFor(*EthernetSide::parseMac("2:54:56:0:4:1A")),
                 std::string("ether dst 02:54:56:00:04:1a or ether multicast"));
        for (const char *bad : {"02:54:56:00:04:12 or ip", "02:54:56:00:04:12:00", "025:4:56:0:4:12", "02;54:56:00:04:12"})
            QVERIFY2(!EthernetSide::parseMac(bad), bad);

        // Host holding the announced address: a warning, since its stack would answer too.
        sh("ip addr add 192.168.57.10/24 dev agent0");
        QVERIFY(s.open());
        QCOMPARE(s.reportsWith("holds 192.168.57.10 itself"), 1);
    }
};

PRIVATE_NETWORK_TEST_MAIN(TestEthernetSide)
#include "tst_ethernet_side.moc"
