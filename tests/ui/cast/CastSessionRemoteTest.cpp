// The cast session as the player's remote: loads, transport and the position arithmetic against real
// controllers and the loopback test receivers, with the real player bridge.
#include "tests/support/TestSupport.h"
#include "tests/ui/bridge/BridgeTestPlayer.h"
#include "tests/ui/cast/AirPlayReceiver.h"
#include "tests/ui/cast/ChromecastReceiver.h"
#include "tests/ui/cast/SoapRenderer.h"
#include "tests/ui/LoopbackHttpServer.h"
#include "ui/cast/AirPlayController.h"
#include "ui/cast/CastController.h"
#include "ui/cast/CastSession.h"
#include "tests/ui/cast/CastSessionTestSupport.h"

#include <QJsonArray>
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
using kvr::test::diagnosticTexts;
using kvr::test::fixturePath;
using kvr::test::Player;
using kvr::test::SoapRenderer;
using kvr::ui::MediaSessionBridge;
using kvr::ui::cast::AirPlayController;
using kvr::ui::cast::CastController;
using kvr::ui::cast::CastSession;

namespace {

constexpr int kWaitMs = 30000;
constexpr int kIdle = 0;
constexpr int kOpening = 1;
constexpr int kPlaying = 3;
constexpr int kPaused = 4;

bool waitFor(const std::function<bool()>& condition, int ms = kWaitMs)
{
    return QTest::qWaitFor(condition, ms);
}

// The diagnostics lines without their time stamps.
// A player with a cast session and an AirPlay test receiver that the session knows by address.
struct Remote {
    Player p;
    AirPlayReceiver receiver;
    std::unique_ptr<CastSession> cast;
    std::unique_ptr<QSignalSpy> notice;
    QString id;
    QString name = QStringLiteral("AirPlay at 127.0.0.1");

    Remote()
    {
        QSettings().remove("cast");
        QSettings().remove("resume");
        p.bridge->setPlayPlaylist(false);
        cast = std::make_unique<CastSession>(p.bridge.get());
        notice = std::make_unique<QSignalSpy>(cast.get(), &CastSession::notice);
        id = QStringLiteral("airplay:manual-127.0.0.1:%1").arg(receiver.port());
        cast->addManual("airplay", QStringLiteral("127.0.0.1:%1").arg(receiver.port()));
        waitFor([&] { return cast->discovery().device(id) != nullptr; });
    }

    // Starts the cast; with wait, until the player is handed over.
    bool start(bool wait = true)
    {
        cast->start(id);
        if (auto* airPlay = qobject_cast<AirPlayController*>(cast->controller()))
            airPlay->setPollInterval(100);
        return !wait || waitFor([&] { return cast->status() == "Connected" && p.bridge->casting(); });
    }
    // The /play requests the receiver has had.
    qsizetype plays() const { return receiver.requestsTo("/play").size(); }
    bool waitPlays(qsizetype n)
    {
        return waitFor([&] { return plays() >= n && !cast->busy(); });
    }
    // Scripts the receiver's clock and waits until the controller has polled it.
    bool receiverAt(double seconds, double duration, double rate = 0.0)
    {
        receiver.setPlaying(seconds, rate, duration);
        return waitFor([&] {
            CastController* c = cast->controller();
            return c && c->state() == (rate > 0 ? CastController::Playing : CastController::Paused)
                && qAbs(c->position() - seconds) < (rate > 0 ? 5.0 : 1e-9) && c->duration() == duration;
        });
    }
    QString lastNotice() const { return notice->isEmpty() ? QString() : notice->last().at(0).toString(); }
};

} // namespace

TEST(CastSessionRemote, WithoutAReceiverItIsAtRest)
{
    QSettings().remove("cast");
    Player p;
    CastSession cast(p.bridge.get());
    QSignalSpy notice(&cast, &CastSession::notice);
    cast.load(fixturePath("hundred-seconds.mp4"), 0);
    cast.play();
    cast.pause();
    cast.seek(5'000'000);
    cast.setVolume(0.3);
    cast.stopPlayback();
    EXPECT_EQ(cast.position(), 0);
    EXPECT_EQ(cast.duration(), 0);
    EXPECT_EQ(cast.volume(), 1.0);
    EXPECT_EQ(cast.state(), kIdle);
    EXPECT_TRUE(cast.mode().isEmpty());
    EXPECT_TRUE(notice.isEmpty());
    EXPECT_TRUE(cast.diagnostics().isEmpty());
}

// The receiver's clock is moved onto the source's time line while a conversion that began in the middle
// plays, and held to the source's length; a stream without a known length takes the receiver's.
TEST(CastSessionRemote, PositionAndDurationFollowTheReceiver)
{
    Remote r;
    ASSERT_TRUE(r.start());

    const QString stream = QStringLiteral("http://127.0.0.1:%1/live/show.mp4").arg(closedPort());
    r.cast->load(stream, 0);
    ASSERT_TRUE(r.waitPlays(1));
    EXPECT_EQ(r.receiver.contentLocation, stream.toUtf8()) << "a network stream goes as it is";
    EXPECT_EQ(r.cast->mode(), "direct");
    ASSERT_TRUE(r.receiverAt(30.0, 300.0));
    EXPECT_EQ(r.cast->position(), 30'000'000);
    EXPECT_EQ(r.cast->duration(), 300'000'000);
    EXPECT_EQ(r.cast->state(), kPaused);
    EXPECT_EQ(r.p.bridge->clockUs(), 30'000'000);
    EXPECT_EQ(r.p.bridge->durationUs(), 300'000'000);

    // Vorbis goes to AirPlay as a conversion, which starts where the load asks for.
    r.cast->load(fixturePath("ten-minutes-five-seconds.mkv"), 600'000'000);
    ASSERT_TRUE(r.waitPlays(2));
    EXPECT_EQ(r.cast->mode(), "transcode");
    ASSERT_TRUE(r.receiverAt(4.0, 60.0));
    EXPECT_EQ(r.cast->position(), 604'000'000);
    ASSERT_TRUE(r.receiverAt(10.0, 60.0));
    // The probed length: 605 s and the encoder's last frame.
    const qint64 length = r.cast->duration();
    EXPECT_NEAR(double(length), 605e6, 0.1e6);
    EXPECT_EQ(r.cast->position(), length) << "held to the file's length";
    EXPECT_EQ(r.p.bridge->durationUs(), length);

    // Playing, the position runs on from the receiver's last report.
    ASSERT_TRUE(r.receiverAt(1.0, 60.0, 1.0));
    EXPECT_EQ(r.cast->state(), kPlaying);
    const qint64 first = r.cast->position();
    EXPECT_GE(first, 600'000'000);
    EXPECT_TRUE(waitFor([&] { return r.cast->position() > first; }));
}

TEST(CastSessionRemote, SeeksAreHeldToTheFileAndRestartAConversion)
{
    Remote r;
    ASSERT_TRUE(r.start());
    const QString file = fixturePath("hundred-seconds.mp4");
    r.p.bridge->restorePlaylist({ file }, -1);
    ASSERT_TRUE(r.p.bridge->openEntry(0));
    ASSERT_TRUE(r.waitPlays(1));
    EXPECT_EQ(r.cast->mode(), "direct");
    EXPECT_TRUE(
        diagnosticTexts(*r.cast).contains("hundred-seconds.mp4: direct — h264/aac in mp4 plays on the receiver as is"))
        << diagnosticTexts(*r.cast).join('\n').toStdString();
    ASSERT_TRUE(r.receiverAt(20.0, 100.0, 1.0));

    const struct {
        qint64 us;
        const char* scrub;
    } seeks[] = { { 500'000'000, "/scrub?position=99.000" }, { -5'000'000, "/scrub?position=0.000" },
        { 42'000'000, "/scrub?position=42.000" } };
    for (const auto& s : seeks) {
        SCOPED_TRACE(s.scrub);
        const qsizetype before = r.receiver.requestsTo("/scrub").size();
        r.cast->seek(s.us);
        ASSERT_TRUE(waitFor([&] { return r.receiver.requestsTo("/scrub").size() > before; }));
        EXPECT_EQ(r.receiver.requestsTo("/scrub").last().path, s.scrub);
    }
    EXPECT_EQ(r.plays(), 1) << "a direct load only moves the receiver";
    EXPECT_FALSE(diagnosticTexts(*r.cast).join('\n').contains("Restarting"));

    // The same file to a receiver that always gets a conversion: the seek restarts the stream there.
    r.cast->setAlwaysTranscode(r.id, true);
    r.notice->clear();
    ASSERT_TRUE(r.p.bridge->openEntry(0));
    EXPECT_EQ(r.cast->mode(), "transcode");
    EXPECT_EQ(r.lastNotice(),
        "Converting for " + r.name + " (transcoding requested) — uses more CPU; quality depends on the source");
    ASSERT_TRUE(r.waitPlays(2));
    const QByteArray firstStream = r.receiver.contentLocation;
    r.cast->seek(42'000'000);
    EXPECT_TRUE(diagnosticTexts(*r.cast).contains("Restarting the stream at 42.0 s"));
    EXPECT_EQ(r.cast->mode(), "transcode");
    ASSERT_TRUE(r.waitPlays(3));
    EXPECT_NE(r.receiver.contentLocation, firstStream) << "a new stream";
    EXPECT_EQ(r.receiver.startPosition.toDouble(), 0.0) << "which the receiver plays from its start";
    ASSERT_TRUE(r.receiverAt(0.0, 58.0));
    EXPECT_EQ(r.cast->position(), 42'000'000);
    EXPECT_EQ(r.cast->duration(), 100'000'000);
}

// Opening from the start of a load until the controller has it; connecting without a source is no open.
TEST(CastSessionRemote, StateWhileALoadIsPrepared)
{
    Remote r;
    r.receiver.set("/server-info", AirPlayReceiver::Override { 0, false, false, 1500 });
    ASSERT_TRUE(r.start(false));
    ASSERT_EQ(r.cast->controller()->state(), CastController::Connecting);
    EXPECT_EQ(r.cast->state(), kIdle);
    EXPECT_TRUE(r.cast->busy());

    r.cast->load(fixturePath("hundred-seconds.mp4"), 0);
    ASSERT_EQ(r.plays(), 0);
    EXPECT_EQ(r.cast->state(), kOpening);
    EXPECT_TRUE(r.cast->busy());
    r.cast->play();
    r.cast->pause();
    ASSERT_TRUE(waitFor([&] { return r.plays() == 1; }));
    EXPECT_TRUE(r.receiver.requestsTo("/rate").isEmpty()) << "play and pause are dropped while loading";
    EXPECT_EQ(diagnosticTexts(*r.cast).filter(QRegularExpression("^Loading http://127\\.0\\.0\\.1:\\d+/")).size(), 1);
    EXPECT_EQ(r.cast->status(), "Loading…");

    ASSERT_TRUE(waitFor([&] { return r.cast->state() == kPlaying; }));
    EXPECT_FALSE(r.cast->busy());
    r.cast->pause();
    ASSERT_TRUE(waitFor([&] { return !r.receiver.requestsTo("/rate").isEmpty(); }));
    EXPECT_EQ(r.receiver.requestsTo("/rate").last().path, "/rate?value=0.000000");
}

// Stopping while a load waits for the receiver drops that load: nothing starts playing afterwards.
TEST(CastSessionRemote, StopWhileALoadIsPreparedLoadsNothing)
{
    Remote r;
    r.receiver.set("/server-info", AirPlayReceiver::Override { 0, false, false, 1000 });
    ASSERT_TRUE(r.start(false));
    r.cast->setAlwaysTranscode(r.id, true);
    r.cast->load(fixturePath("hundred-seconds.mp4"), 0);
    ASSERT_EQ(r.cast->state(), kOpening);
    r.cast->stopPlayback();
    EXPECT_EQ(r.cast->state(), kIdle);
    ASSERT_TRUE(waitFor([&] { return r.cast->status() == "Connected"; }));
    QTest::qWait(1000);
    EXPECT_EQ(r.plays(), 0);
    EXPECT_EQ(diagnosticTexts(*r.cast).filter("Loading ").size(), 0);
}

// A cast that ends while a load is prepared leaves nothing behind for the next one.
TEST(CastSessionRemote, AnEndedCastLeavesNoLoadBehind)
{
    const std::pair<const char*, std::function<void(Remote&)>> ends[] = {
        { "an unreadable file",
            [](Remote& r) {
                r.p.bridge->restorePlaylist({ fixturePath("garbage.mp4") }, -1);
                r.p.bridge->openEntry(0);
            } },
        { "stop while preparing",
            [](Remote& r) {
                r.cast->stop();
                r.cast->start(r.id);
                r.cast->load(fixturePath("hundred-seconds.mp4"), 0);
                ASSERT_EQ(r.cast->state(), kOpening);
                r.cast->stop();
            } },
    };
    for (const auto& [name, end] : ends) {
        SCOPED_TRACE(name);
        Remote r;
        ASSERT_TRUE(r.start());
        r.receiver.set("/server-info", AirPlayReceiver::Override { 0, false, false, 1500 });
        end(r);
        EXPECT_FALSE(r.cast->active());
        EXPECT_FALSE(r.p.bridge->casting());

        r.cast->start(r.id);
        ASSERT_EQ(r.cast->controller()->state(), CastController::Connecting);
        EXPECT_EQ(r.cast->state(), kIdle) << "not Opening";
        ASSERT_TRUE(waitFor([&] { return r.cast->status() == "Connected"; }));
        EXPECT_FALSE(r.cast->busy());
        EXPECT_EQ(r.cast->state(), kIdle);
        EXPECT_EQ(r.cast->position(), 0);
        EXPECT_EQ(r.cast->duration(), 0);
        EXPECT_EQ(r.plays(), 0);
    }
}

TEST(CastSessionRemote, AnUnreadableFileEndsTheCast)
{
    Remote r;
    ASSERT_TRUE(r.start());
    r.p.bridge->restorePlaylist({ fixturePath("garbage.mp4") }, -1);
    r.p.bridge->openEntry(0);
    EXPECT_EQ(r.cast->lastError(), "garbage.mp4 cannot be read");
    EXPECT_EQ(r.lastNotice(), "garbage.mp4 cannot be read");
    EXPECT_FALSE(r.cast->active());
    EXPECT_FALSE(r.p.bridge->casting());
    QTest::qWait(300);
    EXPECT_EQ(r.p.session.state(), PlayerState::Idle) << "no local resume";
    EXPECT_EQ(r.plays(), 0);
}

// A renderer without a rendering control service gets no volume command; the user is told.
TEST(CastSessionRemote, AReceiverWithoutVolumeControlIsNamed)
{
    SoapRenderer renderer;
    kvr::test::LoopbackHttpServer descriptions;
    descriptions.answer("/desc.xml", 200, kvr::test::loftDescription(renderer.url("/avt")));
    Remote r;
    r.cast->addManual("dlna", descriptions.url("/desc.xml").toString());
    ASSERT_TRUE(waitFor([&] { return r.cast->discovery().device("dlna:uuid:loft") != nullptr; }));
    r.cast->start("dlna:uuid:loft");
    ASSERT_TRUE(waitFor([&] { return r.cast->status() == "Connected" && r.p.bridge->casting(); }));
    r.notice->clear();
    r.p.bridge->setVolume(0.5);
    ASSERT_EQ(r.notice->size(), 1);
    EXPECT_EQ(r.lastNotice(), "Loft does not offer volume control");
    EXPECT_EQ(r.cast->volume(), 1.0);
    QTest::qWait(300);
    for (const SoapRenderer::Request& request : renderer.requests())
        EXPECT_NE(request.action, "SetVolume");
}

// A Matroska file with text subtitles to the Cast v2 receiver, then on to AirPlay mid-play, then stopped.
TEST(CastSessionRemote, CastsToChromecastAndSwitchesToAirPlay)
{
    ASSERT_TRUE(QSslSocket::supportsSsl()) << "no TLS backend for Qt";
    ChromecastReceiver chromecast(fixturePath("kvr-test-receiver.pem"));
    // The player prefers English subtitles: multi.mkv's text track goes along.
    QSettings().setValue("prefs/subtitleLanguage", "eng");
    Remote r;
    QSettings().remove("prefs/subtitleLanguage");
    const QString castAt = QStringLiteral("127.0.0.1:%1").arg(chromecast.port());
    const QString castId = "chromecast:manual-" + castAt;
    r.cast->addManual("chromecast", castAt);
    ASSERT_TRUE(waitFor([&] { return r.cast->discovery().device(castId) != nullptr; }));
    r.cast->start(castId);
    ASSERT_TRUE(waitFor([&] { return r.cast->status() == "Connected" && r.p.bridge->casting(); }));

    const QString file = fixturePath("multi.mkv");
    r.p.bridge->restorePlaylist({ file }, -1);
    ASSERT_TRUE(r.p.bridge->openEntry(0));
    using Cast = ChromecastReceiver;
    ASSERT_TRUE(waitFor([&] { return !chromecast.messagesOfType(Cast::kMedia, "LOAD").isEmpty(); }));
    const QJsonObject media = chromecast.messagesOfType(Cast::kMedia, "LOAD").last().json.value("media").toObject();
    const QString base = QStringLiteral("http://127.0.0.1:%1/").arg(r.cast->server().port());
    EXPECT_TRUE(media.value("contentId").toString().startsWith(base))
        << media.value("contentId").toString().toStdString();
    const QJsonArray tracks = media.value("tracks").toArray();
    ASSERT_EQ(tracks.size(), 1);
    EXPECT_EQ(tracks[0].toObject().value("trackContentType").toString(), "text/vtt");
    EXPECT_TRUE(tracks[0].toObject().value("trackContentId").toString().startsWith(base));
    EXPECT_TRUE(
        diagnosticTexts(*r.cast).filter(QRegularExpression("^Subtitles sent as WebVTT \\(\\d+ cues bytes\\)$")).size()
        == 1);
    ASSERT_TRUE(waitFor([&] { return r.p.bridge->state() == MediaSessionBridge::State::Playing; }));

    // The receiver is 1.5 s in when the user switches.
    QJsonObject entry { { "mediaSessionId", chromecast.mediaSessionId() }, { "playerState", "PLAYING" },
        { "currentTime", 1.5 }, { "media", QJsonObject { { "contentId", media.value("contentId") } } } };
    chromecast.sendMediaStatus(entry);
    ASSERT_TRUE(waitFor([&] { return r.cast->position() >= 1'500'000; }));
    r.cast->start(r.id);
    if (auto* airPlay = qobject_cast<AirPlayController*>(r.cast->controller()))
        airPlay->setPollInterval(100);
    EXPECT_TRUE(r.p.bridge->casting());
    ASSERT_TRUE(r.waitPlays(1));
    EXPECT_TRUE(r.p.bridge->casting());
    EXPECT_EQ(r.cast->deviceId(), r.id);
    EXPECT_EQ(r.p.bridge->currentEntry(), file);
    ASSERT_TRUE(r.receiverAt(0.0, 10.0));
    EXPECT_GE(r.cast->position(), 1'500'000) << "the same source at the old position";
    EXPECT_LT(r.cast->position(), 3'000'000);

    ASSERT_TRUE(r.receiverAt(0.2, 10.0, 1.0));
    r.cast->stop();
    ASSERT_TRUE(waitFor([&] { return !r.receiver.requestsTo("/stop").isEmpty(); }));
    EXPECT_EQ(r.receiver.requestsTo("/stop").last().method, "POST");
    EXPECT_FALSE(r.p.bridge->casting());
}
