// Discovery on a real network, against peers in a second namespace. Run only through scripts/netns-run.sh
// (ctest: CastDiscoveryNetns.*); anywhere else every case skips, so nothing is ever sent on this machine's own
// interfaces.
#include "tests/support/TestSupport.h"
#include "ui/cast/CastDiscovery.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

using kvr::ui::cast::CastDevice;
using kvr::ui::cast::CastDiscovery;

namespace {

constexpr int kWaitMs = 30000;

#define REQUIRE_NETNS()                                                                                                \
    if (kvr::test::netnsPeer().empty())                                                                                \
    GTEST_SKIP() << "runs only inside the network namespace harness (scripts/netns-run.sh)"

// The 65-byte burst datagrams the listener in the peer's namespace recorded from this namespace.
int burstsHeard()
{
    const QByteArray expected
        = CastDiscovery::buildQuery({ { "_googlecast", "_tcp", "local" }, { "_airplay", "_tcp", "local" } }, 12, 0)
              .mid(2)
              .toHex();
    const std::string self = std::string(std::getenv("KVR_NETNS_SELF") ? std::getenv("KVR_NETNS_SELF") : "") + ":";
    std::string text = kvr::test::readFile(kvr::test::netnsDirectory() / "queries.log");
    // A line still being written is counted next time.
    text.erase(text.find_last_of('\n') == std::string::npos ? 0 : text.find_last_of('\n') + 1);
    std::istringstream log(text);
    int count = 0;
    std::string sender, hex;
    int length = 0;
    while (log >> sender >> length >> hex) {
        if (sender.rfind(self, 0) != 0)
            continue;
        EXPECT_EQ(length, 65) << "only burst queries are sent: " << hex;
        EXPECT_EQ(QByteArray::fromStdString(hex).mid(4), expected) << hex;
        ++count;
    }
    return count;
}

} // namespace

TEST(CastDiscoveryNetns, Mdns)
{
    REQUIRE_NETNS();
    // The namespace's veth is the one usable interface: lo has no multicast flag.
    const auto interfaces = CastDiscovery::usableInterfaces();
    ASSERT_EQ(interfaces.size(), 1);
    EXPECT_EQ(interfaces.first().name(), "kvr-veth-a");

    CastDiscovery discovery;
    discovery.start();
    EXPECT_EQ(discovery.openSocketCount(), 2) << "one mDNS and one SSDP socket on the veth";

    const QString castId = QStringLiteral("chromecast:7f3a9c2e51b04d6a");
    const QString airPlayId = QStringLiteral("airplay:AA:BB:CC:DD:EE:01");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return discovery.device(castId) != nullptr && discovery.device(airPlayId) != nullptr; }, kWaitMs))
        << "receivers heard: " << discovery.devices().size();

    const QHostAddress peer(QString::fromStdString(kvr::test::netnsPeer()));
    const CastDevice cast = *discovery.device(castId);
    EXPECT_EQ(cast.type, 0);
    EXPECT_EQ(cast.name, "Den Speaker");
    EXPECT_EQ(cast.model, "Chromecast Audio");
    EXPECT_EQ(cast.port, 8009);
    EXPECT_EQ(cast.address, peer);
    EXPECT_FALSE(cast.manual);

    const CastDevice airPlay = *discovery.device(airPlayId);
    EXPECT_EQ(airPlay.type, 1);
    EXPECT_EQ(airPlay.name, "Mr. Smith's TV");
    EXPECT_EQ(airPlay.model, "AppleTV3,2");
    EXPECT_EQ(airPlay.port, 7000);
    EXPECT_EQ(airPlay.address, peer);
    EXPECT_EQ(discovery.devices().size(), 2);

    // Asking again opens no second set of sockets.
    discovery.start();
    EXPECT_EQ(discovery.openSocketCount(), 2);
}

TEST(CastDiscoveryNetns, Bursts)
{
    REQUIRE_NETNS();
    constexpr int kIntervalMs = 400;

    // Switched off, a registry opens nothing and sends nothing; the count at the end shows nothing arrived.
    qputenv("KESTRUNE_CAST_DISCOVERY", "off");
    {
        CastDiscovery off;
        off.setQueryInterval(kIntervalMs);
        int offSent = 0;
        off.setQueryObserver([&](const QByteArray&) { ++offSent; });
        off.start();
        off.rescan(true);
        EXPECT_EQ(off.openSocketCount(), 0);
        EXPECT_FALSE(off.queryTimerActive());
        EXPECT_EQ(offSent, 0);
    }
    qputenv("KESTRUNE_CAST_DISCOVERY", "on");

    CastDiscovery discovery;
    discovery.setQueryInterval(kIntervalMs);
    int sent = 0;
    discovery.setQueryObserver([&](const QByteArray& datagram) {
        EXPECT_EQ(datagram.size(), 65);
        ++sent;
    });

    // start: three bursts, then the timer stops.
    discovery.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !discovery.queryTimerActive(); }, kWaitMs));
    EXPECT_EQ(sent, 3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return burstsHeard() >= 3; }, kWaitMs)) << burstsHeard();

    // rescan(true): one now and one per interval for as long as it lasts.
    discovery.rescan(true);
    EXPECT_EQ(sent, 4);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sent >= 4 + 4; }, kWaitMs)) << sent;
    EXPECT_TRUE(discovery.queryTimerActive());

    // rescan(false): the two bursts still owed, then none.
    discovery.rescan(false);
    const int atStop = sent;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !discovery.queryTimerActive(); }, kWaitMs));
    EXPECT_EQ(sent, atStop + 2);

    ASSERT_TRUE(QTest::qWaitFor([&] { return burstsHeard() >= sent; }, kWaitMs)) << burstsHeard() << " of " << sent;
    // Nothing follows once the timer has stopped, and nothing reached the listener that was not sent.
    QTest::qWait(4 * kIntervalMs);
    EXPECT_EQ(burstsHeard(), sent);
    EXPECT_FALSE(discovery.queryTimerActive());
}

TEST(CastDiscoveryNetns, Ssdp)
{
    REQUIRE_NETNS();
    const QString uuid
        = QString::fromStdString(kvr::test::readFile(kvr::test::netnsDirectory() / "renderer-uuid")).trimmed();
    ASSERT_FALSE(uuid.isEmpty()) << "the renderer peer writes its UUID";
    const QString id = QStringLiteral("dlna:uuid:") + uuid;

    CastDiscovery discovery;
    QSignalSpy failed(&discovery, &CastDiscovery::manualFailed);
    discovery.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return discovery.device(id) != nullptr; }, kWaitMs))
        << "receivers heard: " << discovery.devices().size();

    const QHostAddress peer(QString::fromStdString(kvr::test::netnsPeer()));
    const CastDevice renderer = *discovery.device(id);
    // The renderer takes the next port when its own is busy: LOCATION says which.
    const QUrl description = renderer.descriptionUrl;
    EXPECT_EQ(description.scheme(), "http");
    EXPECT_EQ(QHostAddress(description.host()), peer);
    EXPECT_EQ(description.path(), "/description.xml");
    EXPECT_GE(description.port(), 49494);
    const QString base = QStringLiteral("http://%1:%2").arg(peer.toString()).arg(description.port());
    EXPECT_EQ(renderer.type, 2);
    EXPECT_EQ(renderer.name, "KvrTest");
    EXPECT_TRUE(renderer.model.contains("gmediarender")) << renderer.model.toStdString();
    EXPECT_EQ(renderer.address, peer);
    EXPECT_EQ(renderer.port, description.port());
    EXPECT_EQ(renderer.avTransportUrl, QUrl(base + "/upnp/control/rendertransport1"));
    EXPECT_EQ(renderer.renderingControlUrl, QUrl(base + "/upnp/control/rendercontrol1"));
    EXPECT_FALSE(renderer.manual);
    EXPECT_EQ(discovery.devices().size(), 1);

    // Added by hand from its description URL it is the same renderer, now kept as manual.
    discovery.addManual(2, description.toString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return discovery.device(id)->manual || !failed.isEmpty(); }, kWaitMs));
    ASSERT_TRUE(failed.isEmpty()) << failed.first().first().toString().toStdString();
    EXPECT_EQ(discovery.devices().size(), 1);
    EXPECT_EQ(discovery.manualDevices().size(), 1);
    EXPECT_EQ(discovery.device(id)->avTransportUrl, renderer.avTransportUrl);
}
