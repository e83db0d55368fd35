#include "engine/convert/MediaProbe.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/library/DamagedLibrary.h"
#include "tests/ui/library/LibraryTestFiles.h"
#include "tests/ui/library/SeedLibrary.h"
#include "ui/library/Database.h"
#include "ui/library/Library.h"
#include "ui/library/Statement.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <sys/time.h>

#include <memory>
#include <optional>
#include <vector>

using kvr::ui::library::Database;
using kvr::ui::library::Statement;
using Lib = kvr::ui::library::Library;

using kvr::test::library::place;
using kvr::test::library::settle;

namespace {

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class Library : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(media.isValid());
        root = media.path();
        // Every case starts without a library, also when the cases share one process.
        dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        ASSERT_TRUE(dataDir.startsWith(QString::fromStdString(kvr::test::scratchDirectory().string())));
        QDir(dataDir).removeRecursively();
        clock.start();
    }

    void TearDown() override { library.reset(); }

    QString dbPath() const { return dataDir + "/library.db"; }

    // The library under test, with its notices and the ends of its passes recorded.
    Lib& open()
    {
        library = std::make_unique<Lib>();
        openedAt = clock.elapsed();
        QObject::connect(library.get(), &Lib::notice, [this](const QString& text) {
            notices.push_back(text);
            noticeTimes.push_back(clock.elapsed());
        });
        QObject::connect(library.get(), &Lib::scanChanged, [this] {
            const bool running = library->scanning();
            if (running && !wasRunning)
                passStarts.push_back(clock.elapsed());
            if (!running && wasRunning)
                ++passEnds;
            wasRunning = running;
            lastScanChange = clock.elapsed();
        });
        return *library;
    }

    bool waitPasses(int count, int timeoutMs = 60000)
    {
        return QTest::qWaitFor([&] { return passEnds >= count; }, timeoutMs);
    }

    // Until the start-up shot (3 s after opening) has passed and no pass has started or ended for quietMs (the
    // debounced directory jobs included).
    bool waitQuiet(int quietMs = 3000)
    {
        return QTest::qWaitFor(
            [&] {
                const qint64 now = clock.elapsed();
                return !library->scanning() && now - openedAt >= 3500 && now - lastScanChange >= quietMs;
            },
            60000);
    }

    QString lastNotice() const { return notices.empty() ? QStringLiteral("<none>") : notices.back(); }

    QString text(Database& db, const QString& sql)
    {
        Statement select = db.prepare(sql);
        return select.next() ? select.columnText(0) : QStringLiteral("<none>");
    }

    QTemporaryDir media;
    QString root;
    QString dataDir;
    QElapsedTimer clock;
    std::unique_ptr<Lib> library;
    std::vector<QString> notices;
    std::vector<qint64> noticeTimes;
    std::vector<qint64> passStarts;
    int passEnds = 0;
    bool wasRunning = false;
    qint64 lastScanChange = 0;
    qint64 openedAt = 0;
};

TEST_F(Library, AddFolderNesting)
{
    for (const char* dir : { "Music/Rock", "Musical", "music", "Parent/A", "Parent/B", "Media" })
        ASSERT_TRUE(QDir().mkpath(root + "/" + dir));
    Lib& lib = open();
    EXPECT_TRUE(lib.addFolder(root + "/Music"));
    EXPECT_TRUE(lib.addFolder(root + "/Parent/A"));
    EXPECT_TRUE(lib.addFolder(root + "/Parent/B"));
    EXPECT_TRUE(notices.empty());

    const QString inside = QStringLiteral("%1 is already inside a library folder");
    const QString covers = QStringLiteral("%1 contains an existing library folder; it now covers it");
    struct Case {
        QString input;
        bool accepted;
        std::vector<QString> notices;
    };
    const Case cases[] = {
        { root + "/Music/", false, { inside.arg(root + "/Music") } },
        { root + "/Music/Rock", false, { inside.arg(root + "/Music/Rock") } },
        { root + "/Musical", true, {} },
        // Linux names keep their letter case: another folder.
        { root + "/music", true, {} },
        { root + "/Parent", true, { covers.arg(root + "/Parent"), covers.arg(root + "/Parent") } },
        { "file://" + root + "/Media", true, {} },
        { root + "/Missing", false, { QStringLiteral("Not a folder: %1").arg(root + "/Missing") } },
    };
    for (const Case& c : cases) {
        notices.clear();
        QSignalSpy changed(&lib, &Lib::foldersChanged);
        EXPECT_EQ(lib.addFolder(c.input), c.accepted) << c.input.toStdString();
        EXPECT_EQ(notices, c.notices) << c.input.toStdString();
        EXPECT_EQ(changed.count(), c.accepted ? 1 : 0) << c.input.toStdString();
    }

    // Stored through the Library's connection, seen by another one; nested rows stay.
    Database other;
    ASSERT_TRUE(other.open(dbPath()));
    QStringList stored;
    Statement select = other.prepare("SELECT path FROM library_folders ORDER BY path");
    while (select.next())
        stored.push_back(select.columnText(0).mid(root.size()));
    EXPECT_EQ(stored, QStringList({ "/Media", "/Music", "/Musical", "/Parent", "/Parent/A", "/Parent/B", "/music" }));
    EXPECT_EQ(lib.folders().size(), 7);
}

TEST_F(Library, FolderSlotsWriteThroughAndScan)
{
    ASSERT_TRUE(place("cover.mp3", root + "/Music/tone.mp3"));
    Lib& lib = open();
    ASSERT_TRUE(lib.addFolder(root + "/Music"));
    // The pass that addFolder asks for finds the new folder's file.
    ASSERT_TRUE(waitPasses(1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notices.empty(); }, 5000));
    EXPECT_EQ(lastNotice(), "Library: 1 added, 0 updated, 0 missing");

    const QVariantMap folder = lib.folders().value(0).toMap();
    EXPECT_EQ(folder.value("path").toString(), root + "/Music");
    EXPECT_TRUE(folder.value("enabled").toBool());
    EXPECT_TRUE(folder.value("online").toBool());
    EXPECT_EQ(folder.value("items").toLongLong(), 1);
    EXPECT_GT(folder.value("lastScan").toLongLong(), 0);
    EXPECT_EQ(lib.counts().value("tracks").toLongLong(), 1);

    Database other;
    ASSERT_TRUE(other.open(dbPath()));
    EXPECT_EQ(text(other, "SELECT COUNT(*) FROM sources s JOIN library_folders f ON f.id = s.folder_id"), "1");

    QSignalSpy changed(&lib, &Lib::foldersChanged);
    lib.excludeFolder("file://" + root + "/Music/Rock/");
    EXPECT_EQ(lib.excludedFolders(), QStringList { root + "/Music/Rock" });
    EXPECT_EQ(text(other, "SELECT path FROM excluded_folders"), root + "/Music/Rock");
    lib.includeFolder(root + "/Music/Rock");
    EXPECT_EQ(text(other, "SELECT COUNT(*) FROM excluded_folders"), "0");
    // A text that matches no row still announces the change and asks for a pass.
    lib.includeFolder("nothing");
    lib.removeFolder("nothing");
    lib.removeFolder(root + "/Music");
    EXPECT_EQ(changed.count(), 5);
    EXPECT_EQ(text(other, "SELECT COUNT(*) FROM library_folders"), "0");
    // The pass after the removal marks the folder's file missing.
    ASSERT_TRUE(QTest::qWaitFor([&] { return lastNotice() == "Library: 0 added, 0 updated, 1 missing"; }, 60000));
}

// What a bound view reads again on each announcement: the folder rows on foldersChanged, the counts on
// contentChanged. Each must follow the folder's first pass, its loss and its return without being asked.
TEST_F(Library, FolderRowsAndCountsFollowScansAndReturns)
{
    ASSERT_TRUE(place("cover.mp3", root + "/Music/tone.mp3"));
    Lib& lib = open();
    ASSERT_TRUE(waitQuiet());
    QVariantMap row;
    QVariantMap counts;
    QObject::connect(&lib, &Lib::foldersChanged, [&] { row = lib.folders().value(0).toMap(); });
    QObject::connect(&lib, &Lib::contentChanged, [&] { counts = lib.counts(); });

    ASSERT_TRUE(lib.addFolder(root + "/Music"));
    EXPECT_EQ(counts.value("folders").toLongLong(), 1) << "the folder count follows the edit";
    EXPECT_EQ(row.value("items").toLongLong(), 0);
    EXPECT_EQ(row.value("lastScan").toLongLong(), 0);
    ASSERT_TRUE(waitPasses(1));
    EXPECT_EQ(row.value("items").toLongLong(), 1);
    EXPECT_GT(row.value("lastScan").toLongLong(), 0);
    EXPECT_TRUE(row.value("online").toBool());
    EXPECT_EQ(counts.value("tracks").toLongLong(), 1);

    // Deleted, the folder is announced unreachable once the directory job its watch sets off has run.
    ASSERT_TRUE(waitQuiet());
    ASSERT_TRUE(QDir(root + "/Music").removeRecursively());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !row.value("online", true).toBool(); }, 60000));
    EXPECT_EQ(row.value("items").toLongLong(), 1) << "items are kept while the folder is away";
    ASSERT_TRUE(waitQuiet());

    // Back (whole, in one rename), it is announced at once, with the items it kept; its contents are watched
    // again, so a change inside it is scanned.
    ASSERT_TRUE(place("cover.mp3", root + "/Staging/tone.mp3"));
    const qint64 backAt = clock.elapsed();
    ASSERT_TRUE(QDir().rename(root + "/Staging", root + "/Music"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return row.value("online").toBool(); }, 60000));
    EXPECT_LT(clock.elapsed() - backAt, 30000);
    EXPECT_EQ(row.value("items").toLongLong(), 1);
    const int before = passEnds;
    ASSERT_TRUE(place("tags.ogg", root + "/Music/new.ogg"));
    ASSERT_TRUE(waitPasses(before + 1));
    EXPECT_EQ(row.value("items").toLongLong(), 2);
    EXPECT_EQ(counts.value("missing").toLongLong(), 0);
}

TEST_F(Library, Settings)
{
    {
        QDir().mkpath(dataDir);
        Database seed;
        ASSERT_TRUE(seed.open(dbPath()));
        ASSERT_TRUE(seed.ensureSchema());
        ASSERT_TRUE(seed.exec("INSERT INTO library_meta(key, value) VALUES('backup_days', 'x'), "
                              "('rescan_hours', '48')"));
    }
    Lib& lib = open();
    EXPECT_EQ(lib.backupRetentionDays(), 1);
    EXPECT_EQ(lib.rescanHours(), 48);

    Database other;
    ASSERT_TRUE(other.open(dbPath()));
    QSignalSpy changed(&lib, &Lib::settingsChanged);
    lib.setRescanHours(0);
    EXPECT_EQ(text(other, "SELECT value FROM library_meta WHERE key = 'rescan_hours'"), "1");
    lib.setRescanHours(5000);
    EXPECT_EQ(lib.rescanHours(), 720);
    EXPECT_EQ(text(other, "SELECT value FROM library_meta WHERE key = 'rescan_hours'"), "720");
    lib.setBackupRetentionDays(7);
    EXPECT_EQ(text(other, "SELECT value FROM library_meta WHERE key = 'backup_days'"), "7");
    lib.setBackupRetentionDays(0);
    EXPECT_EQ(text(other, "SELECT value FROM library_meta WHERE key = 'backup_days'"), "1");
    EXPECT_EQ(changed.count(), 4);

    // The current value again: nothing is written (the row removed behind its back stays away), nothing emitted.
    ASSERT_TRUE(other.exec("DELETE FROM library_meta WHERE key IN ('backup_days', 'rescan_hours')"));
    lib.setBackupRetentionDays(1);
    lib.setRescanHours(720);
    lib.setProperty("rescanHours", 900);
    EXPECT_EQ(changed.count(), 4);
    EXPECT_EQ(text(other, "SELECT COUNT(*) FROM library_meta WHERE key IN ('backup_days', 'rescan_hours')"), "0");
}

TEST_F(Library, NewerSchemaIsLeftUntouched)
{
    ASSERT_TRUE(place("cover.mp3", root + "/Music/tone.mp3"));
    // In the log and in the rollback journal: the journal mode is part of the file's header.
    for (const char* mode : { "wal", "delete" }) {
        SCOPED_TRACE(mode);
        QDir(dataDir).removeRecursively();
        passStarts.clear();
        QDir().mkpath(dataDir);
        {
            Database seed;
            ASSERT_TRUE(seed.open(dbPath()));
            ASSERT_TRUE(seed.ensureSchema());
            ASSERT_TRUE(seed.exec("UPDATE library_meta SET value = '2' WHERE key = 'schema_version'"));
            Statement folder = seed.prepare("INSERT INTO library_folders(path) VALUES(?1)");
            folder.bindText(1, root + "/Music");
            ASSERT_TRUE(folder.run());
            EXPECT_EQ(text(seed, QStringLiteral("PRAGMA journal_mode=%1").arg(mode)), mode);
        }
        const QByteArray before = fileBytes(dbPath());
        ASSERT_FALSE(before.isEmpty());

        Lib& lib = open();
        EXPECT_EQ(lib.lastError(), "This library was created by a newer version of the player; it is left untouched.");
        const QVariantMap counts = lib.counts();
        EXPECT_EQ(counts.size(), 16);
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            EXPECT_EQ(it.value().toLongLong(), 0) << it.key().toStdString();
        EXPECT_TRUE(lib.folders().isEmpty());
        EXPECT_TRUE(lib.excludedFolders().isEmpty());

        // No scan is asked for: not by hand, not by the start-up shot (3 s), not by the folder slots.
        lib.scanNow();
        lib.excludeFolder(root + "/Music/x");
        QTest::qWait(4000);
        EXPECT_TRUE(passStarts.empty());
        library.reset();
        EXPECT_TRUE(fileBytes(dbPath()) == before);
    }
}

// A file SQLite cannot read is neither new nor newer: the user reads that it is damaged and where to restore it,
// and nothing is written to it, the start-up's scan and schema script included.
TEST_F(Library, DamagedFileIsToldSoAndLeftByteIdentical)
{
    using kvr::test::library::Damage;
    const QString damaged
        = "The library file is damaged; it is left untouched. Restore a backup in Library Folders & Settings.";
    struct Case {
        const char* name;
        std::optional<Damage> damage;
        QString error;
    };
    const Case cases[] = {
        { "truncated", Damage::Truncated, damaged },
        { "garbage header", Damage::GarbageHeader, damaged },
        { "newer version, readable", std::nullopt,
            "This library was created by a newer version of the player; it is left untouched." },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(dataDir).removeRecursively();
        QDir().mkpath(dataDir);
        passStarts.clear();
        ASSERT_TRUE(kvr::test::SeedLibrary::write(dbPath(), root));
        if (c.damage) {
            ASSERT_TRUE(kvr::test::library::damageLibrary(dbPath(), *c.damage));
        } else {
            Database newer;
            ASSERT_TRUE(newer.open(dbPath()));
            ASSERT_TRUE(newer.exec("UPDATE library_meta SET value = '2' WHERE key = 'schema_version'"));
        }
        const QByteArray before = fileBytes(dbPath());

        Lib& lib = open();
        EXPECT_EQ(lib.lastError(), c.error);
        EXPECT_TRUE(lib.folders().isEmpty());
        lib.scanNow();
        // Past the start-up shot (3 s) with its maintenance and scan.
        QTest::qWait(4000);
        EXPECT_TRUE(passStarts.empty());
        library.reset();
        EXPECT_TRUE(fileBytes(dbPath()) == before);
        EXPECT_EQ(QDir(dataDir).entryList({ "library.db*" }, QDir::Files), QStringList { "library.db" });
    }
}

TEST_F(Library, MaintenanceRemovesUnfinishedCoverWrites)
{
    // What a kill during a cover or thumbnail write leaves is QSaveFile's temporary: the target's name, a dot
    // and six letters. Only those, and only when an hour old, go; everything else in the folder stays.
    struct Case {
        const char* name;
        qint64 ageSecs;
        bool removed;
    };
    const Case cases[] = {
        { "e1024-00ff00ff00ff00ff.jpg.AbCdEf", 7200, true },
        { "fa3c9e1_256.jpg.QwErTy", 7200, true },
        { "v51ab.jpg.zzzzzz", 3700, true },
        // A write that may still be under way.
        { "e1024-00ff00ff00ff00ff.jpg.ZxCvBn", 60, false },
        { "fa3c9e1_512.jpg.PoIuYt", 1800, false },
        // Our own finished files, and names that are not QSaveFile's.
        { "e1024-00ff00ff00ff00ff.jpg", 7200, false },
        { "fa3c9e1_256.jpg", 7200, false },
        { "fa3c9e1.jpg.AbCd1f", 7200, false },
        { "fa3c9e1.jpg.AbCdE", 7200, false },
        { "fa3c9e1.jpg.AbCdEfG", 7200, false },
        { "fa3c9e1.png.AbCdEf", 7200, false },
        { "fa.3c9e1.jpg.AbCdEf", 7200, false },
        { ".jpg.AbCdEf", 7200, false },
        { "notes.txt", 7200, false },
    };
    const QString covers = dataDir + "/covers";
    ASSERT_TRUE(QDir().mkpath(covers));
    QStringList kept;
    for (const Case& c : cases) {
        QFile file(covers + "/" + c.name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write("\xff\xd8\xff"), 3);
        file.close();
        ASSERT_TRUE(kvr::test::library::setAge(file.fileName(), c.ageSecs));
        if (!c.removed)
            kept << c.name;
    }
    kept.sort();

    // The start-up maintenance (3 s after opening) sweeps the folder in one go.
    open();
    const auto names = [&] { return QDir(covers).entryList(QDir::Files | QDir::Hidden, QDir::Name); };
    EXPECT_TRUE(QTest::qWaitFor([&] { return !names().contains(cases[0].name); }, 60000));
    EXPECT_EQ(names(), kept) << names().join(", ").toStdString();
}

// The player holds the start-up work (here seen by its daily backup) until its window has shown a frame, then
// starts it; it runs once, however often it is started.
TEST_F(Library, HeldStartupWorkRunsWhenStartedAndOnce)
{
    Lib& lib = open();
    EXPECT_TRUE(lib.startupPending());
    lib.holdStartup();
    EXPECT_FALSE(lib.startupPending());
    lib.startupAfter(0);
    EXPECT_TRUE(lib.startupPending());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !lib.backups().isEmpty(); }, 60000));
    EXPECT_FALSE(lib.startupPending());
    lib.startupAfter(0);
    EXPECT_FALSE(lib.startupPending());
    EXPECT_EQ(lib.backups().size(), 1);
}

TEST_F(Library, CountsOfTheSeededLibrary)
{
    QDir().mkpath(dataDir);
    ASSERT_TRUE(kvr::test::SeedLibrary::write(dbPath(), root));
    Lib& lib = open();
    EXPECT_TRUE(lib.lastError().isEmpty());
    const QVariantMap counts = lib.counts();
    ASSERT_EQ(counts.size(), 16);
    const std::pair<const char*, qlonglong> expected[] = {
        { "tracks", kvr::test::SeedLibrary::audioCount - 1 },
        { "videos", kvr::test::SeedLibrary::videoCount - 1 },
        { "missing", kvr::test::SeedLibrary::unavailableCount },
        { "movies", 4 },
        { "shows", 2 },
        { "folders", 2 },
        { "playlists", 1 },
    };
    for (const auto& [key, value] : expected)
        EXPECT_EQ(counts.value(key).toLongLong(), value) << key;
    // Neither folder exists here: both read as offline.
    const QVariantList folders = lib.folders();
    ASSERT_EQ(folders.size(), 2);
    EXPECT_FALSE(folders[0].toMap().value("online").toBool());
    EXPECT_GT(folders[0].toMap().value("items").toLongLong(), 0);
}

// The counts are worked out from the stored keys and their indexes, not through the items view; after each
// step of edits (applied one after the other) every figure must still be the one the view's lists give.
TEST_F(Library, CountsAgreeWithTheItemsViewWhateverTheUserEdited)
{
    const std::pair<const char*, const char*> viewCounts[] = {
        { "movies", "SELECT COUNT(*) FROM items WHERE category='movie' AND available=1" },
        { "shows",
            "SELECT COUNT(DISTINCT show) FROM items WHERE category='episode' AND show IS NOT NULL AND available=1" },
        { "artists",
            "SELECT COUNT(DISTINCT artist) FROM items WHERE kind='audio' AND artist IS NOT NULL AND available=1" },
        { "albums",
            "SELECT COUNT(*) FROM (SELECT 1 FROM items WHERE kind='audio' AND album IS NOT NULL AND available=1 "
            "GROUP BY album, album_artist)" },
        { "genres", "SELECT COUNT(DISTINCT genre) FROM items WHERE genre IS NOT NULL AND available=1" },
        { "years", "SELECT COUNT(DISTINCT year) FROM items WHERE year IS NOT NULL AND kind='audio' AND available=1" },
        { "composers",
            "SELECT COUNT(DISTINCT composer) FROM items WHERE composer IS NOT NULL AND composer <> '' AND "
            "available=1" },
        { "missing", "SELECT COUNT(*) FROM sources WHERE available=0" },
        { "tracks", "SELECT COUNT(*) FROM items WHERE kind='audio' AND available=1" },
        { "videos", "SELECT COUNT(*) FROM items WHERE kind='video' AND available=1" },
        { "recent", "SELECT COUNT(*) FROM items WHERE date_added >= strftime('%s','now') - 30*86400 AND available=1" },
        { "played", "SELECT COUNT(*) FROM items WHERE last_played IS NOT NULL AND available=1" },
        { "most", "SELECT COUNT(*) FROM items WHERE play_count > 0 AND available=1" },
        { "top", "SELECT COUNT(*) FROM items WHERE rating > 0 AND available=1" },
    };
    const char* const steps[] = {
        "SELECT 1",
        // The same artist in another case is another artist to the view; an edited album, album artist, genre,
        // year and composer on tracks.
        "UPDATE sources SET u_artist = 'the lanterns' WHERE uri LIKE '%Aurora%'",
        "UPDATE sources SET u_album = 'Fjord', u_album_artist = 'Nordlys' WHERE uri LIKE '%Harbour Songs/01%'",
        "UPDATE sources SET u_genre = 'Lo-Fi', u_year = 1999, u_composer = 'Someone New' WHERE uri LIKE '%Sunburn%'",
        "UPDATE sources SET u_composer = '' WHERE uri LIKE '%Kind of Orange/01%'",
        // A movie made an episode of a new show, an episode made a movie, a show renamed on one episode.
        "UPDATE sources SET u_category = 'episode', u_show = 'Night Shows' WHERE uri LIKE '%Night Shift%'",
        "UPDATE sources SET u_category = 'movie' WHERE uri LIKE '%Kitchen Diaries E03%'",
        "UPDATE sources SET u_show = 'deep sea' WHERE uri LIKE '%S02E02%'",
        // Edits on an unavailable item count for nothing.
        "UPDATE sources SET u_artist = 'Ghost', u_album = 'Gone' WHERE uri LIKE '%Lost Chord%'",
        // An album without its primary artist: each track's artist stands in, one group per artist.
        "UPDATE albums SET primary_artist_id = NULL WHERE title = 'Summer Mix'",
        "DELETE FROM artists WHERE name = 'Grandpa Joe'",
        // A track's values edited back to the scanned ones: the same group, counted once.
        "UPDATE sources SET u_artist = 'Nordlys' WHERE uri LIKE '%Fjord/02%'",
        // Ratings and plays of a missing file count for nothing; a play with no count is played, not most.
        "INSERT OR REPLACE INTO source_ratings(source_id, rating) SELECT id, 40 FROM sources WHERE uri LIKE '%Lost "
        "Chord%'",
        "INSERT OR REPLACE INTO play_stats(source_id, play_count, last_played) SELECT id, 0, 1 FROM sources WHERE uri "
        "LIKE '%Sunburn%'",
        "UPDATE sources SET available = 0 WHERE uri LIKE '%Aurora%'",
        "UPDATE sources SET date_added = strftime('%s','now') - 40*86400 WHERE uri LIKE '%Still Water%'",
        // Values the scanner never writes but a file may hold: a source of no kind, one of unknown availability.
        "UPDATE sources SET kind = NULL WHERE uri LIKE '%Polar Night%'",
        "UPDATE sources SET available = NULL WHERE uri LIKE '%Blue Hour%'",
    };
    QDir().mkpath(dataDir);
    ASSERT_TRUE(kvr::test::SeedLibrary::write(dbPath(), root));
    Database other;
    ASSERT_TRUE(other.open(dbPath()));
    for (const char* step : steps) {
        SCOPED_TRACE(step);
        ASSERT_TRUE(other.exec(step));
        // A library opened anew: its counts are kept per revision, and the edits above announce nothing.
        library.reset();
        const QVariantMap counts = open().counts();
        for (const auto& [key, sql] : viewCounts)
            EXPECT_EQ(counts.value(key).toLongLong(), text(other, sql).toLongLong()) << key;
    }
}

TEST_F(Library, WatchedFileGivesOneDirectoryJob)
{
    ASSERT_TRUE(QDir().mkpath(root + "/Music/Sub"));
    Lib& lib = open();
    ASSERT_TRUE(lib.addFolder(root + "/Music"));
    ASSERT_TRUE(waitPasses(1));
    ASSERT_TRUE(waitQuiet());

    const int before = passEnds;
    const qint64 changedAt = clock.elapsed();
    ASSERT_TRUE(place("cover.mp3", root + "/Music/Sub/tone.mp3"));
    ASSERT_TRUE(waitPasses(before + 1));
    EXPECT_GE(passStarts.back() - changedAt, 2000);
    ASSERT_TRUE(waitQuiet());
    EXPECT_EQ(passEnds, before + 1);
    EXPECT_EQ(lastNotice(), "Library: 1 added, 0 updated, 0 missing");
}

// A symbolic link to a folder above (a loop) is neither entered nor watched, by the directory passes that a
// change sets off as by the full pass; a link to a file is read as the file.
TEST_F(Library, SymbolicLinkToAFolderAboveIsNotEntered)
{
    const QString music = root + "/Music";
    ASSERT_TRUE(place("cover.mp3", music + "/a/one.mp3"));
    ASSERT_TRUE(place("tags.ogg", music + "/a/two.ogg"));
    ASSERT_TRUE(place("tagged.flac", music + "/b/three.flac"));
    ASSERT_TRUE(QFile::link("..", music + "/a/loop"));
    ASSERT_TRUE(QFile::link("../a/one.mp3", music + "/b/alias.mp3"));
    Lib& lib = open();
    ASSERT_TRUE(lib.addFolder(music));
    ASSERT_TRUE(waitPasses(1));
    ASSERT_TRUE(waitQuiet());
    Database other;
    ASSERT_TRUE(other.open(dbPath()));
    const auto items = [&] {
        return text(other,
            "SELECT group_concat(uri, ' ') FROM (SELECT uri FROM sources "
            "WHERE available = 1 ORDER BY uri)");
    };
    const QString four
        = QStringList { music + "/a/one.mp3", music + "/a/two.ogg", music + "/b/alias.mp3", music + "/b/three.flac" }
              .join(' ');
    ASSERT_EQ(items(), four);

    // A change in the folder that holds the link, then one in the folder it names (seen through the link
    // too, were it watched).
    struct Change {
        const char* what;
        QString file;
        QString items;
    };
    const Change changes[] = {
        { "beside the link", music + "/a/notes.txt", four },
        { "in the folder it names", music + "/four.mp3",
            QStringList { music + "/a/one.mp3", music + "/a/two.ogg", music + "/b/alias.mp3", music + "/b/three.flac",
                music + "/four.mp3" }
                .join(' ') },
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        const int before = passEnds;
        if (change.file.endsWith(".txt")) {
            QFile note(change.file);
            ASSERT_TRUE(note.open(QIODevice::WriteOnly));
        } else {
            ASSERT_TRUE(place("cover.mp3", change.file));
        }
        ASSERT_TRUE(waitPasses(before + 1));
        ASSERT_TRUE(waitQuiet());
        EXPECT_EQ(items(), change.items);
    }

    notices.clear();
    const int before = passEnds;
    lib.scanNow();
    ASSERT_TRUE(waitPasses(before + 1));
    EXPECT_EQ(lib.scanStatus().value("removed").toInt(), 0);
    EXPECT_EQ(lib.scanStatus().value("added").toInt(), 0);
    EXPECT_EQ(text(other, "SELECT COUNT(*) FROM sources"), "5");
}

TEST_F(Library, GrowingFileIsReadOnceWhenQuiet)
{
    ASSERT_TRUE(QDir().mkpath(root + "/Music"));
    Lib& lib = open();
    ASSERT_TRUE(lib.addFolder(root + "/Music"));
    ASSERT_TRUE(waitPasses(1));
    ASSERT_TRUE(waitQuiet());

    // Five pieces, two seconds apart: the file grows for eight seconds.
    const QString source = kvr::test::library::fixturePath("three-minutes.mkv");
    const QString target = root + "/Music/growing.mkv";
    const qint64 piece = QFileInfo(source).size() / 5 + 1;
    QProcess writer;
    writer.start("sh",
        { "-c",
            QStringLiteral("for i in 0 1 2 3 4; do [ $i = 0 ] || sleep 2; dd if='%1' of='%2' bs=%3 skip=$i seek=$i "
                           "count=1 conv=notrunc status=none; done")
                .arg(source, target)
                .arg(piece) });
    ASSERT_TRUE(QTest::qWaitFor([&] { return writer.state() == QProcess::NotRunning; }, 60000));
    const qint64 lastWrite = clock.elapsed();
    ASSERT_EQ(writer.exitCode(), 0);
    ASSERT_EQ(fileBytes(target), fileBytes(source));

    ASSERT_TRUE(QTest::qWaitFor([&] { return !notices.empty(); }, 60000));
    ASSERT_TRUE(waitQuiet());
    ASSERT_EQ(notices.size(), 1u) << lastNotice().toStdString();
    EXPECT_EQ(notices[0], "Library: 1 added, 0 updated, 0 missing");
    EXPECT_GE(noticeTimes[0] - lastWrite, 5000 - 100);

    Database other;
    ASSERT_TRUE(other.open(dbPath()));
    const auto info = kvr::engine::probeMedia(source.toStdString());
    ASSERT_GT(info.durationUs, 0);
    EXPECT_EQ(text(other, "SELECT duration_us FROM sources"), QString::number(info.durationUs));
}

TEST_F(Library, SubfolderMadeDuringAPassIsWatchedAfterIt)
{
    ASSERT_TRUE(place("cover.mp3", root + "/Music/a.mp3"));
    ASSERT_TRUE(place("tags.ogg", root + "/Music/b.ogg"));
    Lib& lib = open();
    // Paused, the pass holds before its first file; the subfolder appears while it runs.
    lib.pauseScan(true);
    ASSERT_TRUE(lib.addFolder(root + "/Music"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return lib.scanning(); }, 60000));
    ASSERT_TRUE(QDir().mkpath(root + "/Music/New"));
    lib.pauseScan(false);
    ASSERT_TRUE(waitPasses(1));
    ASSERT_TRUE(waitQuiet());

    notices.clear();
    ASSERT_TRUE(place("cover.mp3", root + "/Music/New/c.mp3"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notices.empty(); }, 30000));
    EXPECT_EQ(lastNotice(), "Library: 1 added, 0 updated, 0 missing");
}

TEST_F(Library, ScanRelay)
{
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(place("cover.mp3", root + QStringLiteral("/Music/%1.mp3").arg(i)));
    Lib& lib = open();
    std::vector<qint64> contentTimes;
    QObject::connect(&lib, &Lib::contentChanged, [&] { contentTimes.push_back(clock.elapsed()); });

    // A paused pass reports progress about every 300 ms: contentChanged follows at most every 1.5 s.
    lib.pauseScan(true);
    ASSERT_TRUE(lib.addFolder(root + "/Music"));
    // The edit's own announcement is not the pass's.
    contentTimes.clear();
    const int revisionBefore = lib.revision();
    QTest::qWait(6000);
    ASSERT_TRUE(lib.scanning());
    EXPECT_TRUE(lib.scanPaused());
    EXPECT_EQ(lib.scanStatus().value("found").toInt(), 3);
    ASSERT_GE(contentTimes.size(), 2u);
    EXPECT_LE(contentTimes.size(), 4u);
    for (size_t i = 1; i < contentTimes.size(); ++i)
        EXPECT_GE(contentTimes[i] - contentTimes[i - 1], 1400) << i;
    EXPECT_EQ(lib.revision(), revisionBefore + int(contentTimes.size()));

    lib.pauseScan(false);
    ASSERT_TRUE(waitPasses(1));
    EXPECT_EQ(lastNotice(), "Library: 3 added, 0 updated, 0 missing");

    // A pass without changes: no notice, but the content is announced.
    ASSERT_TRUE(waitQuiet());
    notices.clear();
    const int revision = lib.revision();
    const int before = passEnds;
    lib.scanNow();
    ASSERT_TRUE(waitPasses(before + 1));
    EXPECT_TRUE(notices.empty());
    EXPECT_GT(lib.revision(), revision);
}

TEST_F(Library, DestroyedDuringAPass)
{
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(place("cover.mp3", root + QStringLiteral("/Music/%1.mp3").arg(i)));
    Lib& lib = open();
    // Paused, the pass is certain to be running when the Library goes.
    lib.pauseScan(true);
    ASSERT_TRUE(lib.addFolder(root + "/Music"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return lib.scanning(); }, 60000));
    // The scanner's last reports are posted to the Library while it goes; none may run after it (an
    // AddressSanitizer build sees a run as a use after free).
    library.reset();
    QCoreApplication::sendPostedEvents();
    QTest::qWait(200);
    EXPECT_EQ(passEnds, 0);
}

TEST_F(Library, SearchHelp)
{
    Lib& lib = open();
    const QString help = lib.searchHelp();
    EXPECT_EQ(help.count(QChar(0x00B7)), 11);
    EXPECT_TRUE(help.contains("artist:Name"));
    EXPECT_TRUE(help.startsWith("Words match titles, artists, albums, genres, tags and paths (as you type). "
                                "\"exact phrase\" \u00b7 artist:Name"));
    EXPECT_TRUE(help.endsWith("tag:roadtrip AND year:2020 \u00b7 -genre:Country"));
}

// The file manager gets a URL that names exactly the folder, whatever characters its name holds.
TEST_F(Library, FolderUrl)
{
    const Lib& lib = open();
    struct Case {
        QString path;
        bool isFolder;
        QUrl url;
    };
    const Case cases[] = {
        { "/m/a #1 %/b?.mp3", false, QUrl::fromLocalFile("/m/a #1 %") },
        { "/m/a #1 %/", true, QUrl::fromLocalFile("/m/a #1 %") },
        { "/m/Music", true, QUrl::fromLocalFile("/m/Music") },
        { "/song.mp3", false, QUrl::fromLocalFile("/") },
        { "file:///m/x%20y/z.mp3", false, QUrl::fromLocalFile("/m/x y") },
        { "/m/back\\slash/z.mp3", false, QUrl::fromLocalFile("/m/back\\slash") },
        { "", false, QUrl() },
        { "", true, QUrl() },
        { "relative/z.mp3", false, QUrl() },
    };
    for (const Case& c : cases) {
        const QUrl url = lib.folderUrl(c.path, c.isFolder);
        EXPECT_EQ(url, c.url) << c.path.toStdString() << " -> " << url.toString().toStdString();
        if (!url.isEmpty()) {
            EXPECT_FALSE(url.hasFragment() || url.hasQuery()) << c.path.toStdString();
        }
    }
    EXPECT_EQ(lib.folderUrl("/m/a #1 %/b.mp3", false).toLocalFile(), "/m/a #1 %");
}

} // namespace
