#include "ui/bridge/MediaSessionBridge.h"

#include "tests/support/TestSupport.h"
#include "tests/ui/bridge/BridgeTestPlayer.h"
#include "tests/ui/GTestQtPrinters.h"
#include "ui/bridge/RemotePlayback.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using kvr::engine::PlayerState;
using kvr::ui::MediaSessionBridge;
using State = MediaSessionBridge::State;
using namespace kvr::test;

namespace {

// Stands in for a cast receiver: records what the player asks of it and answers with scripted values.
struct Receiver : kvr::ui::RemotePlayback {
    std::unique_ptr<QObject> owner = std::make_unique<QObject>();
    QStringList calls;
    int64_t positionUs = 0;
    int64_t durationUs = 0;
    double volumeValue = 1.0;
    int stateValue = State::Idle;
    int positionReads = 0;

    void load(const QString& url, int64_t startUs) override
    {
        calls << QStringLiteral("load %1 %2").arg(url).arg(startUs);
    }
    void play() override { calls << "play"; }
    void pause() override { calls << "pause"; }
    void stopPlayback() override { calls << "stop"; }
    void seek(int64_t us) override { calls << QStringLiteral("seek %1").arg(us); }
    void setVolume(double volume) override { calls << QStringLiteral("volume %1").arg(volume); }
    int64_t position() override
    {
        ++positionReads;
        return positionUs;
    }
    int64_t duration() override { return durationUs; }
    double volume() override { return volumeValue; }
    int state() override { return stateValue; }

    void attachTo(MediaSessionBridge& bridge) { bridge.attachRemote(owner.get(), this); }
};

void storeResumePosition(const QString& path, qlonglong us)
{
    QSettings settings;
    QVariantMap positions = settings.value("resume/positions").toMap();
    positions.insert(path, us);
    QStringList order = settings.value("resume/order").toStringList();
    order.prepend(path);
    settings.setValue("resume/positions", positions);
    settings.setValue("resume/order", order);
}

bool hasResumePosition(const QString& path)
{
    return QSettings().value("resume/positions").toMap().contains(path);
}

} // namespace

// Media playing at 5:00 continues on the receiver at 5:00; the local engine is closed and its open thread gone.
TEST(MediaSessionBridge, AttachMovesPlayingMediaToTheReceiver)
{
    QSettings().clear();
    Player p;
    const QString path = fixturePath("ten-minutes.mkv");
    p.bridge->setPlayPlaylist(false);
    p.bridge->restorePlaylist({ path }, -1);
    ASSERT_TRUE(p.bridge->openEntry(0));
    ASSERT_TRUE(p.waitFor(State::Playing));
    ASSERT_TRUE(p.seekTo(300'000'000));

    Receiver r;
    r.stateValue = State::Opening;
    QSignalSpy stateChanged(p.bridge.get(), &MediaSessionBridge::stateChanged);
    QSignalSpy sessionChanged(p.bridge.get(), &MediaSessionBridge::sessionChanged);
    r.attachTo(*p.bridge);

    EXPECT_TRUE(p.bridge->casting());
    EXPECT_EQ(p.session.state(), PlayerState::Idle);
    EXPECT_EQ(kvr::test::countThreadsNamed("kvr-open"), 0);
    EXPECT_GE(stateChanged.count(), 1);
    EXPECT_GE(sessionChanged.count(), 1);
    ASSERT_EQ(r.calls.size(), 1);
    const QStringList load = r.calls[0].split(' ');
    ASSERT_EQ(load.size(), 3);
    EXPECT_EQ(load[0], "load");
    EXPECT_EQ(load[1], path);
    EXPECT_GE(load[2].toLongLong(), 300'000'000);
    EXPECT_LT(load[2].toLongLong(), 302'000'000);

    // The closed engine's late reports must not start anything locally again.
    QTest::qWait(300);
    EXPECT_EQ(p.session.state(), PlayerState::Idle);
    EXPECT_EQ(r.calls.size(), 1);
}

// An open still under way continues on the receiver from the start, also without a stored position.
TEST(MediaSessionBridge, AttachDuringAnOpenContinuesItOnTheReceiver)
{
    StalledOpen s;
    ASSERT_TRUE(s.start());
    Receiver r;
    r.attachTo(*s.p.bridge);
    EXPECT_EQ(r.calls, QStringList { "load " + s.p.bridge->playlist()[0] + " 0" });
    EXPECT_EQ(s.p.session.state(), PlayerState::Idle);
    EXPECT_EQ(kvr::test::countThreadsNamed("kvr-open"), 0);
}

// The abandoned open's "Resumed at" belongs to local playback: the receiver reporting Playing must not show it.
TEST(MediaSessionBridge, AttachRightAfterAResumingOpenShowsNoResumeMessage)
{
    QSettings().clear();
    const QString path = fixturePath("ten-minutes.mkv");
    storeResumePosition(path, 300'000'000);
    Player p;
    OsdLog osd(*p.bridge);
    p.bridge->restorePlaylist({ path }, -1);
    ASSERT_TRUE(p.bridge->openEntry(0));
    Receiver r;
    r.stateValue = State::Playing;
    // No event is handled in between: the open's state reports all arrive while casting.
    r.attachTo(*p.bridge);
    ASSERT_EQ(r.calls.size(), 1);
    EXPECT_TRUE(r.calls[0].startsWith("load " + path + ' '));
    QTest::qWait(500);
    for (const QString& text : osd.texts)
        EXPECT_FALSE(text.startsWith("Resumed at")) << text.toStdString();
}

// Without media loaded the receiver gets nothing, and nothing is shown as playing.
TEST(MediaSessionBridge, AttachWithNothingPlayingLoadsNothing)
{
    for (const bool emptyPlaylist : { true, false }) {
        SCOPED_TRACE(emptyPlaylist ? "empty playlist" : "entry current, engine idle");
        QSettings().clear();
        Player p;
        p.bridge->setPlayPlaylist(false);
        // A title left from casting the entry earlier.
        Receiver before;
        before.attachTo(*p.bridge);
        p.bridge->restorePlaylist({ "/m/a.mkv" }, -1);
        ASSERT_TRUE(p.bridge->openEntry(0));
        if (emptyPlaylist)
            p.bridge->clearPlaylist();
        p.bridge->detachRemote(false);
        ASSERT_EQ(p.bridge->mediaTitle(), "a");

        Receiver r;
        QSignalSpy info(p.bridge.get(), &MediaSessionBridge::mediaInfoChanged);
        r.attachTo(*p.bridge);
        EXPECT_TRUE(r.calls.isEmpty());
        EXPECT_EQ(info.count(), 1);
        EXPECT_EQ(p.bridge->mediaTitle(), "");
        EXPECT_EQ(p.bridge->mediaArtist(), "");
        EXPECT_EQ(p.bridge->mediaAlbum(), "");
        EXPECT_EQ(p.bridge->coverArtUrl(), "");
        EXPECT_EQ(p.bridge->playlistCount(), emptyPlaylist ? 0 : 1);
    }
}

TEST(MediaSessionBridge, AttachNeedsBothOwnerAndReceiver)
{
    Player p;
    Receiver r;
    p.bridge->attachRemote(nullptr, &r);
    p.bridge->attachRemote(r.owner.get(), nullptr);
    EXPECT_FALSE(p.bridge->casting());
}

// What QML reads comes from the receiver; locally the same calls act on the engine.
TEST(MediaSessionBridge, WhileCastingReadsComeFromTheReceiver)
{
    const struct {
        int receiverState;
        State state;
        bool hasMedia;
        bool isOpening;
    } rows[] = {
        { State::Idle, State::Idle, false, false },
        { State::Opening, State::Opening, false, true },
        { State::Playing, State::Playing, true, false },
        { State::Paused, State::Paused, true, false },
        { State::Error, State::Error, false, false },
        // Outside the enumeration: nothing loaded.
        { 42, State::Idle, false, false },
    };
    const QString entry = "http://127.0.0.1:9/film.mkv";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.receiverState);
        Player p;
        p.bridge->restorePlaylist({ entry }, 0);
        Receiver r;
        r.attachTo(*p.bridge);
        r.stateValue = row.receiverState;
        r.positionUs = 754'000'000;
        r.durationUs = 5'400'000'000;
        r.volumeValue = 0.35;
        EXPECT_EQ(p.bridge->state(), row.state);
        EXPECT_EQ(p.bridge->hasMedia(), row.hasMedia);
        EXPECT_EQ(p.bridge->isOpening(), row.isOpening);
        EXPECT_EQ(p.bridge->clockUs(), 754'000'000);
        EXPECT_EQ(p.bridge->durationUs(), 5'400'000'000);
        EXPECT_DOUBLE_EQ(p.bridge->volume(), 0.35);
        EXPECT_EQ(p.bridge->currentFile(), entry);
    }
}

// Every transport request goes to the receiver, clamped to what it accepts; speed and frame steps are refused.
TEST(MediaSessionBridge, WhileCastingTransportGoesToTheReceiver)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* name;
        int receiverState;
        int64_t positionUs;
        int64_t durationUs;
        std::function<void(MediaSessionBridge&)> act;
        QStringList calls;
        QString osd;
    } rows[] = {
        { "play", State::Paused, 0, 0, [](auto& b) { b.play(); }, { "play" }, {} },
        { "play when idle opens", State::Idle, 0, 0, [](auto& b) { b.play(); }, { "load /m/a.mkv 0" }, {} },
        { "pause", State::Playing, 0, 0, [](auto& b) { b.pause(); }, { "pause" }, {} },
        { "toggle playing", State::Playing, 0, 0, [](auto& b) { b.togglePlayPause(); }, { "pause" }, {} },
        { "toggle paused", State::Paused, 0, 0, [](auto& b) { b.togglePlayPause(); }, { "play" }, {} },
        { "toggle opening", State::Opening, 0, 0, [](auto& b) { b.togglePlayPause(); }, { "play" }, {} },
        { "toggle idle", State::Idle, 0, 0, [](auto& b) { b.togglePlayPause(); }, { "load /m/a.mkv 0" }, {} },
        { "toggle error", State::Error, 0, 0, [](auto& b) { b.togglePlayPause(); }, { "load /m/a.mkv 0" }, {} },
        { "stop", State::Playing, 0, 0, [](auto& b) { b.stop(); }, { "stop" }, {} },
        { "seek before the start", State::Playing, 0, 0, [](auto& b) { b.seekUs(-5); }, { "seek 0" }, {} },
        { "seek", State::Playing, 0, 0, [](auto& b) { b.seekUs(7'000'000); }, { "seek 7000000" }, {} },
        { "seek half", State::Playing, 0, 600'000'000, [](auto& b) { b.seekFraction(0.5); }, { "seek 300000000" }, {} },
        { "seek past the end", State::Playing, 0, 600'000'000, [](auto& b) { b.seekFraction(1.7); },
            { "seek 600000000" }, {} },
        { "seek to NaN", State::Playing, 0, 600'000'000, [nan](auto& b) { b.seekFraction(nan); }, { "seek 0" }, {} },
        { "seek fraction, length unknown", State::Playing, 0, 0, [](auto& b) { b.seekFraction(0.5); }, {}, {} },
        { "back 10 s at 4 s", State::Playing, 4'000'000, 600'000'000, [](auto& b) { b.seekRelative(-10'000'000); },
            { "seek 0" }, {} },
        { "on 30 s at 9:50", State::Paused, 590'000'000, 600'000'000, [](auto& b) { b.seekRelative(30'000'000); },
            { "seek 600000000" }, {} },
        { "relative while idle", State::Idle, 4'000'000, 0, [](auto& b) { b.seekRelative(1'000'000); }, {}, {} },
        { "volume above 1", State::Playing, 0, 0, [](auto& b) { b.setVolume(1.5); }, { "volume 1" }, {} },
        { "volume below 0", State::Playing, 0, 0, [](auto& b) { b.setVolume(-1); }, { "volume 0" }, {} },
        { "volume", State::Playing, 0, 0, [](auto& b) { b.setVolume(0.25); }, { "volume 0.25" }, {} },
        { "speed", State::Playing, 0, 0, [](auto& b) { b.setSpeed(2.0); }, {},
            "Speed cannot be changed while casting" },
        { "frame step", State::Playing, 0, 0, [](auto& b) { b.stepFrame(true); }, {},
            "Frame stepping is not available while casting" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QSettings().clear();
        Player p;
        OsdLog osd(*p.bridge);
        p.bridge->restorePlaylist({ "/m/a.mkv" }, 0);
        Receiver r;
        r.attachTo(*p.bridge);
        r.stateValue = row.receiverState;
        r.positionUs = row.positionUs;
        r.durationUs = row.durationUs;
        osd.texts.clear();
        row.act(*p.bridge);
        EXPECT_EQ(r.calls, row.calls);
        EXPECT_EQ(osd.texts, row.osd.isEmpty() ? QStringList() : QStringList { row.osd });
        // The engine stays closed and untouched.
        EXPECT_EQ(p.session.state(), PlayerState::Idle);
        EXPECT_DOUBLE_EQ(p.session.speed(), 1.0);
        EXPECT_EQ(kvr::test::countThreadsNamed("kvr-open"), 0);
    }
}

// Opening an entry while casting loads it on the receiver at its stored position; locally nothing opens.
TEST(MediaSessionBridge, WhileCastingEntriesOpenOnTheReceiver)
{
    QSettings().clear();
    storeResumePosition("/m/b.mkv", 123'000'000);
    Player p;
    p.bridge->restorePlaylist({ "/m/a.mkv", "/m/b.mkv", "http://127.0.0.1:9/live.ts" }, 0);
    Receiver r;
    r.attachTo(*p.bridge);
    QSignalSpy playlistChanged(p.bridge.get(), &MediaSessionBridge::playlistChanged);
    p.bridge->playFromPlaylist(1);
    p.bridge->playNext();
    EXPECT_EQ(r.calls, (QStringList { "load /m/b.mkv 123000000", "load http://127.0.0.1:9/live.ts 0" }));
    EXPECT_EQ(p.bridge->mediaTitle(), "http://127.0.0.1:9/live.ts");
    EXPECT_EQ(p.bridge->playlistIndex(), 2);
    EXPECT_EQ(playlistChanged.count(), 2);
    EXPECT_EQ(p.session.state(), PlayerState::Idle);
    EXPECT_EQ(kvr::test::countThreadsNamed("kvr-open"), 0);
}

TEST(MediaSessionBridge, RemoteChangedRepublishesTheReceiverState)
{
    Player p;
    Receiver r;
    r.attachTo(*p.bridge);
    QSignalSpy state(p.bridge.get(), &MediaSessionBridge::stateChanged);
    QSignalSpy clock(p.bridge.get(), &MediaSessionBridge::clockUsChanged);
    QSignalSpy volume(p.bridge.get(), &MediaSessionBridge::volumeChanged);
    r.stateValue = State::Paused;
    r.positionUs = 40'000'000;
    r.volumeValue = 0.5;
    p.bridge->remoteChanged();
    EXPECT_EQ(state.count(), 1);
    EXPECT_EQ(clock.count(), 1);
    EXPECT_EQ(volume.count(), 1);
    EXPECT_EQ(p.bridge->state(), State::Paused);
    EXPECT_EQ(p.bridge->clockUs(), 40'000'000);
    EXPECT_DOUBLE_EQ(p.bridge->volume(), 0.5);
}

// The receiver's end follows the same rules as a local end: the entry counts as played, its resume position
// goes, and the queue moves on (or stays, keeping the entries).
TEST(MediaSessionBridge, ReceiverEndGoesOnAsLocalPlaybackDoes)
{
    const struct {
        const char* name;
        int index;
        int repeat;
        bool playPlaylist;
        QStringList loads;
    } rows[] = {
        { "next entry", 0, MediaSessionBridge::RepeatOff, true, { "load /m/b.mkv 120000000" } },
        { "last entry", 1, MediaSessionBridge::RepeatOff, true, {} },
        { "last entry, repeat all", 1, MediaSessionBridge::RepeatAll, true, { "load /m/a.mkv 120000000" } },
        { "repeat one without continuing", 0, MediaSessionBridge::RepeatOne, false, { "load /m/a.mkv 0" } },
        { "not continuing", 0, MediaSessionBridge::RepeatOff, false, {} },
    };
    const QStringList entries { "/m/a.mkv", "/m/b.mkv" };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QSettings().clear();
        for (const QString& entry : entries)
            storeResumePosition(entry, 120'000'000);
        Player p;
        p.bridge->setRepeatMode(row.repeat);
        p.bridge->setPlayPlaylist(row.playPlaylist);
        p.bridge->restorePlaylist(entries, row.index);
        Receiver r;
        r.attachTo(*p.bridge);
        r.durationUs = 600'000'000;
        r.positionUs = 600'000'000;
        QSignalSpy played(p.bridge.get(), &MediaSessionBridge::played);
        QSignalSpy state(p.bridge.get(), &MediaSessionBridge::stateChanged);

        p.bridge->remoteEnded();
        ASSERT_EQ(played.count(), 1);
        EXPECT_EQ(played[0][0].toString(), entries[row.index]);
        EXPECT_EQ(played[0][1].toLongLong(), 600'000'000);
        EXPECT_FALSE(hasResumePosition(entries[row.index]));
        EXPECT_EQ(r.calls, row.loads);
        EXPECT_GE(state.count(), 1);
        EXPECT_EQ(p.bridge->playlist(), entries);
        if (row.loads.isEmpty()) {
            EXPECT_EQ(p.bridge->playlistIndex(), row.index);
        }
        EXPECT_EQ(p.session.state(), PlayerState::Idle);
    }
}

// played goes out once per entry, for local files only; a receiver that never knew the length reports how far
// it got.
TEST(MediaSessionBridge, ReceiverEndReportsPlayedOnce)
{
    const struct {
        const char* entry;
        int64_t durationUs;
        int64_t positionUs;
        qlonglong playedUs;
    } rows[] = {
        { "/m/a.mkv", 600'000'000, 600'000'000, 600'000'000 },
        { "/m/a.mkv", 0, 42'000'000, 42'000'000 },
        { "/m/a.mkv", -1, -1, 0 },
        { "http://127.0.0.1:9/film.mkv", 600'000'000, 600'000'000, -1 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.entry) + " " + std::to_string(row.durationUs));
        QSettings().clear();
        Player p;
        p.bridge->setPlayPlaylist(false);
        p.bridge->restorePlaylist({ row.entry }, 0);
        Receiver r;
        r.attachTo(*p.bridge);
        r.durationUs = row.durationUs;
        r.positionUs = row.positionUs;
        QSignalSpy played(p.bridge.get(), &MediaSessionBridge::played);
        p.bridge->remoteEnded();
        p.bridge->remoteEnded();
        if (row.playedUs < 0) {
            EXPECT_EQ(played.count(), 0);
            continue;
        }
        ASSERT_EQ(played.count(), 1);
        EXPECT_EQ(played[0][0].toString(), row.entry);
        EXPECT_EQ(played[0][1].toLongLong(), row.playedUs);
    }
}

// Without a receiver (never attached, detached, or its owner gone) an end report does nothing.
TEST(MediaSessionBridge, ReceiverEndWhileNotCastingDoesNothing)
{
    for (const int how : { 0, 1, 2 }) {
        SCOPED_TRACE(how);
        Player p;
        p.bridge->restorePlaylist({ "/m/a.mkv", "/m/b.mkv" }, 0);
        Receiver r;
        if (how > 0)
            r.attachTo(*p.bridge);
        if (how == 1)
            p.bridge->detachRemote(false);
        if (how == 2)
            r.owner.reset();
        QSignalSpy played(p.bridge.get(), &MediaSessionBridge::played);
        QSignalSpy state(p.bridge.get(), &MediaSessionBridge::stateChanged);
        p.bridge->remoteEnded();
        EXPECT_EQ(played.count(), 0);
        EXPECT_EQ(state.count(), 0);
        EXPECT_TRUE(r.calls.isEmpty());
        EXPECT_EQ(p.bridge->playlistIndex(), 0);
    }
}

// Stopping the cast reopens the entry locally where the receiver was, when it was playing or paused; otherwise
// (or when told not to) nothing opens.
TEST(MediaSessionBridge, DetachReopensLocallyWhereTheReceiverWas)
{
    const struct {
        const char* name;
        int receiverState;
        bool resumeLocally;
        bool ownerGone;
        bool reopens;
    } rows[] = {
        { "playing", State::Playing, true, false, true },
        { "paused", State::Paused, true, false, true },
        { "playing, not resuming", State::Playing, false, false, false },
        { "idle", State::Idle, true, false, false },
        { "opening", State::Opening, true, false, false },
        { "error", State::Error, true, false, false },
        { "owner gone", State::Playing, true, true, false },
    };
    const QString path = fixturePath("ten-minutes.mkv");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QSettings().clear();
        Player p;
        OsdLog osd(*p.bridge);
        p.bridge->setPlayPlaylist(false);
        p.bridge->restorePlaylist({ path }, 0);
        Receiver r;
        r.attachTo(*p.bridge);
        r.stateValue = row.receiverState;
        r.positionUs = 300'000'000;
        r.durationUs = 600'000'000;
        r.volumeValue = 0.2;
        if (row.ownerGone)
            r.owner.reset();
        QSignalSpy state(p.bridge.get(), &MediaSessionBridge::stateChanged);
        QSignalSpy session(p.bridge.get(), &MediaSessionBridge::sessionChanged);
        QSignalSpy clock(p.bridge.get(), &MediaSessionBridge::clockUsChanged);
        QSignalSpy volume(p.bridge.get(), &MediaSessionBridge::volumeChanged);

        p.bridge->detachRemote(row.resumeLocally);
        EXPECT_FALSE(p.bridge->casting());
        EXPECT_GE(state.count(), 1);
        EXPECT_GE(session.count(), 1);
        EXPECT_GE(clock.count(), 1);
        EXPECT_GE(volume.count(), 1);
        EXPECT_TRUE(r.calls.isEmpty());
        if (row.ownerGone) {
            EXPECT_EQ(r.positionReads, 0);
        }
        // The local volume again, not the receiver's.
        EXPECT_DOUBLE_EQ(p.bridge->volume(), p.session.volume());

        if (row.reopens) {
            ASSERT_TRUE(p.waitFor(State::Playing));
            EXPECT_GE(p.bridge->clockUs(), 300'000'000);
            EXPECT_LT(p.bridge->clockUs(), 303'000'000);
            EXPECT_TRUE(QTest::qWaitFor([&] { return osd.texts.contains("Resumed at 5:00"); }, 2000));
        } else {
            QTest::qWait(300);
            EXPECT_EQ(p.session.state(), PlayerState::Idle);
            EXPECT_EQ(kvr::test::countThreadsNamed("kvr-open"), 0);
            EXPECT_TRUE(osd.texts.isEmpty());
        }
        EXPECT_EQ(p.bridge->playlistIndex(), 0);

        // Detached once: a second detach has nothing to act on.
        state.clear();
        p.bridge->detachRemote(true);
        EXPECT_EQ(state.count(), 0);
    }
}
