// The cast session switching receivers where this computer's addresses are known: inside the namespace harness
// it has only 127.0.0.1 and 10.201.0.1, so a receiver at 169.254.1.1 lies on no network it can serve. Run only
// through scripts/netns-run.sh (ctest: CastSessionNetns.*).
#include "tests/support/TestSupport.h"
#include "tests/ui/cast/AirPlayReceiver.h"
#include "ui/bridge/MediaSessionBridge.h"
#include "ui/cast/CastController.h"
#include "ui/cast/CastSession.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using kvr::ui::MediaSessionBridge;
using kvr::ui::cast::CastController;
using kvr::ui::cast::CastSession;

namespace {

constexpr int kWaitMs = 30000;

#define REQUIRE_NETNS()                                                                                                \
    if (kvr::test::netnsPeer().empty())                                                                                \
    GTEST_SKIP() << "runs only inside the network namespace harness (scripts/netns-run.sh)"

} // namespace

TEST(CastSessionNetns, SwitchToAnUnreachableNetworkKeepsTheCast)
{
    REQUIRE_NETNS();
    kvr::test::AirPlayReceiver receiver;
    ASSERT_TRUE(receiver.isListening());
    const QString far = QStringLiteral("airplay:manual-169.254.1.1:7000");
    QSettings settings;
    settings.remove("cast");
    settings.setValue("cast/discoverOnStart", false);
    // Restored receivers are listed as stored, without a probe: nothing is sent to 169.254.1.1.
    settings.setValue("cast/manual",
        QVariantList { QVariantMap { { "id", far }, { "type", "airplay" }, { "name", "Attic" },
            { "address", "169.254.1.1" }, { "port", 7000 }, { "manual", true }, { "description", "" } } });

    MediaSessionBridge bridge;
    CastSession cast(&bridge);
    const QString near = QStringLiteral("airplay:manual-127.0.0.1:%1").arg(receiver.port());
    cast.addManual("airplay", QStringLiteral("127.0.0.1:%1").arg(receiver.port()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return cast.discovery().device(near) != nullptr; }, kWaitMs));
    cast.start(near);
    ASSERT_TRUE(QTest::qWaitFor([&] { return cast.status() == "Connected"; }, kWaitMs));
    ASSERT_TRUE(bridge.casting());
    QPointer<CastController> first = cast.controller();

    QSignalSpy notice(&cast, &CastSession::notice);
    cast.start(far);
    const QString error = "This computer has no address on the receiver's network (169.254.1.1)";
    EXPECT_EQ(cast.lastError(), error);
    ASSERT_EQ(notice.size(), 1);
    EXPECT_EQ(notice[0][0].toString(), error);
    EXPECT_TRUE(cast.diagnostics().last().endsWith("  " + error));
    EXPECT_EQ(cast.controller(), first.data()) << "the first cast goes on";
    EXPECT_EQ(cast.deviceId(), near);
    EXPECT_EQ(cast.status(), "Connected");
    EXPECT_TRUE(bridge.casting());
    EXPECT_TRUE(cast.server().isListening());
    EXPECT_EQ(cast.server().listenAddress(), QHostAddress(QHostAddress::LocalHost));

    // stop ends the cast but keeps the last error for the user to read.
    cast.stop();
    EXPECT_FALSE(bridge.casting());
    EXPECT_EQ(cast.lastError(), error);
}

// Discovery starts by itself after the start-up delay, and only while casting is enabled.
TEST(CastSessionNetns, DiscoveryStartsAfterTheStartupDelayOnlyWhileEnabled)
{
    REQUIRE_NETNS();
    QSettings settings;
    settings.remove("cast");
    {
        QElapsedTimer sinceConstruction;
        sinceConstruction.start();
        CastSession cast(nullptr, nullptr, 400);
        EXPECT_EQ(cast.discovery().openSocketCount(), 0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return cast.discovery().openSocketCount() > 0; }, kWaitMs));
        EXPECT_GE(sinceConstruction.elapsed(), 350);
    }
    settings.setValue("cast/enabled", false);
    CastSession off(nullptr, nullptr, 0);
    off.refresh();
    off.setMenuOpen(true);
    EXPECT_EQ(off.discovery().openSocketCount(), 0);
    off.setEnabled(true);
    off.refresh();
    EXPECT_GT(off.discovery().openSocketCount(), 0);
}
