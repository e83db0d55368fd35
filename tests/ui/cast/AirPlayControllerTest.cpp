#include "tests/support/TestSupport.h"
#include "tests/ui/GTestQtPrinters.h"
#include "tests/ui/LoopbackHttpServer.h"
#include "tests/ui/cast/AirPlayReceiver.h"
#include "ui/cast/AirPlayController.h"

#include <QLocale>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

#include <clocale>
#include <memory>
#include <string>
#include <sys/socket.h>

using kvr::test::AirPlayReceiver;
using kvr::ui::cast::AirPlayController;
using kvr::ui::cast::CastController;
using kvr::ui::cast::CastDevice;
using kvr::ui::cast::LoadRequest;

namespace {

constexpr int kWaitMs = 20000;
constexpr int kPollMs = 50;

CastDevice receiverAt(quint16 port)
{
    CastDevice d;
    d.id = "airplay:test";
    d.type = 1;
    d.name = "Bedroom TV";
    d.address = QHostAddress(QHostAddress::LocalHost);
    d.port = port;
    return d;
}

LoadRequest request(double startSeconds = 0.0, double durationSeconds = 120.0, bool liveConversion = false)
{
    LoadRequest r;
    r.url = QUrl("http://127.0.0.1:8080/media/1.mp4");
    r.contentType = "video/mp4";
    r.title = "Clip";
    r.startSeconds = startSeconds;
    r.durationSeconds = durationSeconds;
    r.liveConversion = liveConversion;
    return r;
}

// A controller on a test receiver, polling fast, with a spy on every signal.
struct Rig {
    AirPlayReceiver receiver;
    AirPlayController controller { receiverAt(receiver.port()) };
    QSignalSpy connected { &controller, &CastController::connected };
    QSignalSpy statusChanged { &controller, &CastController::statusChanged };
    QSignalSpy ended { &controller, &CastController::ended };
    QSignalSpy failed { &controller, &CastController::failed };
    QSignalSpy notice { &controller, &CastController::notice };

    Rig() { controller.setPollInterval(kPollMs); }

    bool waitForState(int state)
    {
        return QTest::qWaitFor([&] { return controller.state() == state; }, kWaitMs);
    }
    bool waitForRequests(const QByteArray& path, int count)
    {
        return QTest::qWaitFor([&] { return receiver.requestsTo(path).size() >= count; }, kWaitMs);
    }
    // No poll goes out any more: polls already on their way land before a request sent after them (the
    // barrier), then several poll intervals pass without a new one.
    bool pollingHasStopped()
    {
        const int barriers = static_cast<int>(receiver.requestsTo("/scrub").size());
        controller.seek(controller.position());
        if (!waitForRequests("/scrub", barriers + 1))
            return false;
        QTest::qWait(kPollMs * 2);
        const qsizetype polls = receiver.requestsTo("/playback-info").size();
        QTest::qWait(kPollMs * 6);
        return receiver.requestsTo("/playback-info").size() == polls;
    }
    // Loaded and reported playing at least once.
    bool startPlaying(const LoadRequest& r = request())
    {
        controller.load(r);
        return waitForState(CastController::Playing);
    }
};

QString failure(const QSignalSpy& spy)
{
    return spy.isEmpty() ? QString() : spy.last().at(0).toString();
}

} // namespace

TEST(AirPlayController, EveryRequestCarriesTheSessionIdAndUserAgent)
{
    Rig rig;
    ASSERT_TRUE(rig.receiver.isListening());
    rig.controller.connectDevice();
    ASSERT_TRUE(rig.connected.wait(kWaitMs) || rig.connected.size() == 1);
    rig.controller.load(request(30, 120));
    ASSERT_TRUE(rig.waitForRequests("/playback-info", 1));
    rig.controller.pause();
    rig.controller.play();
    rig.controller.seek(10);
    rig.controller.setVolume(0.5);
    rig.controller.stop();
    ASSERT_TRUE(rig.waitForRequests("/stop", 1));
    EXPECT_TRUE(rig.pollingHasStopped());
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    ASSERT_TRUE(rig.waitForRequests("/volume", 1));

    const QString id = rig.controller.sessionId();
    EXPECT_TRUE(
        QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$").match(id).hasMatch())
        << id.toStdString();
    QSet<QByteArray> paths;
    for (const AirPlayReceiver::Request& r : rig.receiver.requests()) {
        paths.insert(r.path.split('?').value(0));
        EXPECT_EQ(r.headers.value("x-apple-session-id"), id.toLatin1()) << r.path.toStdString();
        EXPECT_EQ(r.headers.value("user-agent"), QByteArray("MediaControl/1.0")) << r.path.toStdString();
        EXPECT_EQ(r.headers.value("content-type"), r.path == "/play" ? QByteArray("text/parameters") : QByteArray())
            << r.path.toStdString();
    }
    EXPECT_EQ(
        paths, (QSet<QByteArray> { "/server-info", "/play", "/playback-info", "/rate", "/scrub", "/volume", "/stop" }));
    EXPECT_EQ(rig.receiver.requestsTo("/server-info").value(0).method, QByteArray("GET"));
    EXPECT_EQ(rig.receiver.requestsTo("/play").value(0).method, QByteArray("POST"));
    EXPECT_EQ(rig.receiver.requestsTo("/rate").value(0).path, QByteArray("/rate?value=0.000000"));
    EXPECT_EQ(rig.receiver.requestsTo("/rate").value(1).path, QByteArray("/rate?value=1.000000"));

    AirPlayController other(receiverAt(rig.receiver.port()));
    EXPECT_NE(other.sessionId(), id);
    EXPECT_EQ(other.sessionId().size(), 36);
}

TEST(AirPlayController, AddressesPortZeroOn7000)
{
    AirPlayReceiver receiver(7000);
    if (!receiver.isListening())
        GTEST_SKIP() << "port 7000 is taken on this machine";
    AirPlayController controller(receiverAt(0));
    QSignalSpy connected(&controller, &CastController::connected);
    controller.connectDevice();
    ASSERT_TRUE(QTest::qWaitFor([&] { return connected.size() == 1; }, kWaitMs));
    EXPECT_EQ(receiver.requestsTo("/server-info").size(), 1);
}

TEST(AirPlayController, PlayBodyGivesTheStartAsAFractionOfTheDuration)
{
    struct Case {
        double start, duration;
        bool live;
        const char* fraction;
        double shownPosition;
    };
    const Case cases[] = {
        { 30, 120, false, "0.250000", 30 },
        { 200, 120, false, "1.000000", 200 },
        { 30, 120, true, "0.000000", 0 },
        { 30, 0, false, "0.000000", 30 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fraction + std::string(c.live ? " live" : ""));
        Rig rig;
        LoadRequest r = request(c.start, c.duration, c.live);
        // Spaces and non-ASCII letters travel percent-encoded.
        r.url = QUrl("http://127.0.0.1:8080/media/Été 2.mp4?t=a b");
        rig.controller.load(r);
        EXPECT_EQ(rig.controller.state(), CastController::Loading);
        EXPECT_EQ(rig.controller.position(), c.shownPosition);
        EXPECT_EQ(rig.controller.duration(), c.duration);
        ASSERT_TRUE(rig.waitForRequests("/play", 1));
        EXPECT_EQ(rig.receiver.requestsTo("/play").value(0).body,
            QByteArray("Content-Location: http://127.0.0.1:8080/media/%C3%89t%C3%A9%202.mp4?t=a%20b\n"
                       "Start-Position: ")
                + c.fraction + "\n");
    }
}

TEST(AirPlayController, ReceiverFetchesTheEncodedUrl)
{
    kvr::test::LoopbackHttpServer media;
    media.serveFile("/media/%C3%89t%C3%A9%202.mp4", "not really a movie");
    Rig rig;
    rig.receiver.fetchMedia = true;
    LoadRequest r = request();
    r.url = media.url(QString()).resolved(QUrl("/media/Été 2.mp4"));
    rig.controller.load(r);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.receiver.fetchStatus >= 0; }, kWaitMs));
    EXPECT_EQ(rig.receiver.fetchStatus, 200);
    EXPECT_EQ(rig.receiver.fetchedBody, QByteArray("not really a movie"));
}

TEST(AirPlayController, SeekAndVolumeWriteFixedNumbersUnderAnyLocale)
{
    for (const char* locale : { "C", "de_DE.UTF-8" }) {
        SCOPED_TRACE(locale);
        const std::string before = std::setlocale(LC_ALL, nullptr);
        if (!std::setlocale(LC_ALL, locale))
            GTEST_SKIP() << locale << " is not installed";
        const QLocale defaultLocale;
        QLocale::setDefault(QLocale(QString::fromLatin1(locale).section('.', 0, 0)));

        Rig rig;
        rig.controller.seek(12.3456);
        EXPECT_EQ(rig.controller.position(), 12.3456);
        EXPECT_TRUE(rig.controller.statusClock().isValid());
        EXPECT_EQ(rig.statusChanged.size(), 0);
        rig.controller.setVolume(0.5);
        rig.controller.setVolume(1.4);
        EXPECT_EQ(rig.controller.volume(), 1.0);
        rig.controller.setVolume(-0.2);
        EXPECT_EQ(rig.controller.volume(), 0.0);
        EXPECT_TRUE(rig.waitForRequests("/volume", 3));
        EXPECT_TRUE(rig.waitForRequests("/scrub", 1));
        EXPECT_EQ(rig.receiver.requestsTo("/scrub").value(0).path, QByteArray("/scrub?position=12.346"));
        QList<QByteArray> volumes;
        for (const auto& r : rig.receiver.requestsTo("/volume"))
            volumes.append(r.path);
        EXPECT_EQ(
            volumes, (QList<QByteArray> { "/volume?volume=0.500", "/volume?volume=1.000", "/volume?volume=0.000" }));
        EXPECT_EQ(rig.statusChanged.size(), 0);
        EXPECT_EQ(rig.notice.size(), 0);

        QLocale::setDefault(defaultLocale);
        std::setlocale(LC_ALL, before.c_str());
    }
}

TEST(AirPlayController, RefusedVolumeIsANoticeAndKeepsTheLevel)
{
    for (int status : { 403, 500 }) {
        Rig rig;
        rig.receiver.answerWith("/volume", status);
        rig.controller.setVolume(0.3);
        ASSERT_TRUE(QTest::qWaitFor([&] { return rig.notice.size() == 1; }, kWaitMs));
        EXPECT_EQ(failure(rig.notice), "Bedroom TV does not accept volume changes over AirPlay 1 — use its remote");
        EXPECT_EQ(rig.controller.volume(), 0.3);
        EXPECT_EQ(rig.failed.size(), 0);
        EXPECT_EQ(rig.controller.state(), CastController::Idle);
    }
}

TEST(AirPlayController, ConnectsOnAnyHttpAnswer)
{
    for (int status : { 200, 403, 404 }) {
        Rig rig;
        rig.receiver.answerWith("/server-info", status);
        rig.controller.connectDevice();
        EXPECT_EQ(rig.controller.state(), CastController::Connecting);
        ASSERT_TRUE(QTest::qWaitFor([&] { return rig.connected.size() == 1; }, kWaitMs)) << status;
        EXPECT_EQ(rig.controller.state(), CastController::Idle);
        EXPECT_EQ(rig.failed.size(), 0);
    }
}

TEST(AirPlayController, ConnectWithoutAnswerFails)
{
    // A refused connection and a receiver that accepts but stays silent past the transfer timeout.
    for (bool silent : { false, true }) {
        SCOPED_TRACE(silent ? "silent" : "refused");
        std::unique_ptr<Rig> rig;
        quint16 port = 0;
        if (silent) {
            rig = std::make_unique<Rig>();
            rig->receiver.set("/server-info", { 0, true });
            port = rig->receiver.port();
        } else {
            port = static_cast<quint16>(kvr::test::freeLoopbackPort(SOCK_STREAM));
        }
        AirPlayController controller(receiverAt(port));
        QSignalSpy connected(&controller, &CastController::connected);
        QSignalSpy failed(&controller, &CastController::failed);
        controller.connectDevice();
        ASSERT_TRUE(QTest::qWaitFor([&] { return failed.size() == 1; }, kWaitMs));
        EXPECT_EQ(failure(failed), "Bedroom TV did not answer");
        EXPECT_EQ(controller.state(), CastController::Error);
        EXPECT_EQ(connected.size(), 0);
    }
}

TEST(AirPlayController, RefusedPlayFailsNamingTheStatus)
{
    const QString refusal = "Bedroom TV refused to play (HTTP %1). Its AirPlay settings must allow access to "
                            "everyone on the same network without a password; receivers that require pairing "
                            "need AirPlay 2, which is not supported yet.";
    struct Case {
        AirPlayReceiver::Override how;
        QString message;
    };
    const Case cases[] = {
        { { 401 }, refusal.arg(401) },
        { { 403 }, refusal.arg(403) },
        { { 470 }, refusal.arg(470) },
        { { 500 }, "Bedroom TV could not start playback (HTTP 500)" },
        { { 0, false, true }, "Bedroom TV could not start playback (HTTP 0)" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.toStdString());
        Rig rig;
        rig.receiver.set("/play", c.how);
        rig.controller.load(request(30, 120));
        ASSERT_TRUE(QTest::qWaitFor([&] { return rig.failed.size() == 1; }, kWaitMs));
        EXPECT_EQ(failure(rig.failed), c.message);
        EXPECT_EQ(rig.controller.state(), CastController::Error);
        EXPECT_EQ(rig.controller.position(), 0.0);
        EXPECT_TRUE(rig.receiver.requestsTo("/playback-info").isEmpty());
    }
}

TEST(AirPlayController, PollsReportPlayingPausedAndBuffering)
{
    Rig rig;
    ASSERT_TRUE(rig.startPlaying(request(60, 120)));
    EXPECT_EQ(rig.receiver.startPosition, QByteArray("0.500000"));
    EXPECT_NEAR(rig.controller.position(), 60.0, 10.0);
    EXPECT_EQ(rig.controller.duration(), 120.0);

    rig.controller.pause();
    ASSERT_TRUE(rig.waitForState(CastController::Paused));
    rig.controller.seek(90);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.controller.position() == 90.0; }, kWaitMs));
    EXPECT_EQ(rig.controller.state(), CastController::Paused);
    rig.controller.play();
    ASSERT_TRUE(rig.waitForState(CastController::Playing));
    EXPECT_GE(rig.controller.position(), 90.0);

    // readyToPlay false in every layout a receiver may write keeps it buffering.
    using Layout = AirPlayReceiver::Layout;
    for (Layout layout : { Layout::Tab, Layout::LineFeed, Layout::Spaces, Layout::CrLf, Layout::Inline }) {
        SCOPED_TRACE(static_cast<int>(layout));
        rig.receiver.layout = layout;
        rig.receiver.setReady(false);
        ASSERT_TRUE(rig.waitForState(CastController::Buffering));
        rig.receiver.setReady(true);
        ASSERT_TRUE(rig.waitForState(CastController::Playing));
    }
    EXPECT_EQ(rig.ended.size(), 0);
    EXPECT_EQ(rig.failed.size(), 0);
}

TEST(AirPlayController, EndIsReportedOnceAfterPlaying)
{
    Rig rig;
    rig.receiver.mediaDuration = 3.0;
    // Starts half-way: the receiver runs out of media after a second and a half and drops the duration.
    ASSERT_TRUE(rig.startPlaying(request(1.5, 3.0)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.ended.size() == 1; }, kWaitMs));
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    // Polling has stopped: no further answer changes anything.
    EXPECT_TRUE(rig.pollingHasStopped());
    EXPECT_EQ(rig.ended.size(), 1);
    EXPECT_EQ(rig.failed.size(), 0);
}

// A duration that cannot be one is a damaged answer: the cast plays on, and only a real 0 ends it.
TEST(AirPlayController, OutOfRangeDurationDoesNotEndTheCast)
{
    Rig rig;
    ASSERT_TRUE(rig.startPlaying(request(0, 120)));
    for (const char* text : { "inf", "nan", "1e308", "-5" }) {
        SCOPED_TRACE(text);
        rig.receiver.durationText = text;
        const int answered = rig.receiver.playbackInfoAnswers;
        ASSERT_TRUE(QTest::qWaitFor([&] { return rig.receiver.playbackInfoAnswers >= answered + 4; }, kWaitMs));
        QTest::qWait(kPollMs);
        EXPECT_EQ(rig.controller.state(), CastController::Playing);
        EXPECT_EQ(rig.controller.duration(), 120.0);
        EXPECT_EQ(rig.ended.size(), 0);
    }
    rig.receiver.durationText = "0";
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.ended.size() == 1; }, kWaitMs));
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
}

TEST(AirPlayController, NoDurationBeforePlayingIsBuffering)
{
    Rig rig;
    rig.receiver.loadOnPlay = false;
    rig.controller.load(request(0, 120));
    ASSERT_TRUE(rig.waitForState(CastController::Buffering));
    ASSERT_TRUE(rig.waitForRequests("/playback-info", 5));
    EXPECT_EQ(rig.controller.state(), CastController::Buffering);
    EXPECT_EQ(rig.ended.size(), 0);
}

TEST(AirPlayController, FifthFailedPollInARowFails)
{
    Rig rig;
    ASSERT_TRUE(rig.startPlaying());
    // Answers of 200 still on their way may land after the switch; every status up to the failure is Playing.
    QList<int> states;
    QObject::connect(&rig.controller, &CastController::statusChanged, &rig.controller,
        [&] { states.append(rig.controller.state()); });
    int answersAtFailure = 0;
    QObject::connect(&rig.controller, &CastController::failed, &rig.controller,
        [&] { answersAtFailure = rig.receiver.playbackInfoAnswers; });
    const int answersBefore = rig.receiver.playbackInfoAnswers;
    rig.receiver.answerWith("/playback-info", 503);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.failed.size() == 1; }, kWaitMs));
    EXPECT_EQ(failure(rig.failed), "Bedroom TV stopped answering");
    EXPECT_EQ(rig.controller.state(), CastController::Error);
    EXPECT_GE(answersAtFailure - answersBefore, 5);
    ASSERT_FALSE(states.isEmpty());
    EXPECT_EQ(states.takeLast(), CastController::Error);
    EXPECT_EQ(states.count(CastController::Playing), states.size());
    EXPECT_TRUE(rig.pollingHasStopped());
    EXPECT_EQ(rig.failed.size(), 1);
}

TEST(AirPlayController, OneGoodPollRestartsTheFailureCount)
{
    Rig rig;
    ASSERT_TRUE(rig.startPlaying());
    for (int round = 0; round < 3; ++round) {
        rig.receiver.answerWith("/playback-info", 503);
        const int answered = rig.receiver.playbackInfoAnswers;
        ASSERT_TRUE(QTest::qWaitFor([&] { return rig.receiver.playbackInfoAnswers >= answered + 2; }, kWaitMs));
        rig.receiver.clear("/playback-info");
        rig.statusChanged.clear();
        ASSERT_TRUE(rig.statusChanged.wait(kWaitMs) || !rig.statusChanged.isEmpty());
    }
    EXPECT_EQ(rig.failed.size(), 0);
    EXPECT_EQ(rig.controller.state(), CastController::Playing);
}

TEST(AirPlayController, LateAnswerForTheOldItemIsDropped)
{
    // After load a late playing report for the previous item would set hasPlayed, and the new item's first
    // answer without a duration would then read as the end. After stop it would show Playing for good.
    for (bool viaStop : { false, true }) {
        SCOPED_TRACE(viaStop ? "stop" : "load");
        Rig rig;
        ASSERT_TRUE(rig.startPlaying());
        AirPlayReceiver::Override slow;
        slow.delayMs = 500;
        rig.receiver.set("/playback-info", slow);
        const int asked = rig.receiver.requestsTo("/playback-info").size();
        ASSERT_TRUE(rig.waitForRequests("/playback-info", asked + 1));
        rig.receiver.loadOnPlay = false;
        rig.receiver.clear("/playback-info");
        const int slowAsked = rig.receiver.requestsTo("/playback-info").size();
        if (viaStop)
            rig.controller.stop();
        else
            rig.controller.load(request(0, 60));
        ASSERT_TRUE(QTest::qWaitFor([&] { return rig.receiver.playbackInfoAnswers >= slowAsked; }, kWaitMs));
        // A refused volume change answered after the slow answers went out: once its notice is in, they are too.
        rig.receiver.answerWith("/volume", 500);
        rig.controller.setVolume(0.5);
        ASSERT_TRUE(QTest::qWaitFor([&] { return rig.notice.size() == 1; }, kWaitMs));
        if (!viaStop) {
            // And the new item's own answers follow.
            rig.statusChanged.clear();
            ASSERT_TRUE(QTest::qWaitFor([&] { return rig.statusChanged.size() >= 3; }, kWaitMs));
        }
        EXPECT_EQ(rig.ended.size(), 0);
        EXPECT_EQ(rig.controller.state(), viaStop ? CastController::Idle : CastController::Buffering);
    }
}

TEST(AirPlayController, StopAndDisconnect)
{
    Rig rig;
    ASSERT_TRUE(rig.startPlaying(request(30, 120)));
    rig.controller.stop();
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    EXPECT_EQ(rig.controller.position(), 0.0);
    ASSERT_TRUE(rig.waitForRequests("/stop", 1));
    EXPECT_TRUE(rig.pollingHasStopped());
    EXPECT_EQ(rig.controller.state(), CastController::Idle);

    ASSERT_TRUE(rig.startPlaying(request(30, 120)));
    rig.controller.disconnectDevice();
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    ASSERT_TRUE(rig.waitForRequests("/stop", 2));
    EXPECT_TRUE(rig.pollingHasStopped());

    // A connect still unanswered when the session closes reports nothing.
    rig.receiver.set("/server-info", { 0, false, true });
    rig.controller.connectDevice();
    rig.controller.disconnectDevice();
    ASSERT_TRUE(rig.waitForRequests("/server-info", 1));
    QTest::qWait(300);
    EXPECT_EQ(rig.failed.size(), 0);
    EXPECT_EQ(rig.connected.size(), 0);
}
