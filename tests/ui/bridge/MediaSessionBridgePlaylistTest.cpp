#include "ui/bridge/MediaSessionBridge.h"

#include "tests/ui/bridge/BridgeTestPlayer.h"
#include "tests/ui/GTestQtPrinters.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

#include <algorithm>

using kvr::ui::MediaSessionBridge;
using State = MediaSessionBridge::State;
using namespace kvr::test;

namespace {

QStringList missingEntries(int count)
{
    QStringList entries;
    for (int i = 0; i < count; ++i)
        entries << scratchPath(QStringLiteral("missing-%1.mp4").arg(i));
    return entries;
}

// count playable copies of clip.mp4 named clip-0.mp4 … in the scratch directory.
QStringList clipCopies(int count)
{
    QStringList entries;
    for (int i = 0; i < count; ++i) {
        const QString path = scratchPath(QStringLiteral("clip-%1.mp4").arg(i));
        if (!QFile::exists(path))
            QFile::copy(fixturePath("clip.mp4"), path);
        entries << path;
    }
    return entries;
}

bool writeText(const QString& path, const QByteArray& text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(MediaSessionBridge, MovingKeepsTheSameEntryCurrent)
{
    const struct {
        int from;
        int to;
        int current;
        int expected;
        const char* order;
    } rows[] = {
        { 0, 3, 2, 1, "1230" },
        { 3, 0, 1, 2, "3012" },
        { 1, 3, 1, 3, "0231" },
        { 2, 3, 0, 0, "0132" },
        { 3, 1, 2, 3, "0312" },
        { 0, 2, -1, -1, "1203" },
        // Not a move: nothing changes.
        { 1, 1, 1, 1, "0123" },
        { -1, 2, 1, 1, "0123" },
        { 0, 4, 1, 1, "0123" },
    };
    for (const auto& row : rows) {
        MediaSessionBridge bridge;
        bridge.restorePlaylist({ "/m/0", "/m/1", "/m/2", "/m/3" }, row.current);
        bridge.movePlaylistItem(row.from, row.to);
        QString order;
        for (const QString& e : bridge.playlist())
            order += e.back();
        EXPECT_EQ(order, row.order) << row.from << "->" << row.to;
        EXPECT_EQ(bridge.playlistIndex(), row.expected) << row.from << "->" << row.to;
    }
}

TEST(MediaSessionBridge, RemovingFollowsOrReplacesTheCurrentEntry)
{
    {
        MediaSessionBridge bridge;
        bridge.restorePlaylist({ "/m/0", "/m/1", "/m/2", "/m/3" }, 2);
        bridge.removeFromPlaylist(0);
        EXPECT_EQ(bridge.playlistIndex(), 1) << "the same entry stays current";
        EXPECT_EQ(bridge.currentEntry(), "/m/2");
        bridge.removeFromPlaylist(2);
        EXPECT_EQ(bridge.currentEntry(), "/m/2");
        bridge.removeFromPlaylist(7);
        EXPECT_EQ(bridge.playlistCount(), 2);
    }

    // Removing the playing entry opens the one that moved into its place; the last one leaves none current.
    Player p;
    const QStringList clips = clipCopies(3);
    p.bridge->restorePlaylist(clips, -1);
    ASSERT_TRUE(p.bridge->openEntry(1));
    ASSERT_TRUE(p.waitFor(State::Playing));
    p.bridge->removeFromPlaylist(1);
    EXPECT_EQ(p.bridge->playlistIndex(), 1);
    ASSERT_TRUE(p.waitFor(State::Playing));
    EXPECT_EQ(p.bridge->currentFile(), clips[2]);

    p.bridge->removeFromPlaylist(1);
    EXPECT_EQ(p.bridge->playlistIndex(), -1);
    EXPECT_EQ(p.bridge->state(), State::Idle);
    EXPECT_EQ(p.bridge->playlist(), QStringList { clips[0] });
}

TEST(MediaSessionBridge, NextAndPreviousAtTheEnds)
{
    Player p;
    OsdLog osd(*p.bridge);
    p.bridge->setPlayPlaylist(false);
    p.bridge->restorePlaylist(missingEntries(3), 2);

    p.bridge->playNext();
    EXPECT_EQ(osd.texts, QStringList { "End of playlist" });
    EXPECT_EQ(p.bridge->playlistIndex(), 2);

    p.bridge->playPrevious();
    EXPECT_EQ(p.bridge->playlistIndex(), 1);
    p.bridge->playPrevious();
    p.bridge->playPrevious();
    EXPECT_EQ(p.bridge->playlistIndex(), 0) << "nothing before the first entry without RepeatAll";

    p.bridge->setRepeatMode(MediaSessionBridge::RepeatAll);
    p.bridge->playPrevious();
    EXPECT_EQ(p.bridge->playlistIndex(), 2) << "RepeatAll goes round to the last entry";
    p.bridge->playNext();
    EXPECT_EQ(p.bridge->playlistIndex(), 0);

    MediaSessionBridge idle;
    OsdLog idleOsd(idle);
    idle.playNext();
    idle.playPrevious();
    EXPECT_TRUE(idleOsd.texts.isEmpty()) << "an empty playlist says nothing";
}

// Previous restarts the entry once more than 3 s of it played; before that it goes to the entry before.
TEST(MediaSessionBridge, PreviousRestartsAfterThreeSeconds)
{
    Player p;
    const QString clip = clipCopies(1)[0];
    p.bridge->restorePlaylist({ clip, fixturePath("three-minutes.mkv") }, -1);

    ASSERT_TRUE(p.bridge->openEntry(1));
    ASSERT_TRUE(p.waitFor(State::Playing));
    ASSERT_TRUE(p.seekTo(4'000'000));
    p.bridge->playPrevious();
    EXPECT_EQ(p.bridge->playlistIndex(), 1);
    EXPECT_LT(p.bridge->clockUs(), 1'000'000) << "restarted";

    p.bridge->playPrevious();
    EXPECT_EQ(p.bridge->playlistIndex(), 0) << "within 3 s: the entry before";
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return p.bridge->currentFile() == clip && p.bridge->state() == State::Playing; }, 10000));

    // The first entry without RepeatAll: a restart.
    QTest::qWait(600);
    p.bridge->playPrevious();
    EXPECT_EQ(p.bridge->playlistIndex(), 0);
    EXPECT_LT(p.bridge->clockUs(), 400'000);
}

// The history behind previous-with-shuffle holds at most one index less than the playlist.
TEST(MediaSessionBridge, ShuffleHistoryIsBounded)
{
    Player p;
    p.bridge->setPlayPlaylist(false);
    p.bridge->restorePlaylist(missingEntries(4), -1);
    p.bridge->setShuffle(true);
    for (int i : { 3, 0, 2, 1, 3 })
        ASSERT_TRUE(p.bridge->openEntry(i));

    // Left behind, oldest first: 3 0 2 1, of which only the newest three are kept.
    QList<int> back;
    for (int i = 0; i < 4; ++i) {
        p.bridge->playPrevious();
        back << p.bridge->playlistIndex();
    }
    EXPECT_EQ(back, (QList<int> { 1, 2, 0, 0 }));
}

// Inserting after the current entry keeps the history pointing at the entries played before.
TEST(MediaSessionBridge, PlayNextInsertsAfterTheCurrentEntry)
{
    Player p;
    OsdLog osd(*p.bridge);
    p.bridge->setPlayPlaylist(false);
    const QStringList entries = missingEntries(3);
    p.bridge->restorePlaylist(entries, -1);
    p.bridge->setShuffle(true);
    ASSERT_TRUE(p.bridge->openEntry(2));
    ASSERT_TRUE(p.bridge->openEntry(1));
    osd.texts.clear();

    p.bridge->playPathsNext({ "/m/a.mp3", "", "  /m/b.mp3 " });
    EXPECT_EQ(p.bridge->playlist(), (QStringList { entries[0], entries[1], "/m/a.mp3", "/m/b.mp3", entries[2] }));
    EXPECT_EQ(p.bridge->playlistIndex(), 1);
    EXPECT_EQ(osd.texts, QStringList { "Playing next: 2 item(s)" });

    p.bridge->playPrevious();
    EXPECT_EQ(p.bridge->currentEntry(), entries[2]) << "back to the entry played before, wherever it went";

    // With no current entry the paths are queued at the end.
    MediaSessionBridge bridge;
    OsdLog queued(bridge);
    bridge.restorePlaylist({ "/m/0" }, -1);
    bridge.playPathsNext({ "/m/1" });
    EXPECT_EQ(bridge.playlist(), (QStringList { "/m/0", "/m/1" }));
    EXPECT_EQ(queued.texts, QStringList { "Added 1 item(s) to the queue" });
}

TEST(MediaSessionBridge, PlayPathsReplacesTheListAndStarts)
{
    const struct {
        int index;
        bool shuffleArgument;
        int expected; // -2: any entry
        bool shuffleAfter;
    } rows[] = {
        { 0, false, 0, false },
        { 2, false, 2, false },
        { 9, false, 3, false },
        { -3, false, 0, false },
        { 2, true, 2, true },
        { 0, true, -2, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.index);
        QSettings().clear();
        Player p;
        OsdLog osd(*p.bridge);
        p.bridge->setPlayPlaylist(false);
        p.bridge->restorePlaylist({ "/m/old" }, 0);
        const QStringList entries = missingEntries(4);
        p.bridge->playPaths(entries, row.index, row.shuffleArgument);
        EXPECT_EQ(p.bridge->playlist(), entries);
        if (row.expected == -2)
            EXPECT_TRUE(p.bridge->playlistIndex() >= 0 && p.bridge->playlistIndex() < 4);
        else
            EXPECT_EQ(p.bridge->playlistIndex(), row.expected);
        EXPECT_EQ(p.bridge->shuffle(), row.shuffleAfter);
        EXPECT_EQ(osd.texts.contains("Shuffle on"), row.shuffleAfter);
    }

    // The random start covers every entry.
    Player p;
    p.bridge->setPlayPlaylist(false);
    QSet<int> starts;
    for (int i = 0; i < 60 && starts.size() < 3; ++i) {
        p.bridge->playPaths(missingEntries(3), 0, true);
        starts.insert(p.bridge->playlistIndex());
    }
    EXPECT_EQ(starts.size(), 3);

    // The index names a given path, also when paths before it are left out.
    p.bridge->setShuffle(false);
    p.bridge->playPaths({ "", "tcp://127.0.0.1:9/x", "/m/a.mp4", "/m/b.mp4" }, 3);
    EXPECT_EQ(p.bridge->playlist(), (QStringList { "/m/a.mp4", "/m/b.mp4" }));
    EXPECT_EQ(p.bridge->playlistIndex(), 1);
}

// Adding starts playback only on an idle or failed player with no open under way.
TEST(MediaSessionBridge, AddingOpensOnlyWhenNothingPlaysOrOpens)
{
    const QStringList clips = clipCopies(3);
    {
        StalledOpen stalled;
        ASSERT_TRUE(stalled.start());
        QElapsedTimer timer;
        timer.start();
        stalled.p.bridge->addToPlaylist(clips[0]);
        EXPECT_LT(timer.elapsed(), 300);
        EXPECT_EQ(stalled.p.bridge->playlistCount(), 2);
        EXPECT_EQ(stalled.p.bridge->playlistIndex(), 0) << "queued behind the open under way";
        EXPECT_EQ(stalled.p.bridge->state(), State::Opening);
    }

    Player p;
    OsdLog osd(*p.bridge);
    p.bridge->setPlayPlaylist(false);
    p.bridge->restorePlaylist({ scratchPath("missing.mp4") }, -1);
    ASSERT_TRUE(p.bridge->openEntry(0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !osd.texts.isEmpty(); }, 5000));
    ASSERT_EQ(p.bridge->state(), State::Error);
    QTest::qWait(100); // the failed open's worker returns right after reporting
    p.bridge->addToPlaylist(clips[0]);
    EXPECT_EQ(p.bridge->playlistIndex(), 1) << "a failed player starts the added file";
    ASSERT_TRUE(p.waitFor(State::Playing));

    p.bridge->enqueuePaths({ clips[1], clips[2] });
    EXPECT_EQ(p.bridge->playlistIndex(), 1) << "while playing, added files only queue";
    EXPECT_EQ(p.bridge->playlistCount(), 4);
    EXPECT_EQ(osd.texts.last(), "Added 2 item(s) to the queue");
}

TEST(MediaSessionBridge, AddingFoldersAndPlaylistFiles)
{
    MediaSessionBridge bridge;
    OsdLog osd(bridge);
    const QString root = scratchPath("adding");
    ASSERT_TRUE(QDir().mkpath(root + "/one") && QDir().mkpath(root + "/two") && QDir().mkpath(root + "/none"));
    ASSERT_TRUE(writeText(root + "/one/a.mp3", "x"));
    ASSERT_TRUE(writeText(root + "/two/track10.mp3", "x") && writeText(root + "/two/track2.mp3", "x"));
    ASSERT_TRUE(writeText(root + "/none/notes.txt", "x"));
    ASSERT_TRUE(writeText(root + "/empty.m3u", "#EXTM3U\n"));

    bridge.addToPlaylist(root + "/one");
    EXPECT_TRUE(osd.texts.isEmpty()) << "one entry added: no message";
    bridge.addToPlaylist("\"" + root + "/two\"");
    EXPECT_EQ(osd.texts, QStringList { "Added 2 item(s)" });
    EXPECT_EQ(
        bridge.playlist(), (QStringList { root + "/one/a.mp3", root + "/two/track2.mp3", root + "/two/track10.mp3" }));

    osd.texts.clear();
    bridge.addToPlaylist(root + "/none");
    bridge.addToPlaylist(QUrl::fromLocalFile(root + "/empty.m3u").toString());
    bridge.addToPlaylist("   ");
    EXPECT_EQ(osd.texts, (QStringList { "No media files in that folder", "Nothing playable in empty.m3u" }));
    EXPECT_EQ(bridge.playlistCount(), 3);

    // open replaces the list.
    bridge.open(root + "/one/a.mp3");
    EXPECT_EQ(bridge.playlist(), QStringList { root + "/one/a.mp3" });
    bridge.clearPlaylist();
    EXPECT_EQ(bridge.playlistCount(), 0);
    EXPECT_EQ(bridge.playlistIndex(), -1);
}

// A playlist in UTF-16 without a mark gives its entries; one whose every line is dropped says so, on screen and
// in the log.
TEST(MediaSessionBridge, PlaylistsOfNulsAndUnmarkedUtf16)
{
    MediaSessionBridge bridge;
    OsdLog osd(bridge);
    QSignalSpy failed(&bridge, &MediaSessionBridge::openFailed);
    const QString root = scratchPath("nul-lists");
    ASSERT_TRUE(QDir().mkpath(root));
    auto writeBytes = [&](const QString& name, const QByteArray& bytes) {
        QFile file(root + "/" + name);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    };
    QByteArray utf16;
    for (const QChar c : QStringLiteral("#EXTM3U\r\na.mp3\r\nb.mp3\r\n"))
        utf16.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
    ASSERT_TRUE(writeBytes("wide.m3u", utf16));
    ASSERT_TRUE(writeBytes("nuls.m3u", QByteArray("\0\0\0\n\0\r\n\0\0\n", 10)));

    bridge.addToPlaylist(root + "/wide.m3u");
    EXPECT_EQ(bridge.playlist(), (QStringList { root + "/a.mp3", root + "/b.mp3" }));
    EXPECT_EQ(osd.texts, QStringList { "Added 2 item(s)" });

    osd.texts.clear();
    bridge.addToPlaylist(root + "/nuls.m3u");
    EXPECT_EQ(osd.texts, QStringList { "Nothing playable in nuls.m3u" });
    ASSERT_EQ(failed.count(), 1);
    EXPECT_EQ(failed[0][1].toString(),
        "MediaSessionBridge: open failed: " + root + "/nuls.m3u: Nothing playable in nuls.m3u");
    EXPECT_EQ(bridge.playlistCount(), 2);
}

// Only the stream schemes and absolute local paths ever become entries, whichever way the text came in.
TEST(MediaSessionBridge, SchemeListGuardsEveryWayIn)
{
    Player p;
    OsdLog osd(*p.bridge);
    p.bridge->setPlayPlaylist(false);
    const QString folder = scratchPath("lists");
    ASSERT_TRUE(QDir().mkpath(folder));

    // A playlist file.
    ASSERT_TRUE(writeText(
        folder + "/mixed.m3u8", "#EXTM3U\r\nhttp://127.0.0.1:1/a.mp4\r\ntcp://127.0.0.1:9/x?listen=1\r\n../b.mp4\r\n"));
    p.bridge->addToPlaylist(folder + "/mixed.m3u8");
    EXPECT_EQ(p.bridge->playlist(), (QStringList { "http://127.0.0.1:1/a.mp4", scratchPath("b.mp4") }));
    EXPECT_EQ(osd.texts.last(), "Skipped tcp://127.0.0.1:9/x?listen=1: not a supported address");

    // The restored session: the index follows its entry.
    p.bridge->stop();
    osd.texts.clear();
    p.bridge->restorePlaylist({ "/m/a.mp4", "concat:/m/a.mp4|/m/b.mp4", "gopher://127.0.0.1/x", "/m/b.mp4" }, 3);
    EXPECT_EQ(p.bridge->playlist(), (QStringList { "/m/a.mp4", "/m/b.mp4" }));
    EXPECT_EQ(p.bridge->playlistIndex(), 1);
    EXPECT_EQ(osd.texts, QStringList { "Skipped concat:/m/a.mp4|/m/b.mp4 and 1 more unsupported address(es)" });
    p.bridge->restorePlaylist({ "pipe:0" }, 0);
    EXPECT_EQ(p.bridge->playlist(), (QStringList { "/m/a.mp4", "/m/b.mp4" })) << "nothing left: nothing replaced";

    // Queued and dropped paths.
    osd.texts.clear();
    p.bridge->enqueuePaths({ "rtsp://127.0.0.1:1/q", "smb://127.0.0.1/share/x.mp4" });
    EXPECT_EQ(p.bridge->playlistCount(), 3);
    EXPECT_EQ(osd.texts,
        (QStringList {
            "Added 1 item(s) to the queue", "Skipped smb://127.0.0.1/share/x.mp4: not a supported address" }));

    // Typed addresses.
    const struct {
        const char* text;
        const char* stored; // nullptr: refused
        const char* message;
    } rows[] = {
        { "  RTSP://127.0.0.1:1/x  ", "RTSP://127.0.0.1:1/x", nullptr },
        { "tcp://127.0.0.1:1", nullptr, "Not a supported stream address" },
        { "http:127.0.0.1/x", nullptr, "Not a supported stream address" },
        { "/m/c.mp4", nullptr, "Not a supported stream address" },
        { "C:\\music\\a.mp3", nullptr, "Not a supported stream address" },
    };
    for (const auto& row : rows) {
        osd.texts.clear();
        const int before = p.bridge->playlistCount();
        p.bridge->openUrl(row.text);
        if (row.stored) {
            EXPECT_EQ(p.bridge->playlist().last(), row.stored);
            EXPECT_EQ(p.bridge->playlistIndex(), before) << "the address opens";
        } else {
            EXPECT_EQ(p.bridge->playlistCount(), before) << row.text;
            EXPECT_EQ(osd.texts, QStringList { row.message }) << row.text;
        }
    }
    p.bridge->stop();
    const int before = p.bridge->playlistCount();
    p.bridge->openUrl(QUrl::fromLocalFile(fixturePath("clip.mp4")).toString());
    EXPECT_EQ(p.bridge->playlist().last(), fixturePath("clip.mp4"));
    EXPECT_EQ(p.bridge->playlistIndex(), before);
}

TEST(MediaSessionBridge, RecentFilesNewestFirstWithoutRepeats)
{
    {
        Player p;
        QSignalSpy changed(p.bridge.get(), &MediaSessionBridge::recentFilesChanged);
        for (int i = 0; i < 16; ++i)
            p.bridge->addRecentFile(QStringLiteral("/m/%1.mp4").arg(i));
        p.bridge->addRecentFile("/m/14.mp4");
        p.bridge->addRecentFile("/M/14.mp4");
        QStringList expected { "/M/14.mp4", "/m/14.mp4", "/m/15.mp4" };
        for (int i = 13; i >= 2; --i)
            expected << QStringLiteral("/m/%1.mp4").arg(i);
        EXPECT_EQ(p.bridge->recentFiles(), expected);
        EXPECT_EQ(QSettings().value("recent/files").toStringList(), expected);
        EXPECT_EQ(changed.count(), 18);

        // A vanished file leaves the list; the playlist is untouched.
        OsdLog osd(*p.bridge);
        p.bridge->restorePlaylist({ "/m/other.mp4" }, -1);
        p.bridge->openRecent("/m/14.mp4");
        EXPECT_EQ(osd.texts, QStringList { "14.mp4 no longer exists" });
        EXPECT_FALSE(p.bridge->recentFiles().contains("/m/14.mp4"));
        EXPECT_TRUE(p.bridge->recentFiles().contains("/M/14.mp4"));
        EXPECT_EQ(p.bridge->playlist(), QStringList { "/m/other.mp4" });

        // An existing one is added and opened; a second time it is found in the playlist.
        const QString clip = clipCopies(1)[0];
        p.bridge->openRecent(clip);
        EXPECT_EQ(p.bridge->playlist(), (QStringList { "/m/other.mp4", clip }));
        EXPECT_EQ(p.bridge->playlistIndex(), 1);
        ASSERT_TRUE(p.waitFor(State::Playing));
        p.bridge->openRecent(clip);
        EXPECT_EQ(p.bridge->playlistCount(), 2);

        p.bridge->clearRecentFiles();
        EXPECT_TRUE(p.bridge->recentFiles().isEmpty());
        EXPECT_FALSE(QSettings().contains("recent/files"));
    }

    // A stored list with an address outside the schemes: refused, dropped, nothing opened.
    QSettings().setValue("recent/files", QStringList { "tcp://127.0.0.1:9/x", "/m/a.mp4" });
    Player p;
    OsdLog osd(*p.bridge);
    p.bridge->openRecent("tcp://127.0.0.1:9/x");
    EXPECT_EQ(osd.texts, QStringList { "Skipped tcp://127.0.0.1:9/x: not a supported address" });
    EXPECT_EQ(p.bridge->recentFiles(), QStringList { "/m/a.mp4" });
    EXPECT_EQ(p.bridge->playlistCount(), 0);
    EXPECT_EQ(p.bridge->state(), State::Idle);
}

TEST(MediaSessionBridge, SavePlaylistWritesM3u8)
{
    MediaSessionBridge bridge;
    OsdLog osd(bridge);
    const QString folder = scratchPath("saved");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QStringList entries { "/m/Song One.mp3", "http://127.0.0.1:1/live", "/m/line\nbreak.mp3",
        "/m/trailing.mp3 " };
    bridge.restorePlaylist(entries, 0);

    ASSERT_TRUE(bridge.savePlaylist(QUrl::fromLocalFile(folder + "/list").toString()));
    EXPECT_EQ(osd.texts, QStringList { "Playlist saved" });
    EXPECT_EQ(readAll(folder + "/list.m3u8"),
        "#EXTM3U\n#EXTINF:-1,Song One\n/m/Song One.mp3\n#EXTINF:-1,http://127.0.0.1:1/live\n"
        "http://127.0.0.1:1/live\n#EXTINF:-1,line break\nfile:///m/line%0Abreak.mp3\n"
        "#EXTINF:-1,trailing\nfile:///m/trailing.mp3%20\n");

    // Read back, every entry is the same entry.
    bridge.open(folder + "/list.m3u8");
    EXPECT_EQ(bridge.playlist(), entries);

    osd.texts.clear();
    EXPECT_FALSE(bridge.savePlaylist(QUrl::fromLocalFile(folder + "/missing/list.m3u8").toString()));
    EXPECT_FALSE(bridge.savePlaylist(""));
    EXPECT_EQ(osd.texts, QStringList { "Could not save the playlist" });
}
