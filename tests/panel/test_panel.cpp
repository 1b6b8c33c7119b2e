// Guards the panel agent against unlisted targets, mistyped configs and relays with an unpinned certificate.
#include "TunnelFixture.h"
#include "panel/PanelConfig.h"
#include "panel/TargetMap.h"

#include <QtTest>

class TestPanel : public QObject
{
    Q_OBJECT
private slots:
    void targetsMapOnlyListedAddresses()
    {
        panel::TargetMap map;
        std::string error;
        QVERIFY(map.add("127.0.0.1:7530", "127.0.0.1:5900", &error));
        QVERIFY(map.add("*:502", "*:502", &error));
        QVERIFY(map.add("192.168.1.10:*", "10.0.0.5:*", &error));
        QVERIFY(!map.add("127.0.0.1", "127.0.0.1:1", &error));

        auto resolve = [&](const char *text) {
            const auto r = map.resolve(*wire::parseHostPort(text));
            return r ? QString::fromStdString(r->text()) : QString();
        };
        QCOMPARE(resolve("127.0.0.1:7530"), QString("127.0.0.1:5900"));
        QCOMPARE(resolve("192.168.0.7:502"), QString("192.168.0.7:502"));
        QCOMPARE(resolve("192.168.1.10:102"), QString("10.0.0.5:102"));
        QCOMPARE(resolve("127.0.0.1:7540"), QString()); // left to the pass-through hook
        QCOMPARE(resolve("127.0.0.1:22"), QString());
        QCOMPARE(resolve("localhost:7530"), QString()); // no name games: only what is listed
    }

    // A '*' host passed on as requested: the PLCs on the panel's network, not the panel's own
    // services (loopback, 0.0.0.0, link-local) nor whatever a name a PC sends resolves to.
    void wildcardsStayOffThePanelAndNames()
    {
        panel::TargetMap map;
        std::string error;
        QVERIFY(map.add("169.254.7.7:*", "*:*", &error)); // named: reachable
        QVERIFY(map.add("plc.lan:502", "plc.lan:502", &error)); // a name the rule gives
        QVERIFY(map.add("*:*", "*:*", &error));
        std::string refusal;
        auto resolve = [&](const char *text) {
            refusal.clear();
            const auto r = map.resolve(*wire::parseHostPort(text), &refusal);
            return r ? QString::fromStdString(r->text()) : QString();
        };
        QCOMPARE(resolve("10.1.2.3:22"), QString("10.1.2.3:22"));
        QCOMPARE(resolve("[2001:db8::1]:22"), QString("[2001:db8::1]:22"));
        QCOMPARE(resolve("169.254.7.7:80"), QString("169.254.7.7:80"));
        QCOMPARE(resolve("plc.lan:502"), QString("plc.lan:502"));
        for (const char *local : {"127.0.0.1:7540", "127.9.9.9:22", "0.0.0.0:22", "[::1]:22", "[::]:22",
                                  "[::ffff:127.0.0.1]:22", "169.254.1.1:80", "[fe80::1]:22"}) {
            QVERIFY2(resolve(local).isEmpty(), local);
            QVERIFY2(QString::fromStdString(refusal).contains("panel's own or a link-local"), local);
        }
        QVERIFY(resolve("localhost:22").isEmpty());
        QVERIFY2(QString::fromStdString(refusal).contains("resolve-names"), refusal.c_str());

        map.setWildcardNames(true);
        bool asRequested = false;
        QCOMPARE(QString::fromStdString(map.resolve(*wire::parseHostPort("plc2.lan:22"), nullptr, &asRequested)->text()),
                 QString("plc2.lan:22"));
        QVERIFY(asRequested); // the agent then checks what it resolves to:
        QVERIFY(!panel::TargetMap::mayReachAsRequested(asio::ip::make_address("127.0.0.1")));
        QVERIFY(panel::TargetMap::mayReachAsRequested(asio::ip::make_address("192.168.1.5")));
    }

    void configRefusesBadValues_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        const QString fp(64, 'a');
        QTest::newRow("no sn") << "[panel]\nsecret=s\nrelay=h:1\nfingerprint=" + fp << "sn= is missing";
        QTest::newRow("bad relay") << "[panel]\nsn=A\nsecret=s\nrelay=h\nfingerprint=" + fp << "p.ini:4: [panel] relay=h is not";
        QTest::newRow("bad target") << "[panel]\nsn=A\nsecret=s\nrelay=h:1\nfingerprint=" + fp + "\n[targets]\nfoo=bar"
                                    << "p.ini:7: [targets]";
        QTest::newRow("misspelt key") << "[panel]\nsn=A\nsecert=s" << "p.ini:3: [panel] secert= is not a setting";
        QTest::newRow("unknown section") << "[panel]\nsn=A\n[target]\na=b" << "p.ini:3: [target] is not a section";
        QTest::newRow("resolve-names") << "[panel]\nsn=A\nsecret=s\nrelay=h:1\nresolve-names=maybe\nfingerprint=" + fp
                                       << "p.ini:5: [panel] resolve-names= must be yes or no";
    }
    void configRefusesBadValues()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString path = dir.filePath("p.ini");
        QVERIFY(saveFile(path, text.toUtf8()));
        panel::PanelConfig config;
        std::string message;
        QVERIFY(!config.load(path.toStdString(), &message));
        QVERIFY2(QString::fromStdString(message).contains(error), message.c_str());
    }

    void otherCertificateIsRefusedAndRetried()
    {
        QTemporaryDir dir;
        RelayFixture relay(dir.path());
        QVERIFY(relay.start());
        ToolProcess agent;
        const QString cfg = writePanelConfig(dir.path(), "panel.ini", "SN1", "secret-1", relay.port(), QString(64, 'b'), {});
        QVERIFY(agent.start(kPanelBinary, cfg));
        QVERIFY(agent.waitForOutput("relay certificate does not match the fingerprint"));
        QVERIFY(agent.waitForOutput("retrying in"));
        QVERIFY(agent.isRunning());
        QVERIFY(!relay.process().output().contains("registered"));

        ToolProcess wrongSecret;
        const QString cfg2 = writePanelConfig(dir.path(), "panel2.ini", "SN1", "nope", relay.port(), relay.fingerprint(), {});
        QVERIFY(wrongSecret.start(kPanelBinary, cfg2));
        QVERIFY(wrongSecret.waitForOutput("relay refused registration: ERR SECRET"));
        QVERIFY(wrongSecret.isRunning());
    }
};

// Best effort: ephemeral ports work in either namespace.
PRIVATE_NETWORK_TEST_MAIN_WITH(TestPanel, enterPrivateNetwork)

#include "test_panel.moc"
