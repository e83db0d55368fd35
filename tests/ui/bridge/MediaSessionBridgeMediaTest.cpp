#include "tests/ui/bridge/BridgeTestPlayer.h"
#include "tests/ui/GTestQtPrinters.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

#include <cstdlib>

using namespace kvr::test;
using State = MediaSessionBridge::State;

namespace {

// Opens one entry and pauses it as soon as the open thread has let go of the engine, so every request after
// this one takes effect at once.
bool openPaused(Player& p, const QString& entry)
{
    p.bridge->restorePlaylist({ entry }, -1);
    return p.bridge->openEntry(0) && p.waitFor(State::Playing) && p.pauseNow();
}

QStringList values(const QVariantList& list, const char* key)
{
    QStringList out;
    for (const QVariant& entry : list)
        out << entry.toMap().value(QLatin1String(key)).toString();
    return out;
}

QVariantMap findTag(const QVariantList& tags, const QString& key)
{
    for (const QVariant& tag : tags) {
        if (tag.toMap().value(QStringLiteral("key")).toString() == key)
            return tag.toMap();
    }
    return {};
}

} // namespace

TEST(MediaSessionBridge, MediaChannelTextNamesTheCommonLayouts)
{
    const struct {
        int channels;
        const char* text;
    } rows[] = { { -1, "" }, { 0, "" }, { 1, "mono" }, { 2, "stereo" }, { 3, "3ch" }, { 4, "4ch" }, { 6, "5.1" },
        { 8, "7.1" }, { 7, "7ch" } };
    for (const auto& row : rows)
        EXPECT_EQ(MediaSessionBridge::channelText(row.channels), QString::fromUtf8(row.text)) << row.channels;
}

TEST(MediaSessionBridge, TrackListsCarryTheLabelsAndFields)
{
    Player p;
    ASSERT_TRUE(openPaused(p, fixturePath("labels.mkv")));
    const QVariantList audio = p.bridge->audioTracks();
    const QVariantList subtitles = p.bridge->subtitleTracks();

    // The language already in the title is not repeated; an unknown code stands for itself; a track with
    // neither is numbered among its kind.
    EXPECT_EQ(values(audio, "label"),
        QStringList({ "English commentary  (aac, stereo)", "Track 2  (flac, 3ch)", "zzz  (flac, 5.1)" }));
    EXPECT_EQ(values(audio, "id"), QStringList({ "0", "1", "2" }));
    EXPECT_EQ(values(subtitles, "label"),
        QStringList({ QString::fromUtf8("Signs \u00B7 French  (subrip, forced)"), "Track 2  (subrip)" }));
    EXPECT_EQ(values(subtitles, "id"), QStringList({ "3", "4" }));

    const QVariantMap first = audio.value(0).toMap();
    EXPECT_EQ(first.value("language").toString(), "eng");
    EXPECT_EQ(first.value("codec").toString(), "aac");
    EXPECT_TRUE(first.value("default").toBool());
    EXPECT_FALSE(first.value("external").toBool());
    EXPECT_FALSE(first.value("bitmap").toBool());
    EXPECT_EQ(first.value("path").toString(), QString());
    EXPECT_EQ(first.value("id").typeId(), QMetaType::Int);
    EXPECT_FALSE(audio.value(1).toMap().value("default").toBool());
}

TEST(MediaSessionBridge, MediaMetadataChaptersAndCoverFollowTheOpenMedia)
{
    const struct {
        const char* fixture;
        const char* title;
        const char* artist;
        const char* album;
        bool cover;
        QStringList chapters;
    } rows[] = {
        // The artist tag is stored as "ARTIST".
        { "multi.mkv", "Fixture Title", "Fixture Artist", "", false, { "Opening", "Closing" } },
        // No title: the file's base name; no artist: the album artist.
        { "labels.mkv", "labels", "Fixture Band", "Fixture Album", false, { "Chapter 1", "Middle", "End" } },
        { "cover.mp3", "Tone", "Fixture", "", true, {} },
    };
    for (const auto& row : rows) {
        Player p;
        const QString path = fixturePath(row.fixture);
        ASSERT_TRUE(openPaused(p, path)) << row.fixture;
        EXPECT_EQ(p.bridge->mediaTitle(), row.title);
        EXPECT_EQ(p.bridge->mediaArtist(), row.artist);
        EXPECT_EQ(p.bridge->mediaAlbum(), row.album);
        EXPECT_EQ(p.bridge->coverArtUrl(),
            row.cover ? QStringLiteral("image://kvr/cover/%1").arg(p.session.generation()) : QString());
        EXPECT_EQ(values(p.bridge->chapters(), "title"), row.chapters) << row.fixture;
        EXPECT_EQ(p.bridge->recentFiles().value(0), path);
    }

    Player p;
    ASSERT_TRUE(openPaused(p, fixturePath("labels.mkv")));
    EXPECT_EQ(values(p.bridge->chapters(), "startUs"), QStringList({ "0", "5000000", "10000000" }));
    EXPECT_EQ(values(p.bridge->chapters(), "endUs"), QStringList({ "5000000", "10000000", "20000000" }));
    EXPECT_EQ(p.bridge->chapters().value(0).toMap().value("startUs").typeId(), QMetaType::LongLong);
}

TEST(MediaSessionBridge, MediaStopForgetsAndTheSameFileIsDescribedAgain)
{
    Player p;
    const QString path = fixturePath("multi.mkv");
    ASSERT_TRUE(openPaused(p, path));
    p.bridge->clearRecentFiles();

    QSignalSpy tracks(p.bridge.get(), &MediaSessionBridge::tracksChanged);
    QSignalSpy info(p.bridge.get(), &MediaSessionBridge::mediaInfoChanged);
    p.bridge->stop();
    EXPECT_GE(tracks.count(), 1);
    EXPECT_GE(info.count(), 1);
    EXPECT_TRUE(p.bridge->audioTracks().isEmpty());
    EXPECT_TRUE(p.bridge->subtitleTracks().isEmpty());
    EXPECT_TRUE(p.bridge->chapters().isEmpty());
    EXPECT_EQ(p.bridge->mediaTitle(), QString());
    EXPECT_EQ(p.bridge->mediaArtist(), QString());
    EXPECT_TRUE(p.bridge->mediaInfo().isEmpty());

    ASSERT_TRUE(p.bridge->openEntry(0) && p.waitFor(State::Playing));
    EXPECT_EQ(p.bridge->mediaTitle(), "Fixture Title");
    EXPECT_EQ(p.bridge->chapters().size(), 2);
    EXPECT_EQ(p.bridge->recentFiles(), QStringList { path });
}

TEST(MediaSessionBridge, TrackSelectionSaysWhatPlaysAndCyclesWrap)
{
    Player p;
    ASSERT_TRUE(openPaused(p, fixturePath("labels.mkv")));
    OsdLog osd(*p.bridge);
    QSignalSpy info(p.bridge.get(), &MediaSessionBridge::mediaInfoChanged);
    QSignalSpy tracks(p.bridge.get(), &MediaSessionBridge::tracksChanged);

    // Pressed quickly: each press steps on from the track on its way, and the last one plays.
    const auto settled = [&] { return QTest::qWaitFor([&] { return !p.bridge->reopening(); }, 10000); };
    ASSERT_EQ(p.session.currentAudioTrack(), 0);
    const int audioOrder[] = { 1, 2, 0 };
    for (int expected : audioOrder) {
        p.bridge->cycleAudioTrack();
        EXPECT_EQ(p.bridge->currentAudioTrack(), expected);
    }
    ASSERT_TRUE(settled());
    EXPECT_EQ(p.session.currentAudioTrack(), 0);
    EXPECT_EQ(osd.texts,
        QStringList(
            { "Audio: Track 2  (flac, 3ch)", "Audio: zzz  (flac, 5.1)", "Audio: English commentary  (aac, stereo)" }));
    EXPECT_GE(tracks.count(), 3);

    osd.texts.clear();
    p.bridge->selectSubtitleTrack(-1);
    ASSERT_EQ(p.session.currentSubtitleTrack(), -1);
    const int subtitleOrder[] = { 3, 4, -1 };
    for (int expected : subtitleOrder) {
        p.bridge->cycleSubtitleTrack();
        EXPECT_EQ(p.bridge->currentSubtitleTrack(), expected);
    }
    ASSERT_TRUE(settled());
    EXPECT_EQ(p.session.currentSubtitleTrack(), -1);
    EXPECT_EQ(osd.texts,
        QStringList({ "Subtitles off", QString::fromUtf8("Subtitles: Signs \u00B7 French  (subrip, forced)"),
            "Subtitles: Track 2  (subrip)", "Subtitles off" }));

    // An external id the session does not know.
    osd.texts.clear();
    p.bridge->selectSubtitleTrack(100050);
    EXPECT_EQ(osd.texts, QStringList { "Could not load those subtitles" });
    EXPECT_EQ(p.session.currentSubtitleTrack(), -1);

    // The reopens went through their states and rebuilt the lists, but the media stayed the same.
    QTest::qWait(200);
    EXPECT_EQ(p.bridge->audioTracks().size(), 3);
    EXPECT_EQ(info.count(), 0);
    EXPECT_EQ(p.bridge->state(), State::Paused);
}

TEST(MediaSessionBridge, TrackCycleWithFewTracksOnlySaysSo)
{
    const struct {
        const char* fixture;
        QStringList audio;
        QStringList subtitles;
    } rows[] = {
        { "clip.mp4", { "Only one audio track" }, { "No subtitles" } },
        { "video-only.mkv", { "No audio track" }, { "No subtitles" } },
    };
    for (const auto& row : rows) {
        Player p;
        ASSERT_TRUE(openPaused(p, fixturePath(row.fixture))) << row.fixture;
        OsdLog osd(*p.bridge);
        p.bridge->cycleAudioTrack();
        EXPECT_EQ(osd.texts, row.audio) << row.fixture;
        osd.texts.clear();
        p.bridge->cycleSubtitleTrack();
        EXPECT_EQ(osd.texts, row.subtitles) << row.fixture;
    }
}

TEST(MediaSessionBridge, TrackSubtitleFileIsAddedOnceAndRefusalsAreExplained)
{
    const QString subtitles = scratchPath(QStringLiteral("extra subs.srt"));
    QFile::remove(subtitles);
    ASSERT_TRUE(QFile::copy(QString::fromStdString(fixture("inputs/two-cues.srt").string()), subtitles));
    const QString broken = scratchPath(QStringLiteral("broken.srt"));
    {
        QFile file(broken);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("this is not a subtitle file\n");
    }

    Player p;
    ASSERT_TRUE(openPaused(p, fixturePath("multi.mkv")));
    OsdLog osd(*p.bridge);
    QSignalSpy settings(p.bridge.get(), &MediaSessionBridge::subtitleSettingsChanged);

    // As a file dialog hands it over, then as a plain path: the second only selects the same entry.
    p.bridge->loadSubtitleFile(QUrl::fromLocalFile(subtitles).toString());
    p.bridge->loadSubtitleFile(subtitles);
    EXPECT_EQ(osd.texts, QStringList({ "Subtitles: extra subs.srt", "Subtitles: extra subs.srt" }));
    EXPECT_EQ(settings.count(), 2);
    EXPECT_EQ(p.session.currentSubtitleTrack(), 100000);
    const QVariantList tracks = p.bridge->subtitleTracks();
    ASSERT_EQ(tracks.size(), 2);
    const QVariantMap added = tracks.value(1).toMap();
    EXPECT_EQ(added.value("id").toInt(), 100000);
    EXPECT_EQ(added.value("label").toString(), "extra subs.srt  (external)");
    EXPECT_TRUE(added.value("external").toBool());
    EXPECT_EQ(added.value("path").toString(), subtitles);
    EXPECT_EQ(added.value("codec").toString(), "srt");

    // The media information shows where the file came from, and that it is the one shown.
    const QVariantList described = p.bridge->mediaInfo().value("tracks").toList();
    ASSERT_EQ(described.size(), 5);
    const QVariantMap external = described.value(4).toMap();
    EXPECT_EQ(external.value("type").toString(), "Subtitle");
    EXPECT_TRUE(external.value("details").toStringList().contains("File: " + subtitles));
    EXPECT_TRUE(external.value("active").toBool());

    osd.texts.clear();
    p.bridge->loadSubtitleFile(broken);
    ASSERT_EQ(osd.texts.size(), 1);
    EXPECT_TRUE(osd.texts[0].startsWith("Could not load broken.srt: ")) << osd.texts[0].toStdString();
    EXPECT_GT(osd.texts[0].size(), QString("Could not load broken.srt: ").size());
    EXPECT_EQ(p.bridge->subtitleTracks().size(), 2);
    EXPECT_EQ(p.session.currentSubtitleTrack(), 100000);
}

TEST(MediaSessionBridge, TrackRequestsWithoutOpenMedia)
{
    {
        // Without a session nothing answers.
        MediaSessionBridge bridge;
        OsdLog osd(bridge);
        bridge.selectAudioTrack(1);
        bridge.selectSubtitleTrack(-1);
        bridge.cycleAudioTrack();
        bridge.cycleSubtitleTrack();
        bridge.loadSubtitleFile(fixturePath("inputs/two-cues.srt"));
        bridge.seekChapter(0);
        EXPECT_TRUE(bridge.mediaInfo().isEmpty());
        EXPECT_EQ(osd.texts, QStringList());
    }
    Player p;
    OsdLog osd(*p.bridge);
    QSignalSpy tracks(p.bridge.get(), &MediaSessionBridge::tracksChanged);
    p.bridge->selectAudioTrack(1);
    p.bridge->selectSubtitleTrack(-1);
    EXPECT_EQ(tracks.count(), 0);
    p.bridge->loadSubtitleFile(fixturePath("inputs/two-cues.srt"));
    p.bridge->previousChapter();
    EXPECT_EQ(osd.texts, QStringList({ "Open a video first, then add its subtitles", "No chapters" }));
    EXPECT_TRUE(p.bridge->mediaInfo().isEmpty());
}

TEST(MediaSessionBridge, TrackRequestsDuringAnOpenAreDroppedSilently)
{
    StalledOpen stalled;
    ASSERT_TRUE(stalled.start());
    MediaSessionBridge& bridge = *stalled.p.bridge;
    OsdLog osd(bridge);
    QSignalSpy tracks(&bridge, &MediaSessionBridge::tracksChanged);
    QSignalSpy settings(&bridge, &MediaSessionBridge::subtitleSettingsChanged);
    QElapsedTimer timer;
    timer.start();
    bridge.selectAudioTrack(1);
    bridge.selectSubtitleTrack(-1);
    bridge.selectSubtitleTrack(3);
    bridge.loadSubtitleFile(fixturePath("inputs/two-cues.srt"));
    EXPECT_LT(timer.elapsed(), 500);
    EXPECT_EQ(osd.texts, QStringList());
    EXPECT_EQ(tracks.count(), 0);
    EXPECT_EQ(settings.count(), 0);
    EXPECT_EQ(bridge.state(), State::Opening);
}

TEST(MediaSessionBridge, MediaChapterJumps)
{
    // Chapters of labels.mkv: untitled at 0 s, "Middle" at 5 s, "End" at 10 s.
    const struct {
        qint64 fromUs;
        int action; // 0 previous, 1 next, 2 seekChapter(1)
        qint64 toUs; // -1: no seek
        const char* osd;
    } rows[] = {
        { 12'500'000, 0, 5'000'000, "Middle" }, // 2.5 s into the last chapter: the one before
        { 14'000'000, 0, 10'000'000, "End" }, // 4 s into it: it restarts
        { 2'000'000, 0, 0, "Chapter 1" }, // in the first chapter: it restarts
        { 9'600'000, 0, 5'000'000, "Middle" }, // already counted in the next chapter, 0.4 s before it
        { 2'000'000, 1, 5'000'000, "Middle" },
        { 14'000'000, 1, -1, "" }, // no chapter after the last
        { 14'000'000, 2, 5'000'000, "Middle" },
    };
    Player p;
    ASSERT_TRUE(openPaused(p, fixturePath("labels.mkv")));
    OsdLog osd(*p.bridge);
    for (const auto& row : rows) {
        p.bridge->seekUs(row.fromUs);
        ASSERT_LT(std::llabs(p.bridge->clockUs() - row.fromUs), 100'000) << row.fromUs;
        osd.texts.clear();
        switch (row.action) {
        case 0:
            p.bridge->previousChapter();
            break;
        case 1:
            p.bridge->nextChapter();
            break;
        default:
            p.bridge->seekChapter(1);
            break;
        }
        const qint64 expected = row.toUs < 0 ? row.fromUs : row.toUs;
        EXPECT_LT(std::llabs(p.bridge->clockUs() - expected), 100'000) << row.fromUs << " " << row.action;
        EXPECT_EQ(osd.texts, row.toUs < 0 ? QStringList() : QStringList { row.osd }) << row.fromUs;
    }

    // Before the next chapter's start by less than half a second it is already current.
    p.bridge->seekUs(9'600'000);
    EXPECT_EQ(p.bridge->currentChapter(), 2);
    p.bridge->seekUs(9'400'000);
    EXPECT_EQ(p.bridge->currentChapter(), 1);

    osd.texts.clear();
    p.bridge->seekChapter(3);
    p.bridge->seekChapter(-1);
    EXPECT_EQ(osd.texts, QStringList());
    EXPECT_LT(std::llabs(p.bridge->clockUs() - 9'400'000), 100'000);
}

TEST(MediaSessionBridge, MediaInfoDescribesTheOpenMedia)
{
    Player p;
    const QString path = fixturePath("multi.mkv");
    ASSERT_TRUE(openPaused(p, path));
    const QVariantMap info = p.bridge->mediaInfo();
    EXPECT_EQ(info.value("path").toString(), path);
    EXPECT_EQ(info.value("container").toString(), "Matroska / WebM");
    EXPECT_GT(info.value("durationUs").toLongLong(), 2'900'000);
    EXPECT_GT(info.value("bitRate").toLongLong(), 0);
    EXPECT_EQ(info.value("fileSize").toLongLong(), QFileInfo(path).size());
    EXPECT_EQ(findTag(info.value("tags").toList(), "ARTIST").value("value").toString(), "Fixture Artist");
    EXPECT_EQ(info.value("decoder").toString(), p.session.usesHardwareDecoding() ? "Hardware (VA-API)" : "Software");

    const QVariantList tracks = info.value("tracks").toList();
    ASSERT_EQ(tracks.size(), 4);
    EXPECT_EQ(values(tracks, "type"), QStringList({ "Video", "Audio", "Audio", "Subtitle" }));
    EXPECT_EQ(values(tracks, "id"), QStringList({ "0", "1", "2", "3" }));
    const bool subtitleShown = p.session.currentSubtitleTrack() == 3;
    EXPECT_EQ(values(tracks, "active"), QStringList({ "true", "true", "false", subtitleShown ? "true" : "false" }));

    const QStringList video = tracks.value(0).toMap().value("details").toStringList();
    ASSERT_EQ(video.size(), 4) << video.join('|').toStdString();
    EXPECT_TRUE(video[0].startsWith("Codec: ")) << video[0].toStdString();
    EXPECT_TRUE(video[0].endsWith(" (High)")) << video[0].toStdString();
    EXPECT_EQ(video[1], QString::fromUtf8("Resolution: 320 \u00D7 240"));
    EXPECT_EQ(video[2], QStringLiteral("Frame rate: %1 fps").arg(QLocale().toString(25.0, 'f', 3)));
    EXPECT_EQ(video[3], "Pixel format: yuv420p");

    const QStringList audio = tracks.value(2).toMap().value("details").toStringList();
    ASSERT_GE(audio.size(), 4) << audio.join('|').toStdString();
    EXPECT_EQ(audio[1], "Sample rate: 48000 Hz");
    EXPECT_EQ(audio[2], "Channels: 2 (stereo)");
    EXPECT_EQ(audio.last(), "Language: German");

    Player sound;
    ASSERT_TRUE(openPaused(sound, fixturePath("tone6.mkv")));
    EXPECT_EQ(sound.bridge->mediaInfo().value("decoder").toString(), QString());
}
