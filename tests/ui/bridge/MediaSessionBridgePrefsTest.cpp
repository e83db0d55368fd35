#include "ui/bridge/MediaSessionBridge.h"

#include "tests/ui/bridge/BridgeTestPlayer.h"
#include "tests/ui/GTestQtPrinters.h"

#include <QElapsedTimer>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

using kvr::ui::MediaSessionBridge;
using State = MediaSessionBridge::State;
using namespace kvr::test;

TEST(MediaSessionBridge, PreferencesOfAnEmptyStore)
{
    MediaSessionBridge bridge;
    EXPECT_TRUE(bridge.resumePlayback());
    EXPECT_TRUE(bridge.hwDecode());
    EXPECT_TRUE(bridge.autoLoadSubtitles());
    EXPECT_TRUE(bridge.rememberPlaylist());
    EXPECT_EQ(bridge.audioLanguage(), "");
    EXPECT_EQ(bridge.subtitleLanguage(), "");
    EXPECT_EQ(bridge.seekStepSeconds(), 5);
    EXPECT_TRUE(bridge.snapshotPng());
    EXPECT_EQ(bridge.subtitleScale(), 1.0);
    EXPECT_EQ(bridge.repeatMode(), MediaSessionBridge::RepeatOff);
    EXPECT_FALSE(bridge.shuffle());
    EXPECT_TRUE(bridge.playPlaylist());
    EXPECT_EQ(bridge.visualization(), 0);
    EXPECT_TRUE(bridge.recentFiles().isEmpty());
}

TEST(MediaSessionBridge, StoredNumbersAreClampedOnLoad)
{
    const struct {
        const char* key;
        QVariant stored;
        std::function<double(const MediaSessionBridge&)> read;
        double expected;
    } rows[] = {
        { "prefs/seekStepSeconds", 0, [](auto& b) { return b.seekStepSeconds(); }, 1 },
        { "prefs/seekStepSeconds", 500, [](auto& b) { return b.seekStepSeconds(); }, 120 },
        { "prefs/seekStepSeconds", 30, [](auto& b) { return b.seekStepSeconds(); }, 30 },
        { "subtitles/scale", 10.0, [](auto& b) { return b.subtitleScale(); }, 4.0 },
        { "subtitles/scale", 0.1, [](auto& b) { return b.subtitleScale(); }, 0.3 },
        { "subtitles/scale", "1.5", [](auto& b) { return b.subtitleScale(); }, 1.5 },
        { "playback/repeatMode", 7, [](auto& b) { return b.repeatMode(); }, 2 },
        { "playback/repeatMode", -1, [](auto& b) { return b.repeatMode(); }, 0 },
        { "prefs/visualization", 9, [](auto& b) { return b.visualization(); }, 5 },
    };
    for (const auto& row : rows) {
        QSettings().clear();
        QSettings().setValue(row.key, row.stored);
        MediaSessionBridge bridge;
        EXPECT_EQ(row.read(bridge), row.expected) << row.key << " = " << row.stored.toString().toStdString();
    }
}

TEST(MediaSessionBridge, RepeatFallsBackToTheOldKeyUntilTheModeIsStored)
{
    QSettings().setValue("playback/repeat", true);
    {
        MediaSessionBridge bridge;
        EXPECT_EQ(bridge.repeatMode(), MediaSessionBridge::RepeatOne);
        EXPECT_TRUE(bridge.repeat());
        bridge.setRepeatMode(MediaSessionBridge::RepeatAll);
    }
    MediaSessionBridge bridge;
    EXPECT_EQ(bridge.repeatMode(), MediaSessionBridge::RepeatAll);
    EXPECT_TRUE(QSettings().value("playback/repeat").toBool()) << "the old key is never written";
}

// Each writer stores its key and signals once; an unchanged (normalised) value does neither.
TEST(MediaSessionBridge, PreferenceWritersStoreAndSignalChangesOnly)
{
    const struct {
        const char* key;
        std::function<void(MediaSessionBridge&)> write;
        std::function<void(MediaSessionBridge&)> same;
        QVariant stored;
    } rows[] = {
        { "prefs/resumePlayback", [](auto& b) { b.setResumePlayback(false); },
            [](auto& b) { b.setResumePlayback(false); }, false },
        { "prefs/hwDecode", [](auto& b) { b.setHwDecode(false); }, [](auto& b) { b.setHwDecode(false); }, false },
        { "prefs/autoLoadSubtitles", [](auto& b) { b.setAutoLoadSubtitles(false); },
            [](auto& b) { b.setAutoLoadSubtitles(false); }, false },
        { "prefs/rememberPlaylist", [](auto& b) { b.setRememberPlaylist(false); },
            [](auto& b) { b.setRememberPlaylist(false); }, false },
        { "prefs/snapshotPng", [](auto& b) { b.setSnapshotPng(false); }, [](auto& b) { b.setSnapshotPng(false); },
            false },
        { "prefs/audioLanguage", [](auto& b) { b.setAudioLanguage(" deu \n"); },
            [](auto& b) { b.setAudioLanguage("deu "); }, "deu" },
        { "prefs/subtitleLanguage", [](auto& b) { b.setSubtitleLanguage("\teng"); },
            [](auto& b) { b.setSubtitleLanguage("eng"); }, "eng" },
        { "prefs/seekStepSeconds", [](auto& b) { b.setSeekStepSeconds(1000); },
            [](auto& b) { b.setSeekStepSeconds(121); }, 120 },
        { "prefs/seekStepSeconds", [](auto& b) { b.setSeekStepSeconds(-4); }, [](auto& b) { b.setSeekStepSeconds(0); },
            1 },
    };
    for (const auto& row : rows) {
        QSettings().clear();
        Player p;
        QSignalSpy changed(p.bridge.get(), &MediaSessionBridge::preferencesChanged);
        row.write(*p.bridge);
        row.same(*p.bridge);
        EXPECT_EQ(changed.count(), 1) << row.key;
        EXPECT_EQ(QSettings().value(row.key).toString(), row.stored.toString()) << row.key;
        MediaSessionBridge reloaded;
        EXPECT_EQ(reloaded.property(QByteArray(row.key).mid(6).constData()).toString(), row.stored.toString())
            << row.key;
    }
}

TEST(MediaSessionBridge, ResetPreferencesKeepsTheNavigationRules)
{
    Player p;
    OsdLog osd(*p.bridge);
    p.bridge->setHwDecode(false);
    p.bridge->setAudioLanguage("deu");
    p.bridge->setSeekStepSeconds(30);
    p.bridge->setSubtitleScale(2.0);
    p.bridge->setShuffle(true);
    p.bridge->setRepeatMode(MediaSessionBridge::RepeatAll);
    p.bridge->setPlayPlaylist(false);
    p.bridge->addRecentFile("/m/a.mp4");
    QSignalSpy prefs(p.bridge.get(), &MediaSessionBridge::preferencesChanged);
    QSignalSpy subtitles(p.bridge.get(), &MediaSessionBridge::subtitleSettingsChanged);
    osd.texts.clear();

    p.bridge->resetPreferences();
    EXPECT_TRUE(p.bridge->hwDecode());
    EXPECT_EQ(p.bridge->audioLanguage(), "");
    EXPECT_EQ(p.bridge->seekStepSeconds(), 5);
    EXPECT_EQ(p.bridge->subtitleScale(), 1.0);
    EXPECT_FALSE(QSettings().contains("prefs/hwDecode"));
    EXPECT_FALSE(QSettings().contains("subtitles/scale"));
    EXPECT_TRUE(p.bridge->shuffle());
    EXPECT_EQ(p.bridge->repeatMode(), MediaSessionBridge::RepeatAll);
    EXPECT_FALSE(p.bridge->playPlaylist());
    EXPECT_EQ(p.bridge->recentFiles(), QStringList { "/m/a.mp4" });
    EXPECT_EQ(prefs.count(), 1);
    EXPECT_EQ(subtitles.count(), 1);
    EXPECT_EQ(osd.texts, QStringList { "Preferences reset to defaults" });
}

// Where an entry is left decides what is kept for resuming it: nothing for short media, nothing near either
// end, the position otherwise.
TEST(MediaSessionBridge, ResumePositionsFollowWhereMediaIsLeft)
{
    const struct {
        const char* fixture;
        qint64 leftAt;
        bool kept;
    } rows[] = {
        { "forty-five-seconds.mkv", 20'000'000, false },
        { "ten-minutes.mkv", 590'000'000, false },
        { "ten-minutes.mkv", 5'000'000, false },
        { "ten-minutes.mkv", 300'000'000, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fixture + std::string(" at ") + std::to_string(row.leftAt));
        QSettings().clear();
        const QString path = fixturePath(row.fixture);
        // A position stored earlier is replaced or cleared.
        QSettings().setValue("resume/positions", QVariantMap { { path, qlonglong(1'000'000) } });
        QSettings().setValue("resume/order", QStringList { path });
        Player p;
        p.bridge->setPlayPlaylist(false);
        p.bridge->restorePlaylist({ path }, -1);
        ASSERT_TRUE(p.bridge->openEntry(0));
        ASSERT_TRUE(p.waitFor(State::Playing));
        ASSERT_TRUE(p.seekTo(row.leftAt));
        p.bridge->stop();

        const QVariantMap positions = QSettings().value("resume/positions").toMap();
        const QStringList order = QSettings().value("resume/order").toStringList();
        if (row.kept) {
            EXPECT_GE(positions.value(path).toLongLong(), row.leftAt);
            EXPECT_LT(positions.value(path).toLongLong(), row.leftAt + 500'000);
            EXPECT_EQ(order, QStringList { path });
        } else {
            EXPECT_FALSE(positions.contains(path));
            EXPECT_TRUE(order.isEmpty());
        }
    }
}

// The store holds the 200 most recently left files; the 201st pushes the oldest out of both keys. With
// resuming off, positions are still kept but every open starts at 0.
TEST(MediaSessionBridge, ResumeStoreKeepsTheNewest200)
{
    QVariantMap positions;
    QStringList order;
    for (int i = 0; i < 200; ++i) {
        const QString path = QStringLiteral("/m/%1.mkv").arg(i);
        positions.insert(path, qlonglong(100'000'000));
        order.append(path);
    }
    QSettings().setValue("resume/positions", positions);
    QSettings().setValue("resume/order", order);

    Player p;
    const QString path = fixturePath("ten-minutes.mkv");
    p.bridge->restorePlaylist({ path }, -1);
    ASSERT_TRUE(p.bridge->openEntry(0));
    ASSERT_TRUE(p.waitFor(State::Playing));
    ASSERT_TRUE(p.seekTo(300'000'000));
    p.bridge->stop();

    positions = QSettings().value("resume/positions").toMap();
    order = QSettings().value("resume/order").toStringList();
    EXPECT_EQ(order.size(), 200);
    EXPECT_EQ(positions.size(), 200);
    EXPECT_EQ(order.first(), path);
    EXPECT_EQ(order.last(), "/m/198.mkv");
    EXPECT_FALSE(positions.contains("/m/199.mkv"));
    EXPECT_TRUE(positions.contains(path));

    p.bridge->setResumePlayback(false);
    EXPECT_EQ(p.bridge->resumePositionFor(path), 0);
    ASSERT_TRUE(p.bridge->openEntry(0));
    ASSERT_TRUE(p.waitFor(State::Playing));
    EXPECT_LT(p.session.clockUs(), 5'000'000) << "starts at 0";
    EXPECT_TRUE(QSettings().value("resume/positions").toMap().contains(path));
}

TEST(MediaSessionBridge, MuteRemembersTheVolume)
{
    Player p;
    QSignalSpy changed(p.bridge.get(), &MediaSessionBridge::volumeChanged);
    p.bridge->setVolume(0.6);
    p.bridge->setMuted(true);
    EXPECT_TRUE(p.bridge->muted());
    EXPECT_EQ(p.bridge->volume(), 0.0);
    EXPECT_EQ(p.session.volume(), 0.0f);
    p.bridge->setMuted(false);
    EXPECT_NEAR(p.bridge->volume(), 0.6, 1e-6);

    p.bridge->setMuted(true);
    p.bridge->setVolume(0.5);
    EXPECT_FALSE(p.bridge->muted()) << "a volume above 0 unmutes";
    EXPECT_NEAR(p.session.volume(), 0.5, 1e-6);

    p.bridge->setVolume(0.0);
    p.bridge->setMuted(true);
    p.bridge->setMuted(false);
    EXPECT_NEAR(p.session.volume(), 0.8, 1e-6) << "unmuting a volume of 0 restores 0.8";

    p.bridge->setVolume(3.0);
    EXPECT_NEAR(p.session.volume(), 2.0, 1e-6);
    p.bridge->setVolume(-1.0);
    EXPECT_EQ(p.session.volume(), 0.0f);
    p.bridge->setVolume(0.7);
    const int before = int(changed.count());
    p.bridge->setVolume(std::numeric_limits<double>::quiet_NaN());
    EXPECT_NEAR(p.session.volume(), 0.7, 1e-6) << "not a number changes nothing";
    EXPECT_EQ(changed.count(), before);
}

TEST(MediaSessionBridge, SpeedAndSubtitleControlsClampAndSay)
{
    Player p;
    OsdLog osd(*p.bridge);
    const struct {
        double requested;
        double applied;
        const char* text;
    } speeds[] = {
        { 8.0, 4.0, "Speed 4×" },
        { 1.5, 1.5, "Speed 1.5×" },
        { 0.1, 0.25, "Speed 0.25×" },
        { 1.0 / 3.0, 1.0 / 3.0, "Speed 0.333×" },
    };
    for (const auto& row : speeds) {
        osd.texts.clear();
        p.bridge->setSpeed(row.requested);
        EXPECT_NEAR(p.bridge->speed(), row.applied, 1e-9);
        EXPECT_EQ(osd.texts, QStringList { row.text });
    }

    const struct {
        double requested;
        double applied;
        const char* text;
    } scales[] = {
        { 10.0, 4.0, "Subtitle size 400%" },
        { 0.125, 0.3, "Subtitle size 30%" },
        { 1.125, 1.125, "Subtitle size 113%" },
        { 1.125, 1.125, "Subtitle size 113%" },
    };
    QSignalSpy subtitles(p.bridge.get(), &MediaSessionBridge::subtitleSettingsChanged);
    for (const auto& row : scales) {
        osd.texts.clear();
        p.bridge->setSubtitleScale(row.requested);
        EXPECT_EQ(p.bridge->subtitleScale(), row.applied);
        EXPECT_EQ(QSettings().value("subtitles/scale").toDouble(), row.applied);
        EXPECT_EQ(osd.texts, QStringList { row.text }) << "every call speaks, changed or not";
    }
    EXPECT_EQ(subtitles.count(), 4);
}

TEST(MediaSessionBridge, SubtitleDelayIsClampedAndSigned)
{
    Player p;
    OsdLog osd(*p.bridge);
    const struct {
        int requested;
        int applied;
        const char* text;
    } rows[] = {
        { 250, 250, "Subtitle delay +250 ms" },
        { 0, 0, "Subtitle delay 0 ms" },
        { -250, -250, "Subtitle delay -250 ms" },
        { -700'000, -600'000, "Subtitle delay -600000 ms" },
        { 2'000'000'000, 600'000, "Subtitle delay +600000 ms" },
    };
    for (const auto& row : rows) {
        osd.texts.clear();
        p.bridge->setSubtitleDelayMs(row.requested);
        EXPECT_EQ(p.bridge->subtitleDelayMs(), row.applied);
        EXPECT_EQ(p.session.subtitleDelayUs(), int64_t(row.applied) * 1000);
        EXPECT_EQ(osd.texts, QStringList { row.text });
    }
}

// A preference that goes to the session never waits for an open to let go of the engine, and the next open
// uses it.
TEST(MediaSessionBridge, PreferencesReachTheSessionDuringAStalledOpen)
{
    StalledOpen stalled;
    MediaSessionBridge& bridge = *stalled.p.bridge;
    const QString multi = fixturePath("multi.mkv"); // audio: stream 1 "eng", stream 2 "deu"
    bridge.restorePlaylist({ multi }, -1);
    ASSERT_TRUE(bridge.openEntry(0));
    ASSERT_TRUE(stalled.p.waitFor(State::Playing));
    EXPECT_NE(bridge.currentAudioTrack(), 2) << "without a preference German is not the first choice";

    bridge.restorePlaylist({ stalled.server.url("/stalled.mp4").toString(), multi }, -1);
    ASSERT_TRUE(stalled.start());
    QElapsedTimer timer;
    timer.start();
    bridge.setAudioLanguage("deu");
    bridge.setSubtitleLanguage("eng");
    bridge.setHwDecode(false);
    bridge.setAutoLoadSubtitles(false);
    bridge.setSubtitleScale(1.5);
    bridge.setSubtitleDelayMs(100);
    bridge.resetPreferences();
    bridge.setAudioLanguage("deu");
    EXPECT_LT(timer.elapsed(), 300);
    EXPECT_EQ(bridge.state(), State::Opening);

    ASSERT_TRUE(bridge.openEntry(1));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return bridge.currentFile() == multi && bridge.state() == State::Playing; }, 10000));
    EXPECT_EQ(bridge.currentAudioTrack(), 2);
}
