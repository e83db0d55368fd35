#include "tests/ui/bridge/BridgeTestPlayer.h"
#include "tests/ui/library/LibraryTestFiles.h"
#include "tests/ui/library/SeededLibraryTest.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTest>
#include <QUrl>

using kvr::test::library::SeededLibraryTest;

namespace {

class LibraryPlays : public SeededLibraryTest {
protected:
    void SetUp() override
    {
        SeededLibraryTest::SetUp();
        // No folders: no start-up scan, whose end would bring a contentChanged of its own.
        ASSERT_TRUE(exec("DELETE FROM library_folders"));
    }

    // "play_count|total_play_time_us|history rows" of a uri; "" for the count and total without a row.
    QString stats(const QString& path)
    {
        const QVariantList id { scalar("SELECT id FROM sources WHERE uri = ?1", { path }) };
        return scalar("SELECT play_count FROM play_stats WHERE source_id = ?1", id) + "|"
            + scalar("SELECT total_play_time_us FROM play_stats WHERE source_id = ?1", id) + "|"
            + scalar("SELECT COUNT(*) FROM play_history WHERE source_id = ?1", id);
    }

    bool addSource(const QString& path)
    {
        kvr::ui::library::Statement insert
            = db.prepare("INSERT INTO sources(uri, kind, available, date_added) VALUES(?1, 'audio', 1, 0)");
        insert.bindText(1, path);
        return insert.run();
    }
};

// A play counts for the source whose uri is exactly the path played: not for a name that differs only in
// letter case (another file here), not for a "file:" URL, not outside the library.
TEST_F(LibraryPlays, CountsThePlayedSourceOnly)
{
    const QString upper = uri("Music/Singles/A.mp3");
    const QString lower = uri("Music/Singles/a.mp3");
    ASSERT_TRUE(addSource(upper));
    ASSERT_TRUE(addSource(lower));
    const QString iceRoad = uri("Music/The Lanterns/Northern Lights/CD1/03 Ice Road.flac");
    auto& lib = open();

    lib.recordPlay(iceRoad, 198'000'000);
    EXPECT_EQ(stats(iceRoad), "1|198000000|1");
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QVariantList id { scalar("SELECT id FROM sources WHERE uri = ?1", { iceRoad }) };
    EXPECT_NEAR(scalar("SELECT last_played FROM play_stats WHERE source_id = ?1", id).toLongLong(), now, 5);
    EXPECT_NEAR(scalar("SELECT played_at FROM play_history WHERE source_id = ?1", id).toLongLong(), now, 5);
    EXPECT_EQ(scalar("SELECT duration_played_us FROM play_history WHERE source_id = ?1", id), "198000000");

    exec("UPDATE play_stats SET last_played = 0");
    lib.recordPlay(iceRoad, 2'000'000);
    EXPECT_EQ(stats(iceRoad), "2|200000000|2");
    EXPECT_NEAR(scalar("SELECT last_played FROM play_stats WHERE source_id = ?1", id).toLongLong(), now, 5);

    lib.recordPlay(lower, 1'000'000);
    EXPECT_EQ(stats(lower), "1|1000000|1");
    EXPECT_EQ(stats(upper), "||0");

    const QString history = scalar("SELECT COUNT(*) FROM play_history");
    for (const QString& miss : { QUrl::fromLocalFile(iceRoad).toString(), iceRoad.toUpper(), uri("Music/Singles/a.MP3"),
             uri("Elsewhere/x.mp3"), QString() })
        lib.recordPlay(miss, 1'000'000);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM play_history"), history);
    EXPECT_EQ(stats(iceRoad), "2|200000000|2");
    EXPECT_TRUE(notices.isEmpty()) << notices.join('|').toStdString();
}

// Plays in quick succession raise the revision once, from the timer the first of them started: it is not
// restarted by the later ones.
TEST_F(LibraryPlays, PlaysInQuickSuccessionGiveOneContentChanged)
{
    auto& lib = open();
    QList<qint64> changes;
    QElapsedTimer clock;
    QObject::connect(&lib, &kvr::ui::library::Library::contentChanged, [&] { changes << clock.elapsed(); });
    const int revision = lib.revision();
    const QString aurora = uri("Music/The Lanterns/Northern Lights/CD1/01 Aurora.flac");

    clock.start();
    lib.recordPlay(aurora, 1'000'000);
    QTest::qWait(200);
    lib.recordPlay(aurora, 1'000'000);
    EXPECT_TRUE(changes.isEmpty()) << "content timer, not at once";
    // A third play well inside the period: a restarted timer would fire 1500 ms after it, past 2400 ms.
    ASSERT_TRUE(QTest::qWaitFor([&] { return clock.elapsed() >= 1000; }, 5000));
    lib.recordPlay(aurora, 1'000'000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !changes.isEmpty(); }, 10000));
    EXPECT_GE(changes.first(), 1400);
    EXPECT_LT(changes.first(), 2300);
    ASSERT_TRUE(QTest::qWaitFor([&] { return clock.elapsed() >= changes.first() + 1700; }, 10000));
    EXPECT_EQ(changes.size(), 1);
    EXPECT_EQ(lib.revision(), revision + 1);
    EXPECT_EQ(stats(aurora).section('|', 0, 0), "15");
}

// Played to its end through the real player, a library file gains one play of its length.
TEST_F(LibraryPlays, APlayThroughThePlayerIsCounted)
{
    const QString path = uri("Music/Singles/tone.ogg");
    ASSERT_TRUE(kvr::test::library::place("tags.ogg", path));
    ASSERT_TRUE(addSource(path));
    auto& lib = open();
    kvr::test::Player player;
    QObject::connect(
        player.bridge.get(), &kvr::ui::MediaSessionBridge::played, &lib, &kvr::ui::library::Library::recordPlay);
    player.bridge->restorePlaylist({ path }, -1);
    ASSERT_TRUE(player.bridge->openEntry(0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return stats(path).startsWith("1|"); }, 20000)) << stats(path).toStdString();
    ASSERT_TRUE(player.waitFor(kvr::ui::MediaSessionBridge::State::Idle, 5000));
    const qint64 played = stats(path).section('|', 1, 1).toLongLong();
    EXPECT_GE(played, 900'000);
    EXPECT_LE(played, 1'100'000);
    EXPECT_EQ(stats(path).section('|', 2, 2), "1");
}

} // namespace
