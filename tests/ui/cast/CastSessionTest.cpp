// The cast session against real controllers and the loopback test receivers, with the real player bridge.
#include "tests/support/TestSupport.h"
#include "tests/ui/bridge/BridgeTestPlayer.h"
#include "tests/ui/LoopbackHttpServer.h"
#include "tests/ui/cast/AirPlayReceiver.h"
#include "tests/ui/cast/ChromecastReceiver.h"
#include "tests/ui/cast/SoapRenderer.h"
#include "ui/cast/CastController.h"
#include "ui/cast/CastSession.h"
#include "tests/ui/cast/CastSessionTestSupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using kvr::engine::PlayerState;
using kvr::test::AirPlayReceiver;
using kvr::test::ChromecastReceiver;
using kvr::test::closedPort;
using kvr::test::fixturePath;
using kvr::test::lastDiagnostic;
using kvr::test::Player;
using kvr::test::SoapRenderer;
using kvr::ui::MediaSessionBridge;
using kvr::ui::cast::CastController;
using kvr::ui::cast::CastSession;
using State = MediaSessionBridge::State;

namespace {

constexpr int kWaitMs = 20000;

bool waitFor(const std::function<bool()>& condition, int ms = kWaitMs)
{
    return QTest::qWaitFor(condition, ms);
}

QString airPlayId(quint16 port)
{
    return QStringLiteral("airplay:manual-127.0.0.1:%1").arg(port);
}

// Stores manual receivers as an earlier run would have left them; the next session restores them unprobed.
void storeManual(const QVariantList& devices)
{
    QSettings().setValue("cast/manual", devices);
}

QVariantMap storedAirPlay(const QString& address, quint16 port, const QString& name)
{
    return { { "id", QStringLiteral("airplay:manual-%1:%2").arg(address).arg(port) }, { "type", "airplay" },
        { "name", name }, { "address", address }, { "port", int(port) }, { "manual", true }, { "description", "" } };
}

QStringList storedIds()
{
    QStringList ids;
    for (const QVariant& v : QSettings().value("cast/manual").toList())
        ids << v.toMap().value("id").toString();
    return ids;
}

QString text(const QSignalSpy& spy, qsizetype i = -1)
{
    if (spy.isEmpty())
        return {};
    return spy.at(i < 0 ? spy.size() - 1 : i).at(0).toString();
}

// The diagnostics text after the time stamp.
// Ids of the receivers the device list shows as active.
QStringList activeIds(const CastSession& cast)
{
    QStringList ids;
    for (const QVariant& v : cast.devices())
        if (v.toMap().value("active").toBool())
            ids << v.toMap().value("id").toString();
    return ids;
}

// A session with a clean "cast" group and every signal recorded.
struct Rig {
    std::unique_ptr<CastSession> cast;
    std::unique_ptr<QSignalSpy> notice, state, settings, diagnostics, devices;

    explicit Rig(MediaSessionBridge* bridge, bool clean = true)
    {
        if (clean)
            QSettings().remove("cast");
        cast = std::make_unique<CastSession>(bridge);
        notice = std::make_unique<QSignalSpy>(cast.get(), &CastSession::notice);
        state = std::make_unique<QSignalSpy>(cast.get(), &CastSession::stateChanged);
        settings = std::make_unique<QSignalSpy>(cast.get(), &CastSession::settingsChanged);
        diagnostics = std::make_unique<QSignalSpy>(cast.get(), &CastSession::diagnosticsChanged);
        devices = std::make_unique<QSignalSpy>(cast.get(), &CastSession::devicesChanged);
    }

    void clearSpies()
    {
        for (QSignalSpy* spy : { notice.get(), state.get(), settings.get(), diagnostics.get(), devices.get() })
            spy->clear();
    }
    qsizetype signalCount() const
    {
        return notice->size() + state->size() + settings->size() + diagnostics->size() + devices->size();
    }

    // Adds a manual receiver and waits until the registry lists it.
    bool addManual(const QString& type, const QString& address, const QString& id)
    {
        cast->addManual(type, address);
        return waitFor([&] { return cast->discovery().device(id) != nullptr; });
    }
    bool waitConnected()
    {
        return waitFor([&] { return cast->status() == "Connected"; });
    }
};

// A player playing a long fixture.
struct Playing {
    Player p;
    Playing()
    {
        QSettings().remove("resume");
        p.bridge->setPlayPlaylist(false);
        p.bridge->restorePlaylist({ fixturePath("ten-minutes.mkv") }, -1);
    }
    bool start() { return p.bridge->openEntry(0) && p.waitFor(State::Playing); }
};

} // namespace

TEST(CastSession, SettingsAreClampedStoredAndAnnounced)
{
    struct Case {
        const char* name;
        std::function<void(CastSession&)> write;
        const char* key;
        QVariant stored;
    };
    const Case cases[] = {
        { "cacheSeconds 10", [](CastSession& c) { c.setCacheSeconds(10); }, "cacheSeconds", 60 },
        { "cacheSeconds 5000", [](CastSession& c) { c.setCacheSeconds(5000); }, "cacheSeconds", 3600 },
        { "maxBitrateMbps -5", [](CastSession& c) { c.setMaxBitrateMbps(-5); }, "maxBitrateMbps", 0 },
        { "maxBitrateMbps 500", [](CastSession& c) { c.setMaxBitrateMbps(500); }, "maxBitrateMbps", 100 },
        { "maxBitrateMbps unchanged", [](CastSession& c) { c.setMaxBitrateMbps(0); }, "maxBitrateMbps", 0 },
        { "subtitleMode burn", [](CastSession& c) { c.setSubtitleMode("burn"); }, "subtitleMode", "burn" },
        { "subtitleMode Auto", [](CastSession& c) { c.setSubtitleMode("Auto"); }, "subtitleMode", "auto" },
        { "discoverOnStart", [](CastSession& c) { c.setDiscoverOnStart(false); }, "discoverOnStart", false },
        { "enabled off", [](CastSession& c) { c.setEnabled(false); }, "enabled", false },
        { "alwaysTranscode", [](CastSession& c) { c.setAlwaysTranscode("dlna:uuid:1", true); }, "alwaysTranscode",
            QStringList { "dlna:uuid:1" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(nullptr);
        c.write(*rig.cast);
        EXPECT_EQ(rig.settings->size(), 1);
        const QVariant stored = QSettings().value(QStringLiteral("cast/") + c.key);
        if (c.stored.typeId() == QMetaType::QStringList) {
            EXPECT_EQ(stored.toStringList(), c.stored.toStringList());
        } else {
            EXPECT_EQ(stored.toString(), c.stored.toString());
            EXPECT_EQ(rig.cast->property(c.key).toString(), c.stored.toString());
        }
    }

    Rig rig(nullptr);
    rig.cast->setEnabled(true);
    EXPECT_EQ(rig.settings->size(), 0) << "an unchanged setEnabled announces nothing";
    rig.cast->setCacheSeconds(90);
    EXPECT_EQ(rig.cast->discovery().timeToLive(), 90);
    rig.cast->setAlwaysTranscode("a", true);
    rig.cast->setAlwaysTranscode("a", true);
    EXPECT_EQ(QSettings().value("cast/alwaysTranscode").toStringList(), QStringList { "a" });
    EXPECT_TRUE(rig.cast->alwaysTranscode("a"));
    rig.cast->setAlwaysTranscode("a", false);
    EXPECT_FALSE(rig.cast->alwaysTranscode("a"));

    // Stored values are read back, a stored time to live held to its range.
    QSettings().setValue("cast/cacheSeconds", 30);
    QSettings().setValue("cast/subtitleMode", "off");
    Rig stored(nullptr, false);
    EXPECT_EQ(stored.cast->cacheSeconds(), 60);
    EXPECT_EQ(stored.cast->discovery().timeToLive(), 60);
    EXPECT_EQ(stored.cast->subtitleMode(), "off");
}

TEST(CastSession, DiagnosticsKeepTheNewest300Lines)
{
    Rig rig(nullptr);
    rig.cast->addManual("dlna", "not a renderer");
    for (int i = 0; i < 300; ++i)
        rig.cast->addManual("airplay", "example-tv");
    const QStringList lines = rig.cast->diagnostics();
    ASSERT_EQ(lines.size(), 300);
    EXPECT_EQ(rig.notice->size(), 301);
    const QRegularExpression form("^\\d\\d:\\d\\d:\\d\\d  Enter an IP address on your local network$");
    for (const QString& line : lines)
        ASSERT_TRUE(form.match(line).hasMatch()) << line.toStdString();
    // 301 lines at once are announced twice: the first at once, the rest together a little later.
    EXPECT_EQ(rig.diagnostics->size(), 1);
    ASSERT_TRUE(waitFor([&] { return rig.diagnostics->size() == 2; }));

    rig.cast->clearDiagnostics();
    EXPECT_TRUE(rig.cast->diagnostics().isEmpty());
    EXPECT_EQ(rig.diagnostics->size(), 3) << "a clear is announced at once";
    QTest::qWait(2 * CastSession::kDiagnosticsSignalMs);
    EXPECT_EQ(rig.diagnostics->size(), 3) << "nothing is left to announce";
}

// Lines coming in a stream are announced at most once per interval, and the last one always is.
TEST(CastSession, DiagnosticsAreAnnouncedAtMostOncePerInterval)
{
    Rig rig(nullptr);
    QElapsedTimer elapsed;
    elapsed.start();
    QList<qint64> emittedAt;
    QObject::connect(rig.cast.get(), &CastSession::diagnosticsChanged, [&] { emittedAt << elapsed.elapsed(); });
    QTimer line;
    int added = 0;
    qint64 lastAdded = -1;
    QObject::connect(&line, &QTimer::timeout, [&] {
        rig.cast->appendDiagnostic(QStringLiteral("line %1").arg(++added));
        if (added == 100) {
            lastAdded = elapsed.elapsed();
            line.stop();
        }
    });
    line.start(10);
    ASSERT_TRUE(waitFor([&] { return !line.isActive(); }));
    ASSERT_TRUE(waitFor([&] { return !emittedAt.isEmpty() && emittedAt.last() >= lastAdded; }))
        << "the last line is announced";
    EXPECT_TRUE(rig.cast->diagnostics().last().endsWith("  line 100"));
    for (qsizetype i = 1; i < emittedAt.size(); ++i)
        EXPECT_GE(emittedAt[i] - emittedAt[i - 1], CastSession::kDiagnosticsSignalMs - 5) << i;
    EXPECT_LE(emittedAt.size(), emittedAt.last() / CastSession::kDiagnosticsSignalMs + 1);
}

TEST(CastSession, ManualReceiversAreListedAndStored)
{
    QTcpServer receiver;
    ASSERT_TRUE(receiver.listen(QHostAddress::LocalHost, 0));
    const QString at = QStringLiteral("127.0.0.1:%1").arg(receiver.serverPort());
    const QString castId = "chromecast:manual-" + at;
    const QString airPlayId = "airplay:manual-" + at;
    {
        Rig rig(nullptr);
        // The type text is compared exactly: "AirPlay" is not "airplay".
        ASSERT_TRUE(rig.addManual("AirPlay", at, castId));
        ASSERT_TRUE(rig.addManual("airplay", at, airPlayId));
        EXPECT_GE(rig.devices->size(), 2);
        QMap<QString, QVariantMap> listed;
        for (const QVariant& v : rig.cast->devices())
            listed.insert(v.toMap().value("id").toString(), v.toMap());
        ASSERT_EQ(listed.size(), 2);
        EXPECT_EQ(listed[castId].value("type"), "chromecast");
        EXPECT_EQ(listed[airPlayId].value("type"), "airplay");
        EXPECT_EQ(listed[airPlayId].value("address"), "127.0.0.1");
        EXPECT_EQ(listed[airPlayId].value("port"), int(receiver.serverPort()));
        EXPECT_EQ(listed[airPlayId].value("manual"), true);
        EXPECT_EQ(listed[airPlayId].value("active"), false);
        EXPECT_EQ(listed[airPlayId].value("alwaysTranscode"), false);
        QStringList ids = storedIds();
        ids.sort();
        EXPECT_EQ(ids, (QStringList { airPlayId, castId }));
        const QVariantMap first = QSettings().value("cast/manual").toList().value(0).toMap();
        EXPECT_TRUE(first.contains("description"));

        // An always-transcode choice shows in the list at once, and only a real change of a listed receiver
        // asks the window to read the list again.
        const auto listedAlwaysTranscode = [&](const QString& id) {
            for (const QVariant& v : rig.cast->devices())
                if (v.toMap().value("id") == id)
                    return v.toMap().value("alwaysTranscode").toBool();
            return false;
        };
        struct Step {
            const char* name;
            QString id;
            bool on;
            qsizetype devicesChanged;
            bool listed;
        };
        const Step steps[] = {
            { "switched on", airPlayId, true, 1, true },
            { "on again", airPlayId, true, 0, true },
            { "a receiver not listed", "dlna:uuid:elsewhere", true, 0, true },
            { "switched off", airPlayId, false, 1, false },
            { "off again", airPlayId, false, 0, false },
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(step.name);
            rig.clearSpies();
            rig.cast->setAlwaysTranscode(step.id, step.on);
            EXPECT_EQ(rig.devices->size(), step.devicesChanged);
            EXPECT_EQ(rig.settings->size(), 1);
            EXPECT_EQ(listedAlwaysTranscode(airPlayId), step.listed);
        }
        EXPECT_FALSE(listedAlwaysTranscode(castId));

        rig.cast->removeManual(castId);
        EXPECT_EQ(storedIds(), QStringList { airPlayId });
        EXPECT_EQ(rig.cast->devices().size(), 1);
    }
    // The next run finds it again without asking the network.
    receiver.close();
    Rig next(nullptr, false);
    ASSERT_EQ(next.cast->devices().size(), 1);
    EXPECT_EQ(next.cast->devices()[0].toMap().value("id"), airPlayId);
    EXPECT_EQ(next.cast->devices()[0].toMap().value("type"), "airplay");
}

TEST(CastSession, StartAndStopDoNothingWhenTheyCannot)
{
    AirPlayReceiver receiver;
    MediaSessionBridge bridge;
    Rig rig(&bridge);
    ASSERT_TRUE(
        rig.addManual("airplay", QStringLiteral("127.0.0.1:%1").arg(receiver.port()), airPlayId(receiver.port())));
    rig.clearSpies();

    rig.cast->start("airplay:manual-10.0.0.9:7000");
    EXPECT_EQ(rig.notice->size(), 1);
    EXPECT_EQ(text(*rig.notice), "That receiver is no longer available");
    EXPECT_EQ(rig.signalCount(), 1) << "only the notice";

    rig.clearSpies();
    rig.cast->stop();
    EXPECT_EQ(rig.signalCount(), 0);
    EXPECT_TRUE(rig.cast->diagnostics().isEmpty());

    rig.cast->setEnabled(false);
    rig.clearSpies();
    rig.cast->start(airPlayId(receiver.port()));
    rig.cast->start("unknown");
    EXPECT_EQ(rig.signalCount(), 0) << "switched off, start does nothing at all";
    EXPECT_FALSE(rig.cast->active());
    EXPECT_TRUE(receiver.requests().isEmpty());

    rig.cast->setEnabled(true);
    rig.cast->start(airPlayId(receiver.port()));
    ASSERT_TRUE(rig.waitConnected());
    CastController* controller = rig.cast->controller();
    rig.clearSpies();
    const QStringList lines = rig.cast->diagnostics();
    rig.cast->start(airPlayId(receiver.port()));
    EXPECT_EQ(rig.signalCount(), 0) << "the receiver in use";
    EXPECT_EQ(rig.cast->controller(), controller);
    EXPECT_EQ(rig.cast->diagnostics(), lines);
}

// Local playback goes on until the receiver has answered; then the player is handed over.
TEST(CastSession, CastsToAnAirPlayReceiverOnceItAnswers)
{
    Playing playing;
    ASSERT_TRUE(playing.start());
    MediaSessionBridge& bridge = *playing.p.bridge;
    AirPlayReceiver receiver;
    receiver.set("/server-info", AirPlayReceiver::Override { 0, false, false, 1500 });
    Rig rig(&bridge);
    const QString id = airPlayId(receiver.port());
    ASSERT_TRUE(rig.addManual("airplay", QStringLiteral("127.0.0.1:%1").arg(receiver.port()), id));
    const QString name = QStringLiteral("AirPlay at 127.0.0.1");

    rig.cast->start(id);
    EXPECT_EQ(lastDiagnostic(*rig.cast),
        QStringLiteral("Connecting to %1 (airplay, 127.0.0.1:%2)").arg(name).arg(receiver.port()));
    EXPECT_EQ(rig.cast->status(), "Connecting…");
    EXPECT_TRUE(rig.cast->active());
    EXPECT_TRUE(rig.cast->busy());
    EXPECT_EQ(rig.cast->deviceId(), id);
    EXPECT_EQ(rig.cast->deviceName(), name);
    EXPECT_EQ(rig.cast->deviceType(), "airplay");
    EXPECT_EQ(text(*rig.notice), "Casting to " + name);
    EXPECT_TRUE(rig.cast->lastError().isEmpty());

    ASSERT_TRUE(waitFor([&] { return !receiver.requestsTo("/server-info").isEmpty(); }));
    EXPECT_FALSE(bridge.casting());
    EXPECT_EQ(playing.p.session.state(), PlayerState::Playing);
    // Still unanswered: the local file keeps playing and its clock runs on.
    const qint64 clock = bridge.clockUs();
    ASSERT_TRUE(waitFor([&] { return bridge.clockUs() > clock + 200'000 || rig.cast->status() == "Connected"; }));
    if (rig.cast->status() != "Connected") {
        EXPECT_FALSE(bridge.casting());
    }

    // Handed over, the playing file goes on to the receiver at once.
    ASSERT_TRUE(waitFor([&] { return bridge.casting(); }));
    EXPECT_TRUE(rig.cast->diagnostics().filter(QRegularExpression("  Connected$")).size() == 1);
    EXPECT_EQ(playing.p.session.state(), PlayerState::Idle);
    EXPECT_TRUE(waitFor([&] { return !rig.cast->busy(); }));
    EXPECT_EQ(activeIds(*rig.cast), QStringList { id });
    EXPECT_EQ(receiver.requestsTo("/server-info").size(), 1);
}

TEST(CastSession, AReceiverThatDoesNotAnswerLeavesLocalPlaybackAlone)
{
    Playing playing;
    ASSERT_TRUE(playing.start());
    const quint16 port = closedPort();
    QSettings().remove("cast");
    storeManual({ storedAirPlay("127.0.0.1", port, "Den") });
    Rig rig(playing.p.bridge.get(), false);
    ASSERT_EQ(rig.cast->devices().size(), 1);

    rig.cast->start(airPlayId(port));
    ASSERT_TRUE(waitFor([&] { return !rig.cast->lastError().isEmpty(); }));
    EXPECT_EQ(rig.cast->lastError(), "Den did not answer");
    EXPECT_EQ(text(*rig.notice), "Den did not answer");
    EXPECT_EQ(lastDiagnostic(*rig.cast), "Den did not answer");
    EXPECT_EQ(rig.cast->controller(), nullptr);
    EXPECT_FALSE(rig.cast->active());
    EXPECT_TRUE(rig.cast->status().isEmpty());
    EXPECT_TRUE(activeIds(*rig.cast).isEmpty());
    EXPECT_FALSE(playing.p.bridge->casting());
    EXPECT_EQ(playing.p.session.state(), PlayerState::Playing);
    const qint64 clock = playing.p.bridge->clockUs();
    EXPECT_TRUE(waitFor([&] { return playing.p.bridge->clockUs() > clock; }));
}

// stop and switching casting off end the cast alike; the controller outlives its release by two seconds.
TEST(CastSession, EndingACastReleasesTheControllerLater)
{
    const std::pair<const char*, std::function<void(CastSession&)>> ways[] = {
        { "stop", [](CastSession& c) { c.stop(); } },
        { "setEnabled(false)", [](CastSession& c) { c.setEnabled(false); } },
    };
    for (const auto& [name, end] : ways) {
        SCOPED_TRACE(name);
        AirPlayReceiver receiver;
        MediaSessionBridge bridge;
        Rig rig(&bridge);
        const QString id = airPlayId(receiver.port());
        ASSERT_TRUE(rig.addManual("airplay", QStringLiteral("127.0.0.1:%1").arg(receiver.port()), id));
        rig.cast->start(id);
        ASSERT_TRUE(rig.waitConnected());
        ASSERT_TRUE(bridge.casting());

        QPointer<CastController> controller = rig.cast->controller();
        QElapsedTimer sinceEnd;
        qint64 destroyedAfter = -1;
        QObject::connect(controller.data(), &QObject::destroyed, [&] { destroyedAfter = sinceEnd.elapsed(); });
        rig.clearSpies();
        sinceEnd.start();
        end(*rig.cast);

        EXPECT_EQ(lastDiagnostic(*rig.cast), "Stopped casting");
        EXPECT_FALSE(rig.cast->active());
        EXPECT_FALSE(bridge.casting());
        EXPECT_TRUE(rig.cast->mode().isEmpty());
        EXPECT_TRUE(rig.cast->status().isEmpty());
        EXPECT_TRUE(activeIds(*rig.cast).isEmpty());
        EXPECT_GE(rig.state->size(), 1);
        EXPECT_GE(rig.devices->size(), 1);
        ASSERT_FALSE(controller.isNull()) << "deleted at once";
        EXPECT_EQ(controller->state(), CastController::Idle);
        ASSERT_TRUE(waitFor([&] { return controller.isNull(); }));
        EXPECT_GE(destroyedAfter, CastSession::kReleaseDelayMs - 100);
    }
}

// A controller that fails is released from inside its own signal, and deleted later still.
TEST(CastSession, AFailedControllerIsDeletedAfterItsSignal)
{
    const quint16 port = closedPort();
    QSettings().remove("cast");
    storeManual({ storedAirPlay("127.0.0.1", port, "Den") });
    MediaSessionBridge bridge;
    Rig rig(&bridge, false);
    rig.cast->start(airPlayId(port));
    QPointer<CastController> controller = rig.cast->controller();
    ASSERT_FALSE(controller.isNull());
    ASSERT_TRUE(waitFor([&] { return !rig.cast->active(); }));
    EXPECT_FALSE(controller.isNull());
    EXPECT_TRUE(waitFor([&] { return controller.isNull(); }));
}

TEST(CastSession, DestroyedWhileCastingOrFailingLeavesTheBridgeFree)
{
    {
        SCOPED_TRACE("while casting");
        AirPlayReceiver receiver;
        Playing playing;
        ASSERT_TRUE(playing.start());
        Rig rig(playing.p.bridge.get());
        const QString id = airPlayId(receiver.port());
        ASSERT_TRUE(rig.addManual("airplay", QStringLiteral("127.0.0.1:%1").arg(receiver.port()), id));
        rig.cast->start(id);
        ASSERT_TRUE(waitFor([&] { return playing.p.bridge->casting(); }));
        rig.cast.reset();
        EXPECT_FALSE(playing.p.bridge->casting());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
    for (bool insideTheSignal : { false, true }) {
        SCOPED_TRACE(insideTheSignal ? "from inside the failure" : "while the failed controller waits");
        const quint16 port = closedPort();
        QSettings().remove("cast");
        storeManual({ storedAirPlay("127.0.0.1", port, "Den") });
        MediaSessionBridge bridge;
        Rig rig(&bridge, false);
        if (insideTheSignal) {
            QObject::connect(rig.cast.get(), &CastSession::notice, [&](const QString& t) {
                if (t == "Den did not answer")
                    rig.cast.reset();
            });
        }
        rig.cast->start(airPlayId(port));
        QPointer<CastController> controller = rig.cast->controller();
        if (insideTheSignal) {
            ASSERT_TRUE(waitFor([&] { return !rig.cast; }));
        } else {
            ASSERT_TRUE(waitFor([&] { return !rig.cast->active(); }));
            ASSERT_FALSE(controller.isNull());
            rig.cast.reset();
            EXPECT_TRUE(controller.isNull()) << "the destructor deletes a controller still waiting";
        }
        EXPECT_TRUE(waitFor([&] { return controller.isNull(); }));
        EXPECT_FALSE(bridge.casting());
    }
}

// Each receiver type gets its own controller and connects; the Cast v2 type is logged by its protocol's name.
TEST(CastSession, ConnectsToEveryKindOfReceiver)
{
    ASSERT_TRUE(QSslSocket::supportsSsl()) << "no TLS backend for Qt";
    ChromecastReceiver chromecast(fixturePath("kvr-test-receiver.pem"));
    AirPlayReceiver airPlay;
    SoapRenderer renderer;
    kvr::test::LoopbackHttpServer descriptions;
    descriptions.answer("/desc.xml", 200, kvr::test::loftDescription(renderer.url("/avt")));

    struct Case {
        const char* type;
        QString address;
        QString id;
        QString name;
        QString typeName;
        QString endpoint;
    };
    const QString castAt = QStringLiteral("127.0.0.1:%1").arg(chromecast.port());
    const QString airPlayAt = QStringLiteral("127.0.0.1:%1").arg(airPlay.port());
    const Case cases[] = {
        { "chromecast", castAt, "chromecast:manual-" + castAt, "Chromecast at 127.0.0.1", "cast", castAt },
        { "airplay", airPlayAt, "airplay:manual-" + airPlayAt, "AirPlay at 127.0.0.1", "airplay", airPlayAt },
        { "dlna", descriptions.url("/desc.xml").toString(), "dlna:uuid:loft", "Loft", "dlna",
            QStringLiteral("127.0.0.1:%1").arg(descriptions.port()) },
    };
    MediaSessionBridge bridge;
    Rig rig(&bridge);
    for (const Case& c : cases)
        ASSERT_TRUE(rig.addManual(c.type, c.address, c.id)) << c.type;
    QPointer<CastController> previous;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        rig.cast->start(c.id);
        EXPECT_EQ(
            lastDiagnostic(*rig.cast), QStringLiteral("Connecting to %1 (%2, %3)").arg(c.name, c.typeName, c.endpoint));
        ASSERT_TRUE(rig.waitConnected());
        EXPECT_EQ(rig.cast->deviceType(), QString::fromLatin1(c.type));
        EXPECT_EQ(activeIds(*rig.cast), QStringList { c.id });
        EXPECT_TRUE(bridge.casting()) << "switching keeps the player handed over";
        EXPECT_FALSE(previous.isNull() && previous == rig.cast->controller());
        previous = rig.cast->controller();
    }
    rig.cast->stop();
    EXPECT_FALSE(bridge.casting());
}

// A Cast v2 receiver that reconnects says "Connected" again, but the player was handed over once only.
TEST(CastSession, AReconnectHandsNothingOverAgain)
{
    ASSERT_TRUE(QSslSocket::supportsSsl()) << "no TLS backend for Qt";
    ChromecastReceiver receiver(fixturePath("kvr-test-receiver.pem"));
    MediaSessionBridge bridge;
    QSignalSpy handedOver(&bridge, &MediaSessionBridge::mediaInfoChanged);
    Rig rig(&bridge);
    const QString at = QStringLiteral("127.0.0.1:%1").arg(receiver.port());
    ASSERT_TRUE(rig.addManual("chromecast", at, "chromecast:manual-" + at));
    rig.cast->start("chromecast:manual-" + at);
    ASSERT_TRUE(rig.waitConnected());
    ASSERT_TRUE(bridge.casting());
    ASSERT_EQ(handedOver.size(), 1);

    receiver.dropConnection();
    ASSERT_TRUE(
        waitFor([&] { return rig.cast->diagnostics().filter(QRegularExpression("  Connected$")).size() == 2; }));
    EXPECT_TRUE(text(*rig.notice).contains("reconnecting (1/3)")) << text(*rig.notice).toStdString();
    EXPECT_EQ(rig.cast->diagnostics().filter("reconnecting (1/3)").size(), 1);
    EXPECT_EQ(handedOver.size(), 1);
    EXPECT_TRUE(bridge.casting());
    EXPECT_TRUE(rig.cast->active());
}
