#include "tests/support/TestSupport.h"
#include "tests/ui/GTestQtPrinters.h"
#include "tests/ui/cast/ChromecastReceiver.h"
#include "ui/cast/ChromecastController.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

using kvr::test::ChromecastReceiver;
using kvr::ui::cast::CastController;
using kvr::ui::cast::CastDevice;
using kvr::ui::cast::ChromecastController;
using kvr::ui::cast::LoadRequest;
using Message = ChromecastReceiver::Message;

namespace {

constexpr int kWaitMs = 20000;
const QString kName = QStringLiteral("Living Room TV");
const QString kConnection = ChromecastReceiver::kConnection;
const QString kHeartbeat = ChromecastReceiver::kHeartbeat;
const QString kReceiver = ChromecastReceiver::kReceiver;
const QString kMedia = ChromecastReceiver::kMedia;

QString pemPath()
{
    return QString::fromStdString(kvr::test::fixture("kvr-test-receiver.pem").string());
}

CastDevice receiverAt(quint16 port)
{
    CastDevice d;
    d.id = "chromecast:test";
    d.type = 0;
    d.name = kName;
    d.address = QHostAddress(QHostAddress::LocalHost);
    d.port = port;
    return d;
}

LoadRequest request()
{
    LoadRequest r;
    r.url = QUrl("http://127.0.0.1:8080/media/1.mp4");
    r.contentType = "video/mp4";
    r.title = "Clip";
    r.durationSeconds = 120;
    return r;
}

bool waitFor(const std::function<bool()>& condition)
{
    return QTest::qWaitFor(condition, kWaitMs);
}

// A controller on a test receiver, with a spy on every signal. Heartbeat and poll are slow unless a test
// needs them, so they do not mix into the messages a test reads.
struct Rig {
    ChromecastReceiver receiver { pemPath() };
    ChromecastController controller { receiverAt(receiver.port()) };
    QSignalSpy connected { &controller, &CastController::connected };
    QSignalSpy statusChanged { &controller, &CastController::statusChanged };
    QSignalSpy ended { &controller, &CastController::ended };
    QSignalSpy failed { &controller, &CastController::failed };
    QSignalSpy notice { &controller, &CastController::notice };

    explicit Rig(ChromecastController::Timings timings = { 60000, 60000, 120000, 100 })
    {
        controller.setTimings(timings);
    }

    bool connect()
    {
        controller.connectDevice();
        return waitFor([&] { return connected.size() >= 1; });
    }
    bool waitForState(int state)
    {
        return waitFor([&] { return controller.state() == state; });
    }
    // Everything the receiver sent before now has been handled once the controller answers this PING.
    bool barrier()
    {
        const int before = receiver.pongs();
        receiver.ping();
        return waitFor([&] { return receiver.pongs() > before; });
    }
    // The receiver's messages from index on, PONGs left out.
    QList<Message> since(qsizetype index) const
    {
        QList<Message> found;
        const QList<Message>& all = receiver.messages();
        for (qsizetype i = index; i < all.size(); ++i)
            if (all[i].type() != "PONG")
                found.append(all[i]);
        return found;
    }
    // The last LOAD the receiver got, once it arrived.
    QJsonObject lastLoad(qsizetype count)
    {
        if (!waitFor([&] { return receiver.messagesOfType(kMedia, "LOAD").size() >= count; }))
            return {};
        return receiver.messagesOfType(kMedia, "LOAD").last().json;
    }
};

QString last(const QSignalSpy& spy)
{
    return spy.isEmpty() ? QString() : spy.last().at(0).toString();
}

QJsonObject mediaEntry(const QString& playerState, double time)
{
    return QJsonObject { { "mediaSessionId", 1 }, { "playerState", playerState }, { "currentTime", time } };
}

} // namespace

TEST(ChromecastController, ConnectsLaunchesAdoptsTheTransportAndSendsAPendingLoad)
{
    ASSERT_TRUE(QSslSocket::supportsSsl()) << "no TLS backend for Qt";
    Rig rig;
    ASSERT_TRUE(rig.receiver.isListening());
    EXPECT_TRUE(rig.controller.supportsSubtitleTracks());
    EXPECT_TRUE(rig.controller.supportsVolume());
    EXPECT_TRUE(QRegularExpression("^sender-[1-9][0-9]{5}$").match(rig.controller.senderId()).hasMatch());
    const ChromecastController::Timings defaults;
    EXPECT_EQ(defaults.heartbeatMs, 5000);
    EXPECT_EQ(defaults.statusPollMs, 5000);
    EXPECT_EQ(defaults.silenceMs, 16000);
    EXPECT_EQ(defaults.reconnectStepMs, 1000);

    // Given before the app runs: nothing goes out until the transport is adopted.
    rig.controller.load(request());
    rig.controller.connectDevice();
    EXPECT_EQ(rig.controller.state(), CastController::Connecting);
    ASSERT_TRUE(rig.waitForState(CastController::Playing));
    EXPECT_EQ(rig.connected.size(), 1);
    EXPECT_EQ(rig.controller.transportId(), "transport-1");
    EXPECT_EQ(rig.controller.sessionId(), "session-1");
    EXPECT_EQ(rig.controller.mediaSessionId(), 1);

    struct Expected {
        QString nameSpace, destination, type;
    };
    const std::vector<Expected> expected { { kConnection, "receiver-0", "CONNECT" },
        { kReceiver, "receiver-0", "LAUNCH" }, { kConnection, "transport-1", "CONNECT" },
        { kMedia, "transport-1", "LOAD" } };
    const QList<Message> sent = rig.since(0);
    ASSERT_GE(sent.size(), qsizetype(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sent[i].nameSpace, expected[i].nameSpace);
        EXPECT_EQ(sent[i].destination, expected[i].destination);
        EXPECT_EQ(sent[i].type(), expected[i].type);
        EXPECT_EQ(sent[i].source, rig.controller.senderId());
    }
    EXPECT_EQ(sent[1].json.value("appId").toString(), "CC1AD845");
    EXPECT_EQ(sent[1].json.value("requestId").toInt(), 1);
    EXPECT_EQ(sent[3].json.value("requestId").toInt(), 2);

    // The same transport again: no second CONNECT, no second connected.
    const qsizetype before = rig.receiver.messages().size();
    rig.receiver.sendReceiverStatus();
    ASSERT_TRUE(rig.barrier());
    EXPECT_TRUE(rig.since(before).isEmpty());
    EXPECT_EQ(rig.connected.size(), 1);
    EXPECT_TRUE(rig.failed.isEmpty());
    EXPECT_TRUE(rig.notice.isEmpty());
}

TEST(ChromecastController, BuildsTheLoadFromTheRequest)
{
    Rig rig;
    ASSERT_TRUE(rig.connect());

    struct Case {
        const char* what;
        LoadRequest request;
        // Checked on the LOAD the receiver got.
        std::function<void(const QJsonObject& load, const QJsonObject& media)> check;
        double position;
    };
    auto with = [](const std::function<void(LoadRequest&)>& change) {
        LoadRequest r = request();
        change(r);
        return r;
    };
    const std::vector<Case> cases {
        { "video with an artist", with([](LoadRequest& r) {
             r.artist = "Band";
             r.startSeconds = 30;
         }),
            [](const QJsonObject& load, const QJsonObject& media) {
                const QJsonObject metadata = media.value("metadata").toObject();
                EXPECT_EQ(metadata.value("metadataType").toInt(-1), 0);
                EXPECT_EQ(metadata.value("title").toString(), "Clip");
                EXPECT_EQ(metadata.value("subtitle").toString(), "Band");
                EXPECT_FALSE(metadata.contains("artist"));
                EXPECT_EQ(load.value("currentTime").toDouble(), 30.0);
                EXPECT_EQ(load.value("autoplay").toBool(), true);
                EXPECT_EQ(media.value("streamType").toString(), "BUFFERED");
                EXPECT_EQ(media.value("contentType").toString(), "video/mp4");
                EXPECT_EQ(media.value("duration").toDouble(), 120.0);
                EXPECT_FALSE(media.contains("tracks"));
                EXPECT_FALSE(load.contains("activeTrackIds"));
            },
            30 },
        { "audio with an artist", with([](LoadRequest& r) {
             r.video = false;
             r.artist = "Band";
         }),
            [](const QJsonObject&, const QJsonObject& media) {
                const QJsonObject metadata = media.value("metadata").toObject();
                EXPECT_EQ(metadata.value("metadataType").toInt(-1), 3);
                EXPECT_EQ(metadata.value("artist").toString(), "Band");
                EXPECT_FALSE(metadata.contains("subtitle"));
            },
            0 },
        { "no artist, no known duration", with([](LoadRequest& r) { r.durationSeconds = 0; }),
            [](const QJsonObject&, const QJsonObject& media) {
                const QJsonObject metadata = media.value("metadata").toObject();
                EXPECT_FALSE(metadata.contains("artist"));
                EXPECT_FALSE(metadata.contains("subtitle"));
                EXPECT_FALSE(media.contains("duration"));
            },
            0 },
        { "live conversion starts at 0", with([](LoadRequest& r) {
             r.liveConversion = true;
             r.startSeconds = 40;
         }),
            [](const QJsonObject& load, const QJsonObject&) { EXPECT_EQ(load.value("currentTime").toDouble(-1), 0.0); },
            0 },
        { "sidecar without a language",
            with([](LoadRequest& r) { r.subtitleUrl = QUrl("http://127.0.0.1:8080/subs/1.vtt"); }),
            [](const QJsonObject& load, const QJsonObject& media) {
                const QJsonArray tracks = media.value("tracks").toArray();
                ASSERT_EQ(tracks.size(), 1);
                const QJsonObject track = tracks[0].toObject();
                EXPECT_EQ(track.value("trackId").toInt(), 1);
                EXPECT_EQ(track.value("type").toString(), "TEXT");
                EXPECT_EQ(track.value("subtype").toString(), "SUBTITLES");
                EXPECT_EQ(track.value("trackContentId").toString(), "http://127.0.0.1:8080/subs/1.vtt");
                EXPECT_EQ(track.value("trackContentType").toString(), "text/vtt");
                EXPECT_EQ(track.value("name").toString(), "Subtitles");
                EXPECT_EQ(track.value("language").toString(), "und");
                EXPECT_EQ(load.value("activeTrackIds").toArray(), QJsonArray { 1 });
                const QJsonObject style = media.value("textTrackStyle").toObject();
                EXPECT_EQ(style.value("backgroundColor").toString(), "#00000000");
                EXPECT_EQ(style.value("edgeType").toString(), "OUTLINE");
                EXPECT_EQ(style.value("edgeColor").toString(), "#000000FF");
                EXPECT_EQ(style.value("foregroundColor").toString(), "#FFFFFFFF");
            },
            0 },
        { "sidecar in German", with([](LoadRequest& r) {
             r.subtitleUrl = QUrl("http://127.0.0.1:8080/subs/1.vtt");
             r.subtitleLanguage = "de";
         }),
            [](const QJsonObject&, const QJsonObject& media) {
                const QJsonObject track = media.value("tracks").toArray().at(0).toObject();
                EXPECT_EQ(track.value("name").toString(), "de");
                EXPECT_EQ(track.value("language").toString(), "de");
            },
            0 },
        { "percent-encoded addresses stay encoded", with([](LoadRequest& r) {
             r.url = QUrl::fromEncoded("http://127.0.0.1:8080/media/My%20Movie%20%C3%A9.mp4");
             r.subtitleUrl = QUrl::fromEncoded("http://127.0.0.1:8080/subs/My%20Movie%20%C3%A9.vtt");
         }),
            [](const QJsonObject&, const QJsonObject& media) {
                EXPECT_EQ(media.value("contentId").toString(), "http://127.0.0.1:8080/media/My%20Movie%20%C3%A9.mp4");
                EXPECT_EQ(media.value("contentUrl").toString(), "http://127.0.0.1:8080/media/My%20Movie%20%C3%A9.mp4");
                EXPECT_EQ(media.value("tracks").toArray().at(0).toObject().value("trackContentId").toString(),
                    "http://127.0.0.1:8080/subs/My%20Movie%20%C3%A9.vtt");
            },
            0 },
    };
    qsizetype loads = 0;
    int lastRequestId = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rig.controller.load(c.request);
        // Sent at once: the app's transport is known.
        EXPECT_EQ(rig.controller.state(), CastController::Loading);
        EXPECT_EQ(rig.controller.position(), c.position);
        EXPECT_EQ(rig.controller.mediaSessionId(), 0);
        const QJsonObject load = rig.lastLoad(++loads);
        ASSERT_FALSE(load.isEmpty());
        EXPECT_FALSE(load.contains("mediaSessionId"));
        EXPECT_GT(load.value("requestId").toInt(), lastRequestId);
        lastRequestId = load.value("requestId").toInt();
        c.check(load, load.value("media").toObject());
        ASSERT_TRUE(rig.waitForState(CastController::Playing));
    }
    EXPECT_TRUE(rig.failed.isEmpty());
}

TEST(ChromecastController, TurnsMediaStatusIntoStates)
{
    Rig rig;
    rig.receiver.loadAnswer = ChromecastReceiver::Load::Ignore;
    ASSERT_TRUE(rig.connect());
    rig.controller.load(request());
    ASSERT_FALSE(rig.lastLoad(1).isEmpty());

    // The previous media's idle status while the LOAD is pending says nothing about the new one.
    rig.receiver.sendMediaStatus(mediaEntry("IDLE", 0));
    ASSERT_TRUE(rig.barrier());
    EXPECT_EQ(rig.controller.state(), CastController::Loading);

    QJsonObject playing = mediaEntry("PLAYING", 5);
    playing["media"] = QJsonObject { { "duration", 90.0 } };
    rig.receiver.sendMediaStatus(playing);
    ASSERT_TRUE(rig.waitForState(CastController::Playing));
    EXPECT_EQ(rig.controller.position(), 5.0);
    EXPECT_EQ(rig.controller.duration(), 90.0);
    EXPECT_EQ(rig.controller.mediaSessionId(), 1);

    // A status without a duration, or with 0, keeps the known one.
    rig.receiver.sendMediaStatus(mediaEntry("PAUSED", 7));
    ASSERT_TRUE(rig.waitForState(CastController::Paused));
    QJsonObject zero = mediaEntry("BUFFERING", 8);
    zero["media"] = QJsonObject { { "duration", 0 } };
    rig.receiver.sendMediaStatus(zero);
    ASSERT_TRUE(rig.waitForState(CastController::Buffering));
    EXPECT_EQ(rig.controller.duration(), 90.0);
    EXPECT_EQ(rig.controller.position(), 8.0);

    // No LOAD in flight now: the same idle status means the media stopped, not that it ended.
    rig.receiver.sendMediaStatus(mediaEntry("IDLE", 9));
    ASSERT_TRUE(rig.waitForState(CastController::Idle));
    EXPECT_TRUE(rig.ended.isEmpty());

    int stateAtEnd = -1;
    QObject::connect(
        &rig.controller, &CastController::ended, &rig.controller, [&] { stateAtEnd = rig.controller.state(); });
    QJsonObject finished = mediaEntry("IDLE", 90);
    finished["idleReason"] = "FINISHED";
    rig.receiver.sendMediaStatus(finished);
    ASSERT_TRUE(waitFor([&] { return rig.ended.size() == 1; }));
    EXPECT_EQ(stateAtEnd, CastController::Idle);
    EXPECT_TRUE(rig.failed.isEmpty());

    QJsonObject error = mediaEntry("IDLE", 3);
    error["idleReason"] = "ERROR";
    rig.receiver.sendMediaStatus(error);
    ASSERT_TRUE(waitFor([&] { return rig.failed.size() == 1; }));
    EXPECT_EQ(rig.controller.state(), CastController::Error);
    EXPECT_EQ(last(rig.failed), "Living Room TV reported a playback error (unsupported format or the stream stopped)");
    EXPECT_EQ(rig.ended.size(), 1);
}

TEST(ChromecastController, ReadsTheVolumeFromBothStatuses)
{
    Rig rig;
    rig.receiver.volumeLevel = 0.5;
    rig.receiver.volumeMuted = true;
    ASSERT_TRUE(rig.connect());
    // Muted on the receiver: nothing is heard.
    EXPECT_EQ(rig.controller.volume(), 0.0);

    rig.receiver.volumeMuted = false;
    rig.receiver.volumeLevel = 0.3;
    rig.receiver.sendReceiverStatus();
    ASSERT_TRUE(rig.barrier());
    EXPECT_DOUBLE_EQ(rig.controller.volume(), 0.3);

    // A muted media stream is not the receiver's volume.
    QJsonObject entry = mediaEntry("PLAYING", 1);
    entry["volume"] = QJsonObject { { "level", 0.5 }, { "muted", true } };
    rig.receiver.sendMediaStatus(entry);
    ASSERT_TRUE(rig.barrier());
    EXPECT_DOUBLE_EQ(rig.controller.volume(), 0.3);
    entry["volume"] = QJsonObject { { "level", 0.7 }, { "muted", false } };
    rig.receiver.sendMediaStatus(entry);
    ASSERT_TRUE(rig.barrier());
    EXPECT_DOUBLE_EQ(rig.controller.volume(), 0.7);
}

TEST(ChromecastController, SendsTransportCommandsWithGrowingRequestIds)
{
    Rig rig;
    ASSERT_TRUE(rig.connect());
    rig.controller.load(request());
    ASSERT_TRUE(rig.waitForState(CastController::Playing));

    rig.controller.pause();
    ASSERT_TRUE(rig.waitForState(CastController::Paused));
    const qsizetype before = rig.receiver.messages().size();
    rig.controller.seek(12);
    EXPECT_EQ(rig.controller.position(), 12.0);
    ASSERT_TRUE(waitFor([&] { return rig.receiver.messagesOfType(kMedia, "SEEK").size() == 1; }));
    rig.controller.play();
    ASSERT_TRUE(rig.waitForState(CastController::Playing));
    rig.controller.seek(3.5);
    rig.controller.setVolume(1.7);
    EXPECT_EQ(rig.controller.volume(), 1.0);
    rig.controller.setVolume(-0.2);
    EXPECT_EQ(rig.controller.volume(), 0.0);
    rig.controller.stop();
    ASSERT_TRUE(waitFor([&] { return rig.receiver.messagesOfType(kMedia, "STOP").size() == 1; }));

    const QList<Message> seeks = rig.receiver.messagesOfType(kMedia, "SEEK");
    ASSERT_EQ(seeks.size(), 2);
    EXPECT_EQ(seeks[0].json.value("resumeState").toString(), "PLAYBACK_PAUSE");
    EXPECT_EQ(seeks[0].json.value("currentTime").toDouble(), 12.0);
    EXPECT_EQ(seeks[0].json.value("mediaSessionId").toInt(), 1);
    EXPECT_EQ(seeks[1].json.value("resumeState").toString(), "PLAYBACK_START");
    EXPECT_EQ(seeks[1].json.value("currentTime").toDouble(), 3.5);
    const QList<Message> volumes = rig.receiver.messagesOfType(kReceiver, "SET_VOLUME");
    ASSERT_EQ(volumes.size(), 2);
    EXPECT_EQ(volumes[0].destination, "receiver-0");
    EXPECT_EQ(volumes[0].json.value("volume").toObject().value("level").toDouble(-1), 1.0);
    EXPECT_EQ(volumes[1].json.value("volume").toObject().value("level").toDouble(-1), 0.0);

    // One counter across every namespace: LAUNCH 1, LOAD 2, then one more per message.
    int expectedId = 1;
    for (const Message& m : rig.receiver.messages()) {
        if (!m.json.contains("requestId"))
            continue;
        EXPECT_EQ(m.json.value("requestId").toInt(), expectedId) << m.type().toStdString();
        ++expectedId;
    }
    EXPECT_EQ(rig.since(before).size(), 6);
    EXPECT_TRUE(rig.failed.isEmpty());
    EXPECT_TRUE(rig.notice.isEmpty());
}

TEST(ChromecastController, RefusedCommandIsANoticeButARefusedLoadFails)
{
    Rig rig;
    rig.receiver.loadAnswer = ChromecastReceiver::Load::Play;
    ASSERT_TRUE(rig.connect());
    rig.controller.load(request());
    ASSERT_TRUE(rig.waitForState(CastController::Playing));
    ASSERT_EQ(rig.controller.mediaSessionId(), 1);

    // A new LOAD forgets the old media session, so a pause sent before the new one is known carries none;
    // the receiver refuses it and the cast goes on.
    rig.receiver.loadAnswer = ChromecastReceiver::Load::Ignore;
    rig.controller.load(request());
    rig.controller.pause();
    ASSERT_TRUE(waitFor([&] { return rig.notice.size() == 1; }));
    EXPECT_EQ(last(rig.notice), "Living Room TV did not accept a command (INVALID_MEDIA_SESSION_ID)");
    const QList<Message> pauses = rig.receiver.messagesOfType(kMedia, "PAUSE");
    ASSERT_EQ(pauses.size(), 1);
    EXPECT_FALSE(pauses[0].json.contains("mediaSessionId"));
    ASSERT_TRUE(rig.barrier());
    EXPECT_EQ(rig.controller.state(), CastController::Loading);
    EXPECT_TRUE(rig.failed.isEmpty());

    struct Case {
        ChromecastReceiver::Load answer;
        const char* message;
    };
    for (const Case& c :
        { Case { ChromecastReceiver::Load::Invalid, "Living Room TV could not play this media (INVALID_PARAMS)" },
            Case { ChromecastReceiver::Load::Failed, "Living Room TV could not play this media (LOAD_FAILED)" } }) {
        SCOPED_TRACE(c.message);
        rig.receiver.loadAnswer = c.answer;
        const qsizetype failures = rig.failed.size();
        rig.controller.load(request());
        ASSERT_TRUE(waitFor([&] { return rig.failed.size() == failures + 1; }));
        EXPECT_EQ(last(rig.failed), c.message);
        EXPECT_EQ(rig.controller.state(), CastController::Error);
    }
    EXPECT_EQ(rig.notice.size(), 1);
}

TEST(ChromecastController, ARefusedPlatformRequestIsANoticeAndTheCastGoesOn)
{
    Rig rig;
    ASSERT_TRUE(rig.connect());
    rig.controller.load(request());
    ASSERT_TRUE(rig.waitForState(CastController::Playing));

    // Each refusal answers something other than the launch: the media keeps playing and its commands still go.
    struct Case {
        const char* name;
        std::function<void(Rig&)> provoke;
        const char* notice;
    };
    const Case cases[] = {
        { "a volume change",
            [](Rig& r) {
                r.receiver.refuseVolume = true;
                r.controller.setVolume(0.4);
            },
            "Living Room TV did not accept a volume change (INVALID_COMMAND)" },
        { "an unknown request",
            [](Rig& r) {
                r.receiver.send(
                    kReceiver, "receiver-0", QJsonObject { { "type", "INVALID_REQUEST" }, { "requestId", 999 } });
            },
            "Living Room TV did not accept a command (INVALID_REQUEST)" },
        { "no request id after the launch",
            [](Rig& r) {
                r.receiver.send(kReceiver, "receiver-0", QJsonObject { { "type", "INVALID_REQUEST" } });
            },
            "Living Room TV did not accept a command (INVALID_REQUEST)" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qsizetype notices = rig.notice.size();
        c.provoke(rig);
        ASSERT_TRUE(waitFor([&] { return rig.notice.size() == notices + 1; }));
        EXPECT_EQ(last(rig.notice), c.notice);
        ASSERT_TRUE(rig.barrier());
        EXPECT_TRUE(rig.failed.isEmpty());
        EXPECT_EQ(rig.controller.state(), CastController::Playing);
    }
    rig.controller.pause();
    ASSERT_TRUE(rig.waitForState(CastController::Paused));
    EXPECT_TRUE(rig.failed.isEmpty());
}

TEST(ChromecastController, ReportsLaunchErrorsAndAGoneApp)
{
    struct Case {
        ChromecastReceiver::Launch launch;
        const char* message;
    };
    for (const Case& c :
        { Case { ChromecastReceiver::Launch::Error, "Living Room TV could not start its media player: NOT_FOUND" },
            Case { ChromecastReceiver::Launch::Invalid, "Living Room TV could not start its media player: " } }) {
        SCOPED_TRACE(c.message);
        Rig rig;
        rig.receiver.launch = c.launch;
        rig.controller.connectDevice();
        ASSERT_TRUE(waitFor([&] { return rig.failed.size() == 1; }));
        EXPECT_EQ(last(rig.failed), c.message);
        EXPECT_EQ(rig.controller.state(), CastController::Error);
        EXPECT_TRUE(rig.connected.isEmpty());
    }

    {
        // While the launch waits for its answer, a refusal of another request is not the launch's; one that
        // names no request can only be the launch's.
        Rig rig;
        rig.receiver.launch = ChromecastReceiver::Launch::Ignore;
        rig.controller.connectDevice();
        ASSERT_TRUE(waitFor([&] { return rig.receiver.messagesOfType(kReceiver, "LAUNCH").size() == 1; }));
        rig.receiver.send(kReceiver, "receiver-0", QJsonObject { { "type", "INVALID_REQUEST" }, { "requestId", 999 } });
        ASSERT_TRUE(waitFor([&] { return rig.notice.size() == 1; }));
        EXPECT_TRUE(rig.failed.isEmpty());
        rig.receiver.send(kReceiver, "receiver-0", QJsonObject { { "type", "INVALID_REQUEST" } });
        ASSERT_TRUE(waitFor([&] { return rig.failed.size() == 1; }));
        EXPECT_EQ(last(rig.failed), "Living Room TV could not start its media player: ");
        EXPECT_TRUE(rig.connected.isEmpty());
    }

    Rig rig;
    ASSERT_TRUE(rig.connect());
    // A CLOSE from anyone but the transport means nothing.
    rig.receiver.send(kConnection, "transport-9", QJsonObject { { "type", "CLOSE" } });
    ASSERT_TRUE(rig.barrier());
    EXPECT_TRUE(rig.failed.isEmpty());
    rig.receiver.send(kConnection, "transport-1", QJsonObject { { "type", "CLOSE" } });
    ASSERT_TRUE(waitFor([&] { return rig.failed.size() == 1; }));
    EXPECT_EQ(last(rig.failed), "Living Room TV closed the media app");
    EXPECT_EQ(rig.controller.state(), CastController::Error);
    EXPECT_TRUE(rig.controller.transportId().isEmpty());
}

TEST(ChromecastController, SilenceIsALossOnlyAtTheTickAfterItsLimit)
{
    Rig rig({ 250, 60000, 1500, 100 });
    ASSERT_TRUE(rig.connect());
    rig.controller.load(request());
    ASSERT_TRUE(rig.waitForState(CastController::Playing));

    rig.receiver.silent = true;
    const qsizetype start = rig.receiver.messages().size();
    ASSERT_TRUE(waitFor([&] { return rig.notice.size() == 1; }));
    // Everything the controller heard came no later than the receiver's last write.
    EXPECT_GT(rig.receiver.sinceLastWrite(), 1500);
    qsizetype pings = 0;
    for (const Message& m : rig.since(start))
        pings += m.type() == "PING" && m.connection == 1;
    // The ticks before the limit still sent their PINGs.
    EXPECT_GE(pings, 2);
    EXPECT_EQ(
        last(rig.notice), "Connection to Living Room TV lost (the receiver stopped answering) — reconnecting (1/3)");
    EXPECT_TRUE(rig.failed.isEmpty());

    // The receiver answers again: the app is adopted anew, but the media is not sent again.
    rig.receiver.silent = false;
    ASSERT_TRUE(waitFor([&] { return rig.connected.size() == 2; }));
    EXPECT_EQ(rig.receiver.connections(), 2);
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    ASSERT_TRUE(rig.barrier());
    EXPECT_EQ(rig.receiver.messagesOfType(kMedia, "LOAD").size(), 1);
}

TEST(ChromecastController, ThreeReconnectsThenFails)
{
    constexpr int step = 150;
    Rig rig({ 60000, 60000, 120000, step });
    ASSERT_TRUE(rig.connect());

    std::vector<qint64> at;
    QElapsedTimer clock;
    clock.start();
    auto stamp = [&] { at.push_back(clock.elapsed()); };
    QObject::connect(&rig.controller, &CastController::notice, &rig.controller, stamp);
    QObject::connect(&rig.controller, &CastController::failed, &rig.controller, stamp);

    rig.receiver.stopListening();
    rig.receiver.dropConnection();
    ASSERT_TRUE(waitFor([&] { return rig.failed.size() == 1; }));
    ASSERT_EQ(rig.notice.size(), 3);
    EXPECT_EQ(rig.notice[0].at(0).toString(),
        "Connection to Living Room TV lost (the connection closed) — reconnecting (1/3)");
    for (int n = 2; n <= 3; ++n)
        EXPECT_TRUE(rig.notice[n - 1].at(0).toString().endsWith(QString("— reconnecting (%1/3)").arg(n)))
            << rig.notice[n - 1].at(0).toString().toStdString();
    EXPECT_TRUE(last(rig.failed).startsWith("Lost the connection to Living Room TV: "))
        << last(rig.failed).toStdString();
    EXPECT_EQ(rig.controller.state(), CastController::Error);
    // The n-th reconnect waited n steps.
    ASSERT_EQ(at.size(), 4u);
    for (size_t n = 1; n < at.size(); ++n)
        EXPECT_GE(at[n] - at[n - 1], qint64(n) * step) << n;
    EXPECT_EQ(rig.receiver.connections(), 1);
}

TEST(ChromecastController, ANewConnectionIsReadFromItsFirstByte)
{
    Rig rig;
    ASSERT_TRUE(rig.connect());

    // Half a frame, then the connection drops; on the next connection the app is not launched again, so the
    // transport can only come from the first frame there (the status answering CONNECT).
    rig.receiver.launch = ChromecastReceiver::Launch::Ignore;
    rig.receiver.cutFrameAndDrop();
    ASSERT_TRUE(waitFor([&] { return rig.connected.size() == 2; }));
    EXPECT_EQ(last(rig.notice), "Connection to Living Room TV lost (the connection closed) — reconnecting (1/3)");
    EXPECT_EQ(rig.receiver.connections(), 2);

    // A frame announced above the limit: the stream cannot be cut any more, so the connection starts over.
    rig.receiver.sendOversizedPrefix();
    ASSERT_TRUE(waitFor([&] { return rig.connected.size() == 3; }));
    ASSERT_EQ(rig.notice.size(), 2);
    // The handshake in between gave the attempts back.
    EXPECT_EQ(
        last(rig.notice), "Connection to Living Room TV lost (bad message from the receiver) — reconnecting (1/3)");
    EXPECT_TRUE(rig.failed.isEmpty());
    EXPECT_EQ(rig.controller.transportId(), "transport-1");
}

TEST(ChromecastController, DisconnectStopsAndClosesQuietly)
{
    Rig rig({ 100, 100, 120000, 100 });
    ASSERT_TRUE(rig.connect());
    rig.controller.load(request());
    ASSERT_TRUE(rig.waitForState(CastController::Playing));

    const qsizetype before = rig.receiver.messages().size();
    rig.controller.disconnectDevice();
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    EXPECT_TRUE(rig.controller.transportId().isEmpty());
    ASSERT_TRUE(waitFor([&] { return !rig.receiver.hasConnection(); }));

    struct Expected {
        QString nameSpace, destination, type;
    };
    const std::vector<Expected> expected { { kMedia, "transport-1", "STOP" }, { kConnection, "transport-1", "CLOSE" },
        { kReceiver, "receiver-0", "STOP" }, { kConnection, "receiver-0", "CLOSE" } };
    QList<Message> sent;
    for (const Message& m : rig.since(before))
        if (m.type() != "PING" && m.type() != "GET_STATUS")
            sent.append(m);
    ASSERT_EQ(sent.size(), qsizetype(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sent[i].nameSpace, expected[i].nameSpace);
        EXPECT_EQ(sent[i].destination, expected[i].destination);
        EXPECT_EQ(sent[i].type(), expected[i].type);
    }
    EXPECT_EQ(sent[0].json.value("mediaSessionId").toInt(), 1);
    EXPECT_EQ(sent[2].json.value("sessionId").toString(), "session-1");

    // Longer than a reconnect step and several heartbeats: nothing is reported and nothing more is sent.
    const qsizetype after = rig.receiver.messages().size();
    QTest::qWait(600);
    EXPECT_TRUE(rig.failed.isEmpty());
    EXPECT_TRUE(rig.notice.isEmpty());
    EXPECT_EQ(rig.receiver.messages().size(), after);
    EXPECT_EQ(rig.receiver.connections(), 1);

    // Deleting a connected controller reports nothing either.
    ChromecastReceiver receiver(pemPath());
    auto controller = std::make_unique<ChromecastController>(receiverAt(receiver.port()));
    controller->setTimings({ 60000, 60000, 120000, 50 });
    int reported = 0;
    QObject context;
    QSignalSpy up(controller.get(), &CastController::connected);
    QObject::connect(controller.get(), &CastController::failed, &context, [&] { ++reported; });
    QObject::connect(controller.get(), &CastController::notice, &context, [&] { ++reported; });
    controller->connectDevice();
    ASSERT_TRUE(waitFor([&] { return up.size() == 1; }));
    controller.reset();
    ASSERT_TRUE(waitFor([&] { return !receiver.hasConnection(); }));
    QTest::qWait(300);
    EXPECT_EQ(reported, 0);
    EXPECT_EQ(receiver.connections(), 1);
}
