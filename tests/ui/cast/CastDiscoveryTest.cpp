#include "tests/ui/GTestQtPrinters.h"
#include "tests/ui/cast/DiscoveryRegistry.h"
#include "ui/cast/CastDiscovery.h"

#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using kvr::ui::cast::CastDevice;
using kvr::ui::cast::CastDiscovery;

namespace {

constexpr int kWaitMs = 20000;

CastDevice makeDevice(const QString& id, const QString& name, quint16 port = 8009)
{
    CastDevice d;
    d.id = id;
    d.name = name;
    d.address = QHostAddress(QStringLiteral("192.168.1.40"));
    d.port = port;
    return d;
}

using Registry = kvr::test::DiscoveryRegistry;

// A loopback TCP socket bound to a free port; listening with backlog 0 it holds one queued connection.
struct LoopbackPort {
    int fd = -1;
    quint16 port = 0;

    LoopbackPort()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        port = ntohs(addr.sin_port);
    }
    ~LoopbackPort()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

TEST(CastDiscovery, DevicesSortByNameIgnoringCase)
{
    Registry r;
    const QStringList names = { "kitchen", "Living Room", "Kitchen", "Attic", "bedroom" };
    for (const QString& name : names)
        r.discovery.upsertDevice(makeDevice("chromecast:" + name, name));

    QStringList order;
    for (const CastDevice& d : r.discovery.devices())
        order << d.name;
    ASSERT_EQ(order.size(), 5);
    EXPECT_EQ(order[0], "Attic");
    EXPECT_EQ(order[1], "bedroom");
    EXPECT_EQ(QSet<QString>({ order[2], order[3] }), QSet<QString>({ "Kitchen", "kitchen" }));
    EXPECT_EQ(order[4], "Living Room");
}

TEST(CastDiscovery, UpsertAnnouncesOnlyVisibleChanges)
{
    Registry r;
    const CastDevice base = makeDevice("chromecast:abc", "Lounge");
    r.discovery.upsertDevice(base);
    EXPECT_EQ(r.changed.size(), 1);
    ASSERT_NE(r.discovery.device("chromecast:abc"), nullptr);
    EXPECT_EQ(r.discovery.device("chromecast:abc")->lastSeenMs, r.now);

    // Heard again unchanged: fresher, but nothing for the user to see.
    r.now += 5000;
    r.discovery.upsertDevice(base);
    EXPECT_EQ(r.changed.size(), 1);
    EXPECT_EQ(r.discovery.device("chromecast:abc")->lastSeenMs, r.now);

    // Model and URLs alone are stored silently.
    CastDevice quiet = base;
    quiet.model = "Chromecast Ultra";
    quiet.descriptionUrl = QUrl("http://192.168.1.40:8008/desc.xml");
    r.discovery.upsertDevice(quiet);
    EXPECT_EQ(r.changed.size(), 1);
    EXPECT_EQ(r.discovery.device("chromecast:abc")->model, "Chromecast Ultra");
    EXPECT_EQ(r.discovery.device("chromecast:abc")->descriptionUrl, quiet.descriptionUrl);

    struct Case {
        const char* what;
        void (*change)(CastDevice&);
    };
    const Case cases[] = {
        { "name", [](CastDevice& d) { d.name = "Den"; } },
        { "address", [](CastDevice& d) { d.address = QHostAddress(QStringLiteral("192.168.1.41")); } },
        { "port", [](CastDevice& d) { d.port = 8010; } },
    };
    CastDevice current = quiet;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.change(current);
        const qsizetype before = r.changed.size();
        r.discovery.upsertDevice(current);
        EXPECT_EQ(r.changed.size(), before + 1);
    }
    const CastDevice stored = *r.discovery.device("chromecast:abc");
    EXPECT_EQ(stored.name, "Den");
    EXPECT_EQ(stored.address, QHostAddress(QStringLiteral("192.168.1.41")));
    EXPECT_EQ(stored.port, 8010);
    EXPECT_EQ(r.discovery.devices().size(), 1);
}

TEST(CastDiscovery, OnceManualAlwaysManual)
{
    Registry r;
    CastDevice d = makeDevice("dlna:uuid:1", "Renderer");
    d.type = 2;
    d.manual = true;
    r.discovery.upsertDevice(d);
    d.manual = false; // found again by discovery
    d.model = "TV";
    r.discovery.upsertDevice(d);
    ASSERT_NE(r.discovery.device(d.id), nullptr);
    EXPECT_TRUE(r.discovery.device(d.id)->manual);
    EXPECT_EQ(r.discovery.manualDevices().size(), 1);
    EXPECT_EQ(r.discovery.devices().size(), 1);
}

TEST(CastDiscovery, AgeingDropsSilentDiscoveredReceiverKeepsManual)
{
    Registry r;
    r.discovery.setTimeToLive(60);
    const qint64 t0 = r.now;
    r.discovery.upsertDevice(makeDevice("chromecast:gone", "Gone"));
    CastDevice manual = makeDevice("airplay:manual-192.168.1.50:7000", "Kept", 7000);
    manual.type = 1;
    manual.manual = true;
    r.discovery.upsertDevice(manual);
    r.changed.clear();

    // Prune ticks every 30 s: at 60 s the receiver is exactly at the limit, by 90 s it is gone.
    for (int tick = 1; tick <= 2; ++tick) {
        r.now = t0 + tick * 30000;
        r.discovery.pruneStale();
    }
    EXPECT_NE(r.discovery.device("chromecast:gone"), nullptr);
    EXPECT_EQ(r.changed.size(), 0);
    r.now = t0 + 90000;
    r.discovery.pruneStale();
    EXPECT_EQ(r.discovery.device("chromecast:gone"), nullptr);
    EXPECT_EQ(r.changed.size(), 1);

    // Much later: the manual receiver is still there and a prune with nothing to drop says nothing.
    r.now = t0 + 3600000;
    r.discovery.pruneStale();
    EXPECT_EQ(r.changed.size(), 1);
    ASSERT_NE(r.discovery.device(manual.id), nullptr);
    EXPECT_TRUE(r.discovery.device(manual.id)->manual);
}

TEST(CastDiscovery, PruneTimerDropsSilentReceiversInOneAnnouncement)
{
    Registry r;
    r.discovery.setTimeToLive(60);
    r.discovery.upsertDevice(makeDevice("chromecast:a", "A"));
    r.discovery.upsertDevice(makeDevice("chromecast:b", "B"));
    r.changed.clear();
    r.now += 61000;
    r.discovery.setPruneInterval(10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return r.discovery.devices().isEmpty(); }, kWaitMs));
    QTest::qWait(50); // a few more ticks with nothing left to drop
    EXPECT_EQ(r.changed.size(), 1);
}

TEST(CastDiscovery, RemoveManualRemovesAnyReceiver)
{
    Registry r;
    r.discovery.upsertDevice(makeDevice("chromecast:found", "Found"));
    r.changed.clear();
    r.discovery.removeManual("chromecast:unknown");
    EXPECT_EQ(r.changed.size(), 0);
    r.discovery.removeManual("chromecast:found");
    EXPECT_EQ(r.changed.size(), 1);
    EXPECT_EQ(r.discovery.device("chromecast:found"), nullptr);
    // Heard again, it is back.
    r.discovery.upsertDevice(makeDevice("chromecast:found", "Found"));
    EXPECT_NE(r.discovery.device("chromecast:found"), nullptr);
}

TEST(CastDiscovery, LocalAddressRule)
{
    struct Case {
        const char* address;
        bool local;
    };
    const Case cases[] = {
        { "10.0.0.5", true },
        { "10.255.255.255", true },
        { "172.16.0.1", true },
        { "172.31.255.254", true },
        { "172.32.0.1", false },
        { "172.15.255.255", false },
        { "192.168.1.40", true },
        { "192.169.0.1", false },
        { "169.254.10.10", true },
        { "127.0.0.1", true },
        { "127.8.9.10", true },
        { "::1", true },
        { "8.8.8.8", false },
        { "fe80::1", false },
        { "fd00::1", false },
        { "11.0.0.1", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(CastDiscovery::isLocalAddress(QHostAddress(QString::fromLatin1(c.address))), c.local);
    }
    EXPECT_FALSE(CastDiscovery::isLocalAddress(QHostAddress()));
}

// Only the pure parsing step sees these addresses: no row is ever contacted.
TEST(CastDiscovery, ManualEntryParsingTable)
{
    const QString refused = "Enter an IP address on your local network";
    struct Case {
        int type;
        const char* text;
        const char* address; // null: refused
        quint16 port;
    };
    const Case cases[] = {
        { 1, "10.0.0.5", "10.0.0.5", 7000 },
        { 0, "10.0.0.5", "10.0.0.5", 8009 },
        { 0, "  10.0.0.5  ", "10.0.0.5", 8009 },
        { 0, "10.0.0.5:8010", "10.0.0.5", 8010 },
        { 1, "10.0.0.5:8010", "10.0.0.5", 8010 },
        { 1, "10.0.0.5:8010:extra", "10.0.0.5", 8010 },
        { 0, "10.0.0.5:tv", "10.0.0.5", 0 },
        { 0, "10.0.0.5:", "10.0.0.5", 0 },
        { 0, "10.0.0.5:65535", "10.0.0.5", 65535 },
        { 0, "10.0.0.5:73545", nullptr, 0 },
        { 1, "10.0.0.5:65536", nullptr, 0 },
        { 0, "example-tv", nullptr, 0 },
        { 1, "example-tv:7000", nullptr, 0 },
        { 0, "8.8.8.8", nullptr, 0 },
        { 1, "8.8.8.8:7000", nullptr, 0 },
        { 0, "", nullptr, 0 },
        { 1, "   ", nullptr, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " '" << c.text << "'");
        const CastDiscovery::ManualEntry e = CastDiscovery::parseManualEntry(c.type, QString::fromLatin1(c.text));
        if (c.address) {
            EXPECT_TRUE(e.error.isEmpty()) << e.error.toStdString();
            EXPECT_EQ(e.address, QHostAddress(QString::fromLatin1(c.address)));
            EXPECT_EQ(e.port, c.port);
        } else {
            EXPECT_EQ(e.error, refused);
            EXPECT_TRUE(e.address.isNull());
        }
    }
}

TEST(CastDiscovery, RefusedManualEntryCreatesNoSocket)
{
    Registry r;
    // An entry without any address: nothing could be contacted even by mistake.
    for (const QString& text : { QString(), QStringLiteral("   ") }) {
        r.discovery.addManual(0, text);
        EXPECT_EQ(r.probeSockets(), 0);
    }
    // A renderer's description URL must name a local address, not a host name.
    r.discovery.addManual(2, QStringLiteral("example-tv:49152/desc.xml"));
    EXPECT_EQ(r.probeSockets(), 0);
    ASSERT_EQ(r.failed.size(), 3);
    EXPECT_EQ(r.failed.at(0).at(0).toString(), "Enter an IP address on your local network");
    EXPECT_EQ(r.failed.at(2).at(0).toString(), "Enter the renderer's description URL on your local network");
    EXPECT_EQ(r.changed.size(), 0);
}

TEST(CastDiscovery, ProbeOfListeningPortAddsManualReceiver)
{
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const quint16 port = server.serverPort();

    struct Case {
        int type;
        QString id;
        QString name;
    };
    const Case cases[] = {
        { 1, QStringLiteral("airplay:manual-127.0.0.1:%1").arg(port), "AirPlay at 127.0.0.1" },
        { 0, QStringLiteral("chromecast:manual-127.0.0.1:%1").arg(port), "Chromecast at 127.0.0.1" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Registry r;
        r.discovery.addManual(c.type, QStringLiteral(" 127.0.0.1:%1 ").arg(port));
        ASSERT_TRUE(QTest::qWaitFor([&] { return r.changed.size() > 0 || r.failed.size() > 0; }, kWaitMs));
        ASSERT_EQ(r.failed.size(), 0) << r.failed.at(0).at(0).toString().toStdString();
        EXPECT_EQ(r.changed.size(), 1);
        const CastDevice* found = r.discovery.device(c.id);
        ASSERT_NE(found, nullptr);
        const CastDevice d = *found;
        EXPECT_EQ(d.type, c.type);
        EXPECT_EQ(d.name, c.name);
        EXPECT_TRUE(d.model.isEmpty());
        EXPECT_EQ(d.address, QHostAddress(QHostAddress::LocalHost));
        EXPECT_EQ(d.port, port);
        EXPECT_TRUE(d.manual);
        EXPECT_EQ(r.discovery.manualDevices().size(), 1);
        // The probe's socket is closed and gone, and the peer closing it later reports nothing.
        EXPECT_TRUE(QTest::qWaitFor([&] { return r.probeSockets() == 0; }, kWaitMs));
        while (server.hasPendingConnections())
            delete server.nextPendingConnection();
        QTest::qWait(50);
        EXPECT_EQ(r.failed.size(), 0);
    }
}

TEST(CastDiscovery, ClosedPortReportsNothingAnswered)
{
    LoopbackPort closed; // bound, not listening: connections are refused
    ASSERT_NE(closed.port, 0);
    Registry r;
    r.discovery.addManual(1, QStringLiteral("127.0.0.1:%1").arg(closed.port));
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.failed.size() > 0; }, kWaitMs));
    EXPECT_EQ(r.failed.at(0).at(0).toString(), QStringLiteral("Nothing answered at 127.0.0.1:%1").arg(closed.port));
    EXPECT_EQ(r.changed.size(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return r.probeSockets() == 0; }, kWaitMs));
    EXPECT_EQ(r.failed.size(), 1);
}

TEST(CastDiscovery, SilentPeerTimesOutWithMessage)
{
    // Backlog 0 keeps one connection queued and never accepted; Linux then drops further attempts, which
    // stay pending until the probe gives up.
    LoopbackPort silent;
    ASSERT_NE(silent.port, 0);
    ASSERT_EQ(::listen(silent.fd, 0), 0);
    QTcpSocket filler;
    filler.connectToHost(QHostAddress::LocalHost, silent.port);
    ASSERT_TRUE(filler.waitForConnected(kWaitMs));

    Registry r;
    r.discovery.setProbeTimeout(300);
    r.discovery.addManual(0, QStringLiteral("127.0.0.1:%1").arg(silent.port));
    EXPECT_EQ(r.probeSockets(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return r.failed.size() > 0; }, kWaitMs));
    EXPECT_EQ(r.failed.at(0).at(0).toString(), QStringLiteral("Nothing answered at 127.0.0.1:%1").arg(silent.port));
    EXPECT_EQ(r.changed.size(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return r.probeSockets() == 0; }, kWaitMs));
    EXPECT_EQ(r.failed.size(), 1);
}

TEST(CastDiscovery, RestoreInsertsStoredReceiversWithoutProbing)
{
    Registry r;
    CastDevice cast = makeDevice("chromecast:manual-192.168.1.40:8009", "Lounge");
    CastDevice air = makeDevice("airplay:manual-192.168.1.41:7000", "AirPlay at 192.168.1.41", 7000);
    air.type = 1;
    air.address = QHostAddress(QStringLiteral("192.168.1.41"));
    r.discovery.restoreManual({ cast, air });

    EXPECT_EQ(r.probeSockets(), 0);
    EXPECT_EQ(r.failed.size(), 0);
    const QList<CastDevice> manual = r.discovery.manualDevices();
    ASSERT_EQ(manual.size(), 2);
    for (const CastDevice& stored : { cast, air }) {
        SCOPED_TRACE(stored.id.toStdString());
        const CastDevice* found = r.discovery.device(stored.id);
        ASSERT_NE(found, nullptr);
        const CastDevice d = *found;
        EXPECT_TRUE(d.manual);
        EXPECT_EQ(d.type, stored.type);
        EXPECT_EQ(d.name, stored.name);
        EXPECT_EQ(d.address, stored.address);
        EXPECT_EQ(d.port, stored.port);
        EXPECT_EQ(d.lastSeenMs, r.now);
    }
}
