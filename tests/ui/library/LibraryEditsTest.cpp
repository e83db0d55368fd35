#include "tests/ui/library/LibraryTestFiles.h"
#include "tests/ui/library/SeededLibraryTest.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>

using kvr::test::library::place;
using kvr::test::library::SeededLibraryTest;

namespace {

const QString failureNotice = QStringLiteral("The library could not save the change.");

// The container tags ffprobe reads from a file, keys in lower case.
QVariantMap fileTags(const QString& path)
{
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"), { "-v", "error", "-show_format", "-of", "json", path });
    if (!probe.waitForFinished(60000) || probe.exitCode() != 0)
        return { { "error", QString::fromUtf8(probe.readAllStandardError()) } };
    const QVariantMap tags = QJsonDocument::fromJson(probe.readAllStandardOutput())
                                 .object()
                                 .value("format")
                                 .toObject()
                                 .value("tags")
                                 .toObject()
                                 .toVariantMap();
    QVariantMap lower;
    for (auto it = tags.constBegin(); it != tags.constEnd(); ++it)
        lower.insert(it.key().toLower(), it.value());
    return lower;
}

class LibraryEdits : public SeededLibraryTest {
protected:
    qint64 id(const QString& relativePath)
    {
        return scalar("SELECT id FROM sources WHERE uri = ?1", { uri(relativePath) }).toLongLong();
    }

    std::set<QString> tagsOf(qint64 source)
    {
        kvr::ui::library::Statement select = db.prepare("SELECT tag FROM source_tags WHERE source_id = ?1");
        select.bindInt64(1, source);
        std::set<QString> tags;
        while (select.next())
            tags.insert(select.columnText(0));
        return tags;
    }

    // The ids a search of the track list finds.
    std::set<qint64> found(const QString& search)
    {
        std::set<qint64> ids;
        for (const QVariant& id : library->idsForQuery({ { "search", search } }))
            ids.insert(id.toLongLong());
        return ids;
    }

    QString count(const char* table, const char* column, qint64 source)
    {
        return scalar(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2 = ?1").arg(table, column).toUtf8().constData(),
            { source });
    }

    const QString aurora = QStringLiteral("Music/The Lanterns/Northern Lights/CD1/01 Aurora.flac");
    const QString lowTide = QStringLiteral("Music/Mira Sol/Harbour Songs/01 Low Tide.mp3");
    const QString cafe = QStringLiteral("Music/Mira Sol/Harbour Songs/03 Café Noir.mp3");
    const QString track05 = QStringLiteral("Music/Singles/track05.mp3");
    const QString longRoad = QStringLiteral("Videos/Movies/The Long Road (2015).mkv");
};

} // namespace

// The effective values, the tags, the values read from the file and the scanner's extra data; an unknown id
// is no item, and the uris come in the order asked, unknown ids left out.
TEST_F(LibraryEdits, ItemReadsEverythingTheEditDialogShows)
{
    auto& lib = open();
    kvr::ui::library::Statement extra = db.prepare("UPDATE sources SET extra_json = ?2 WHERE id = ?1");
    const struct {
        QString path;
        QVariant json;
    } extras[] = { { cafe, "{\"lyrics\":\"la la\",\"bpm\":120}" }, { lowTide, "[1, 2]" } };
    for (const auto& e : extras) {
        extra.reset();
        extra.bindInt64(1, id(e.path)).bindValue(2, e.json);
        ASSERT_TRUE(extra.run());
    }

    const QVariantMap cafeItem = lib.item(id(cafe));
    EXPECT_EQ(cafeItem.value("title").toString(), "Café Noir");
    EXPECT_EQ(cafeItem.value("album_artist").toString(), "Mira Sol");
    EXPECT_EQ(cafeItem.value("year").toLongLong(), 2021);
    EXPECT_EQ(cafeItem.value("rating").toLongLong(), 80);
    EXPECT_EQ(cafeItem.value("play_count").toLongLong(), 7);
    EXPECT_FALSE(cafeItem.value("composer").isValid());
    const QStringList tags = cafeItem.value("tags").toString().split(", ");
    EXPECT_EQ(std::set<QString>(tags.begin(), tags.end()), std::set<QString>({ "favourite", "Chill" }));
    EXPECT_EQ(cafeItem.value("extra").toMap(), QVariantMap({ { "lyrics", "la la" }, { "bpm", 120 } }));
    for (const QString& column : kvr::ui::library::Library::itemColumns.split(", "))
        EXPECT_TRUE(cafeItem.contains(column)) << column.toStdString();

    // The user's title shows; the original is the file's. Not a JSON object: an empty extra map.
    const QVariantMap edited = lib.item(id(track05));
    EXPECT_EQ(edited.value("title").toString(), "Evening Tide");
    EXPECT_EQ(edited.value("tags").toString(), "");
    EXPECT_EQ(edited.value("original").toMap(),
        QVariantMap({ { "title", "track05" }, { "artist", "The Lanterns" }, { "album", "" }, { "year", 2020 },
            { "genre", "Rock" } }));
    EXPECT_FALSE(edited.contains("extra"));
    EXPECT_TRUE(lib.item(id(lowTide)).contains("extra"));
    EXPECT_TRUE(lib.item(id(lowTide)).value("extra").toMap().isEmpty());
    EXPECT_EQ(lib.item(id(longRoad)).value("original").toMap().value("year").toLongLong(), 2015);
    EXPECT_EQ(lib.item(id(longRoad)).value("rating").toLongLong(), 100);

    EXPECT_TRUE(lib.item(999999).isEmpty());
    EXPECT_EQ(lib.writeTagsToFile(999999), "Not in the library");
    EXPECT_EQ(lib.urisFor({ id(cafe), 999999, QString::number(id(aurora)) }), QStringList({ uri(cafe), uri(aurora) }));
}

TEST_F(LibraryEdits, RatingsAreClampedToStarsAndKept)
{
    auto& lib = open();
    const QVariantList ids { id(aurora), id(lowTide) };
    const struct {
        int stars;
        const char* stored;
    } cases[] = { { 7, "100" }, { 3, "60" }, { -1, "0" } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stars);
        const int revision = lib.revision();
        QSignalSpy changed(&lib, &kvr::ui::library::Library::contentChanged);
        lib.setRating(ids, c.stars);
        for (const QVariant& source : ids)
            EXPECT_EQ(scalar("SELECT rating FROM source_ratings WHERE source_id = ?1", { source }), c.stored);
        EXPECT_EQ(lib.revision(), revision + 1);
        EXPECT_EQ(changed.count(), 1);
    }
    // An unknown id gets no row that a later source of that id would inherit.
    lib.setRating({ 999999 }, 4);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM source_ratings WHERE source_id = 999999"), "0");
    EXPECT_TRUE(notices.isEmpty());
}

// Parts are trimmed, empty ones dropped, and a tag the item has in another letter case is not added again;
// the full-text index follows.
TEST_F(LibraryEdits, TagsReplaceOrAppendAndAreSearchable)
{
    auto& lib = open();
    const qint64 a = id(aurora);
    const qint64 b = id(lowTide);

    lib.setTags({ a, b }, "rock,, Jazz ,rock, ", false);
    EXPECT_EQ(tagsOf(a), std::set<QString>({ "rock", "Jazz" }));
    EXPECT_EQ(tagsOf(b), std::set<QString>({ "rock", "Jazz" }));

    lib.setTags({ a }, "ROCK, Moonlit", true);
    EXPECT_EQ(tagsOf(a), std::set<QString>({ "rock", "Jazz", "Moonlit" }));
    EXPECT_EQ(found("moonlit"), std::set<qint64>({ a }));
    EXPECT_EQ(found("favourite").count(a), 0u);

    lib.setTags({ a, b }, "", false);
    EXPECT_TRUE(tagsOf(a).empty());
    EXPECT_TRUE(tagsOf(b).empty());
    EXPECT_TRUE(found("moonlit").empty());

    lib.setTags({ 999999 }, "ghost", true);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM source_tags WHERE source_id = 999999"), "0");
    EXPECT_TRUE(notices.isEmpty());
}

TEST_F(LibraryEdits, MetadataOverridesShowAndAreSearchable)
{
    auto& lib = open();
    const qint64 single = id(track05);
    const qint64 other = id(lowTide);
    ASSERT_EQ(found("evening"), std::set<qint64>({ single }));

    QSignalSpy changed(&lib, &kvr::ui::library::Library::contentChanged);
    lib.editMetadata({ single },
        { { "title", "  " }, { "year", "abc" }, { "track", " 7 " }, { "lyrics", "ignored" },
            { "artist", " Zed Quill " } });
    EXPECT_EQ(changed.count(), 1);
    const QVariantMap item = lib.item(single);
    EXPECT_EQ(item.value("title").toString(), "track05");
    EXPECT_EQ(item.value("year").toLongLong(), 0);
    EXPECT_EQ(item.value("track_number").toLongLong(), 7);
    EXPECT_EQ(item.value("artist").toString(), "Zed Quill");
    EXPECT_EQ(scalar("SELECT typeof(u_year) || '|' || typeof(u_title) FROM sources WHERE id = ?1", { single }),
        "integer|null");
    EXPECT_EQ(scalar("SELECT IFNULL(lyrics, '') FROM tracks WHERE source_id = ?1", { single }), "");

    lib.editMetadata({ single, other }, { { "title", "Moonrise Sonata" }, { "season", 2 } });
    EXPECT_EQ(lib.item(other).value("title").toString(), "Moonrise Sonata");
    EXPECT_EQ(lib.item(other).value("season").toLongLong(), 2);
    // The search rows hold the new values, not the old ones.
    EXPECT_EQ(found("moonrise"), std::set<qint64>({ single, other }));
    EXPECT_EQ(found("quill"), std::set<qint64>({ single }));
    EXPECT_TRUE(found("evening").empty());
    EXPECT_TRUE(notices.isEmpty());
}

// The shown values, written into the file itself; a value of 0 writes no tag, and the tag writer's message
// comes back unchanged.
TEST_F(LibraryEdits, WriteTagsToFileWritesTheShownValues)
{
    const QString edited = root + "/Files/edited.mp3";
    const QString zero = root + "/Files/zero.mp3";
    ASSERT_TRUE(place("six-seconds.mp3", edited));
    ASSERT_TRUE(place("six-seconds.mp3", zero));
    kvr::ui::library::Statement move = db.prepare("UPDATE sources SET uri = ?2 WHERE id = ?1");
    move.bindInt64(1, id(cafe)).bindText(2, edited);
    ASSERT_TRUE(move.run());
    move.reset();
    move.bindInt64(1, id(lowTide)).bindText(2, zero);
    ASSERT_TRUE(move.run());
    const qint64 cafeId = scalar("SELECT id FROM sources WHERE uri = ?1", { edited }).toLongLong();
    const qint64 zeroId = scalar("SELECT id FROM sources WHERE uri = ?1", { zero }).toLongLong();

    auto& lib = open();
    lib.editMetadata({ cafeId },
        { { "title", "Neue Welle" }, { "artist", "Zed Quill" }, { "album", "Night Songs" }, { "year", "1999" },
            { "track", "4" } });
    EXPECT_EQ(lib.writeTagsToFile(cafeId), "");
    const QVariantMap tags = fileTags(edited);
    EXPECT_EQ(tags.value("title").toString(), "Neue Welle");
    EXPECT_EQ(tags.value("artist").toString(), "Zed Quill");
    EXPECT_EQ(tags.value("album").toString(), "Night Songs");
    EXPECT_EQ(tags.value("album_artist").toString(), "Mira Sol");
    EXPECT_EQ(tags.value("genre").toString(), "Jazz");
    EXPECT_EQ(tags.value("date").toString(), "1999");
    EXPECT_EQ(tags.value("track").toString(), "4");
    EXPECT_FALSE(tags.contains("composer"));

    lib.editMetadata({ zeroId }, { { "year", "abc" }, { "track", "0" } });
    EXPECT_EQ(lib.writeTagsToFile(zeroId), "");
    const QVariantMap zeroTags = fileTags(zero);
    EXPECT_EQ(zeroTags.value("title").toString(), "Low Tide");
    EXPECT_FALSE(zeroTags.contains("date"));
    EXPECT_FALSE(zeroTags.contains("track"));

    // Aurora's file does not exist here.
    EXPECT_EQ(lib.writeTagsToFile(id(aurora)), "The file could not be opened");
}

// Every row of the item goes, tracks and videos through their cascade; playlists keep naming the files.
TEST_F(LibraryEdits, RemoveSourcesTakesEveryDependentRow)
{
    const qint64 track = id(aurora);
    const qint64 video = id(longRoad);
    exec("INSERT INTO user_meta(source_id, field, value) SELECT id, 'note', 'x' FROM sources");
    const QString playlist = scalar("SELECT group_concat(uri, '|') FROM playlist_items WHERE playlist_id = 1");
    ASSERT_EQ(count("play_history", "source_id", track), "12");

    auto& lib = open();
    QSignalSpy changed(&lib, &kvr::ui::library::Library::contentChanged);
    lib.removeSources({ track, video, 999999 });
    EXPECT_EQ(changed.count(), 1);
    const struct {
        const char* table;
        const char* column;
    } tables[] = { { "sources", "id" }, { "tracks", "source_id" }, { "videos", "source_id" },
        { "source_tags", "source_id" }, { "source_ratings", "source_id" }, { "play_stats", "source_id" },
        { "play_history", "source_id" }, { "user_meta", "source_id" }, { "search", "rowid" } };
    for (const auto& t : tables) {
        for (const qint64 source : { track, video })
            EXPECT_EQ(count(t.table, t.column, source), "0") << t.table << " " << source;
    }
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM sources"), QString::number(kvr::test::SeedLibrary::itemCount - 2));
    EXPECT_EQ(scalar("SELECT group_concat(uri, '|') FROM playlist_items WHERE playlist_id = 1"), playlist);
    EXPECT_TRUE(notices.isEmpty());
}

// A step that fails rolls the whole edit back, so no item is half changed, and the user hears of it.
TEST_F(LibraryEdits, FailedStepRollsTheWholeEditBack)
{
    const qint64 first = id(aurora);
    const qint64 second = id(cafe);
    auto& lib = open();
    const QVariantList both { first, second };

    struct Case {
        const char* what;
        const char* trigger; // refuses the write of the second id
        std::function<void()> edit;
        const char* check; // of the first id, the same before and after
    };
    const Case cases[] = {
        { "rating", "BEFORE INSERT ON source_ratings WHEN new.source_id = %1", [&] { lib.setRating(both, 1); },
            "SELECT rating FROM source_ratings WHERE source_id = ?1" },
        { "tags", "BEFORE INSERT ON source_tags WHEN new.source_id = %1", [&] { lib.setTags(both, "new", false); },
            "SELECT group_concat(tag) FROM (SELECT tag FROM source_tags WHERE source_id = ?1 ORDER BY tag)" },
        { "metadata", "BEFORE UPDATE ON sources WHEN new.id = %1",
            [&] {
                lib.editMetadata(both, { { "title", "Changed" } });
            },
            "SELECT title FROM items WHERE id = ?1" },
        { "removal", "BEFORE DELETE ON sources WHEN old.id = %1", [&] { lib.removeSources(both); },
            "SELECT COUNT(*) || rating FROM items WHERE id = ?1" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString before = scalar(c.check, { first });
        ASSERT_TRUE(exec(QStringLiteral("CREATE TRIGGER refuse %1 BEGIN SELECT RAISE(ABORT, 'refused'); END")
                             .arg(QString::fromLatin1(c.trigger).arg(second))
                             .toUtf8()
                             .constData()));
        notices.clear();
        const int revision = lib.revision();
        c.edit();
        EXPECT_EQ(scalar(c.check, { first }), before);
        EXPECT_EQ(notices, QStringList({ failureNotice }));
        EXPECT_EQ(lib.revision(), revision + 1);
        ASSERT_TRUE(exec("DROP TRIGGER refuse"));
    }
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM sources WHERE id IN (?1, ?2)", { first, second }), "2");
}

// The cover files of the key go at once and the file is read again on the next pass of its folder, which
// writes the cover anew. A source without a key of its own only has its folder read again.
TEST_F(LibraryEdits, RefreshCoverReadsTheFileAgain)
{
    const QString tone = root + "/Music/Fresh/tone.mp3";
    ASSERT_TRUE(place("cover.mp3", tone));
    auto& lib = open();
    const QString covers = lib.coversDirectory();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !scalar("SELECT cover_key FROM sources WHERE uri = ?1 AND mtime > 0", { tone }).isEmpty(); },
        90000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !lib.scanning(); }, 90000));
    const qint64 source = scalar("SELECT id FROM sources WHERE uri = ?1", { tone }).toLongLong();
    const QString key = scalar("SELECT cover_key FROM sources WHERE id = ?1", { source });
    ASSERT_TRUE(QFileInfo::exists(covers + "/" + key + ".jpg"));
    const QDateTime written = QFileInfo(covers + "/" + key + ".jpg").lastModified();
    ASSERT_TRUE(QFile::copy(covers + "/" + key + ".jpg", covers + "/" + key + "_128.jpg"));
    // A longer key that begins with this one is another cover.
    ASSERT_TRUE(QFile::copy(covers + "/" + key + ".jpg", covers + "/" + key + "0.jpg"));
    ASSERT_TRUE(QFile::copy(covers + "/" + key + ".jpg", covers + "/cover-northern-lights.jpg"));

    // Paused, so the pass waits until the files are checked.
    lib.pauseScan(true);
    lib.refreshCover(id(aurora));
    EXPECT_EQ(scalar("SELECT mtime FROM sources WHERE id = ?1", { id(aurora) }), "0");
    EXPECT_TRUE(QFileInfo::exists(covers + "/cover-northern-lights.jpg"));

    lib.refreshCover(source);
    EXPECT_EQ(scalar("SELECT mtime FROM sources WHERE id = ?1", { source }), "0");
    EXPECT_FALSE(QFileInfo::exists(covers + "/" + key + ".jpg"));
    EXPECT_FALSE(QFileInfo::exists(covers + "/" + key + "_128.jpg"));
    EXPECT_TRUE(QFileInfo::exists(covers + "/" + key + "0.jpg"));

    lib.pauseScan(false);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return scalar("SELECT mtime FROM sources WHERE id = ?1", { source }).toLongLong() > 0; }, 90000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(covers + "/" + key + ".jpg"); }, 90000));
    EXPECT_GE(QFileInfo(covers + "/" + key + ".jpg").lastModified(), written);
    EXPECT_FALSE(QFileInfo::exists(covers + "/" + key + "_128.jpg"));
}

// Only the rows of files that went to the trash leave the library; a file that stayed keeps its item with
// its rating, and the message names it.
TEST_F(LibraryEdits, DeleteFilesRemovesOnlyWhatWentToTheTrash)
{
    struct stat shm {
    }, scratch {};
    if (::stat("/dev/shm", &shm) != 0 || ::access("/dev/shm", W_OK) != 0
        || ::stat(QFile::encodeName(root).constData(), &scratch) != 0 || shm.st_dev == scratch.st_dev)
        GTEST_SKIP() << "needs a writable /dev/shm on a device of its own";

    const QString name = QStringLiteral("kvr-edits-%1-%2.mp3").arg(::getpid()).arg(QDateTime::currentMSecsSinceEpoch());
    const QString away = "/dev/shm/" + name;
    const QString stays = root + "/Elsewhere/second.mp3";
    ASSERT_TRUE(place("six-seconds.mp3", away));
    ASSERT_TRUE(place("six-seconds.mp3", stays));
    const qint64 first = id(aurora);
    const qint64 second = id(cafe);
    kvr::ui::library::Statement move = db.prepare("UPDATE sources SET uri = ?2 WHERE id = ?1");
    move.bindInt64(1, first).bindText(2, away);
    ASSERT_TRUE(move.run());
    move.reset();
    move.bindInt64(1, second).bindText(2, stays);
    ASSERT_TRUE(move.run());

    // The home trash broken: its info folder is a plain file.
    const QString homeTrash = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) + "/Trash";
    QDir(homeTrash).removeRecursively();
    QDir().mkpath(homeTrash);
    {
        QFile info(homeTrash + "/info");
        ASSERT_TRUE(info.open(QIODevice::WriteOnly));
    }

    auto& lib = open();
    const QString message = lib.deleteFiles({ first, second });
    const QString topTrash = QStringLiteral("/dev/shm/.Trash-%1").arg(::getuid());
    const bool trashed = QFileInfo::exists(topTrash + "/files/" + name);
    QFile::remove(topTrash + "/files/" + name);
    QFile::remove(topTrash + "/info/" + name + ".trashinfo");
    QFile::remove(away);

    EXPECT_EQ(message, "Could not delete: second.mp3");
    EXPECT_TRUE(trashed);
    EXPECT_EQ(count("sources", "id", first), "0");
    EXPECT_EQ(count("source_ratings", "source_id", first), "0");
    EXPECT_TRUE(QFileInfo::exists(stays));
    EXPECT_EQ(lib.item(second).value("rating").toLongLong(), 80);
    EXPECT_EQ(count("play_history", "source_id", second), "7");

    // With the trash mended the second goes too, and all is well.
    QFile::remove(homeTrash + "/info");
    EXPECT_EQ(lib.deleteFiles({ second }), "");
    EXPECT_FALSE(QFileInfo::exists(stays));
    EXPECT_TRUE(QFileInfo::exists(homeTrash + "/files/second.mp3"));
    EXPECT_TRUE(lib.item(second).isEmpty());
    EXPECT_TRUE(notices.isEmpty());
    QDir(homeTrash).removeRecursively();
}
