#include "tests/support/TestSupport.h"
#include "tests/ui/library/SeedLibrary.h"
#include "tests/ui/library/SeededLibraryTest.h"
#include "ui/library/Database.h"
#include "ui/library/Library.h"
#include "ui/library/Statement.h"

#include <QDir>
#include <QFile>
#include <QJSEngine>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

using kvr::test::SeedLibrary;
using kvr::ui::library::Database;
using kvr::ui::library::Library;
using kvr::ui::library::Statement;

namespace {

QVariantMap map(std::initializer_list<std::pair<QString, QVariant>> entries)
{
    QVariantMap result;
    for (const auto& [k, v] : entries)
        result.insert(k, v);
    return result;
}

QString field(const QVariant& row, const char* name)
{
    return row.toMap().value(QString::fromLatin1(name)).toString();
}

QStringList titles(const QVariantList& rows)
{
    QStringList out;
    for (const QVariant& row : rows)
        out << field(row, "title");
    return out;
}

QStringList names(const QVariantList& rows)
{
    QStringList out;
    for (const QVariant& row : rows)
        out << field(row, "name");
    return out;
}

// The seeded library, opened by a Library as the application opens it; extra sources may be written before.
class LibraryQuery : public kvr::test::library::SeededLibraryTest {
protected:
    // An available audio source with nothing but its uri, below the media root.
    void addSource(const QString& relativePath)
    {
        Statement insert = db.prepare(
            "INSERT INTO sources(uri, kind, available, folder_id, date_added) VALUES(?1, 'audio', 1, NULL, 0)");
        insert.bindText(1, SeedLibrary::uri(root, relativePath));
        ASSERT_TRUE(insert.run());
    }

    QVariantList page(const QVariantMap& params, int* total = nullptr, int offset = 0, int limit = 200)
    {
        return library->queryPage(params, offset, limit, total);
    }
};

TEST_F(LibraryQuery, ItemViewsListTheirRowsInOrder)
{
    open();
    const QStringList tracks { "demo take", "Rain Loop", "Kite Runner", "River Song", "Porch Light",
        "Interview with Mira", "Low Tide", "Salt Wind", "Café Noir", "Lighthouse", "Sunburn", "Night Bus",
        "Still Water", "Glacier", "Birch", "Tide Pool", "Evening Tide", "Aurora", "Polar Night", "Ice Road", "Thaw",
        "Meltwater", "Blue Hour", "Tangerine", "Late Set" };
    struct Case {
        QVariantMap params;
        QStringList expected; // the whole list, in order
        int total;
    };
    const Case cases[] = {
        { {}, tracks, 25 },
        { map({ { "view", "tracks" }, { "sort", "" } }), tracks, 25 },
        { map({ { "view", "tracks" }, { "desc", true } }), tracks, 25 },
        { map({ { "view", "tracks" }, { "sort", "title; DROP TABLE sources" }, { "desc", true } }), tracks, 25 },
        { map({ { "view", "missing" } }), { "Lost Chord", "Vanished" }, 2 },
        { map({ { "view", "videos" } }),
            { "Bioluminescence", "birthday 2024", "Bread", "Glass City", "Night Shift", "Noodles", "Paper Moon Rising",
                "Soup", "The Abyss Returns", "The Long Road", "The Trench", "Vents", "Whale Fall" },
            13 },
        { map({ { "view", "movies" } }), { "Glass City", "Night Shift", "Paper Moon Rising", "The Long Road" }, 4 },
        { map({ { "view", "episodes" } }),
            { "The Trench", "Bioluminescence", "Whale Fall", "Vents", "The Abyss Returns", "Bread", "Soup", "Noodles" },
            8 },
        { map({ { "view", "recent" } }),
            { "Night Bus", "Sunburn", "Kite Runner", "Paper Moon Rising", "demo take", "birthday 2024" }, 6 },
        { map({ { "view", "played" } }),
            { "Kite Runner", "Aurora", "Café Noir", "The Trench", "Polar Night", "The Long Road" }, 6 },
        { map({ { "view", "most" } }),
            { "Aurora", "Café Noir", "Polar Night", "Kite Runner", "The Trench", "The Long Road" }, 6 },
        { map({ { "view", "top" } }),
            { "Aurora", "The Long Road", "Café Noir", "The Trench", "Blue Hour", "Still Water" }, 6 },
        { map({ { "view", "tracks" }, { "key", map({ { "album", "northern lights" } }) } }),
            { "Aurora", "Polar Night", "Ice Road", "Thaw", "Meltwater" }, 5 },
        { map({ { "view", "tracks" }, { "key", map({ { "year", 2021 } }) } }),
            { "Low Tide", "Salt Wind", "Café Noir", "Lighthouse" }, 4 },
        { map({ { "view", "search" }, { "search", "lanterns" }, { "filters", map({ { "format", "lossless" } }) } }),
            { "Aurora", "Ice Road", "Meltwater", "Polar Night", "Thaw" }, 5 },
    };
    for (const Case& c : cases) {
        int total = -1;
        EXPECT_EQ(titles(page(c.params, &total)), c.expected) << QVariant(c.params).toString().toStdString();
        EXPECT_EQ(total, c.total);
    }

    // Every available item, audio before video, by title; an unknown view uses the default order.
    int total = -1;
    const QVariantList all = page(map({ { "view", "search" }, { "search", "" } }), &total);
    EXPECT_EQ(total, SeedLibrary::itemCount - SeedLibrary::unavailableCount);
    ASSERT_EQ(all.size(), total);
    EXPECT_EQ(titles(all.mid(0, 4)), QStringList({ "Aurora", "Birch", "Blue Hour", "Café Noir" }));
    EXPECT_EQ(titles(all.mid(25)).first(), "Bioluminescence");
    EXPECT_EQ(field(all[0], "type"), "item");
    EXPECT_EQ(all[0].toMap().size(), 30) << "29 columns and the type";
    EXPECT_EQ(all[0].toMap().value("year").typeId(), QMetaType::LongLong);
    EXPECT_FALSE(all[4].toMap().value("artist").isValid()) << "NULL reads as an invalid value";
    EXPECT_EQ(page(map({ { "view", "bogus" } }), &total).size(), total);
    EXPECT_EQ(total, SeedLibrary::itemCount - SeedLibrary::unavailableCount);

    // The user's text in "sort" reached no SQL.
    Statement count = db.prepare("SELECT COUNT(*) FROM sources");
    ASSERT_TRUE(count.next());
    EXPECT_EQ(count.columnInt64(0), SeedLibrary::itemCount);
}

TEST_F(LibraryQuery, SortKeysOrderTheView)
{
    open();
    struct Case {
        const char* sort;
        bool desc;
        const char* first;
        const char* last;
    };
    const Case cases[] = {
        { "title", false, "Aurora", "Tide Pool" },
        { "title", true, "Tide Pool", "Aurora" },
        { "duration", false, "demo take", "Interview with Mira" },
        { "duration", true, "Interview with Mira", "demo take" },
        { "rating", true, "Aurora", nullptr },
        { "plays", true, "Aurora", nullptr },
        { "played", true, "Kite Runner", nullptr },
        { "year", false, nullptr, nullptr },
    };
    for (const Case& c : cases) {
        const QStringList list = titles(page(map({ { "view", "tracks" }, { "sort", c.sort }, { "desc", c.desc } })));
        ASSERT_EQ(list.size(), 25) << c.sort;
        if (c.first) {
            EXPECT_EQ(list.first(), c.first) << c.sort << " desc " << c.desc;
        }
        if (c.last) {
            EXPECT_EQ(list.last(), c.last) << c.sort << " desc " << c.desc;
        }
    }
    // Year ascending: items without a year first, Grandpa Joe's 1972 tapes next.
    const QVariantList byYear = page(map({ { "view", "tracks" }, { "sort", "year" } }));
    EXPECT_FALSE(byYear[0].toMap().value("year").isValid());
    EXPECT_EQ(byYear[3].toMap().value("year").toInt(), 1972);
}

TEST_F(LibraryQuery, FiltersAddTheirClauses)
{
    open();
    struct Case {
        QVariantMap filters;
        QStringList expected; // sorted titles; empty: only the count is checked
        int total;
    };
    const Case cases[] = {
        { {}, {}, 38 },
        { map({ { "genre", "jazz" } }), {}, 7 },
        { map({ { "yearFrom", 2022 } }), { "Kite Runner", "Night Bus", "Paper Moon Rising", "Sunburn" }, 4 },
        { map({ { "yearTo", 1999 } }), { "Glass City", "Porch Light", "River Song" }, 3 },
        { map({ { "yearFrom", 2019 }, { "yearTo", 2019 } }), {}, 5 },
        { map({ { "minRating", 4 } }), { "Aurora", "Café Noir", "The Long Road", "The Trench" }, 4 },
        { map({ { "format", "lossless" } }), {}, 10 },
        // Videos carry lossy audio too; the filter's "lossy" is about music.
        { map({ { "format", "lossy" } }), {}, 15 },
        { map({ { "format", "video" } }), {}, 13 },
        { map({ { "format", "audio" } }), {}, 25 },
        { map({ { "format", "Lossy" } }), {}, 38 },
        { map({ { "bitrateMin", 1000 } }), {}, 15 },
        { map({ { "bitrateMax", 100 } }), { "Interview with Mira", "Rain Loop" }, 2 },
        { map({ { "folderId", 2 } }), {}, 13 },
        { map({ { "addedDays", 4 } }), { "Kite Runner", "Night Bus", "Sunburn" }, 3 },
        { map({ { "playedDays", 3 } }), { "Aurora", "Café Noir", "Kite Runner" }, 3 },
        { map({ { "unplayed", true } }), {}, 32 },
        { map({ { "yearFrom", "soon" }, { "minRating", QVariantList() } }), {}, 38 },
    };
    for (const Case& c : cases) {
        int total = -1;
        QStringList list = titles(page(map({ { "view", "search" }, { "filters", c.filters } }), &total));
        const std::string what = QVariant(c.filters).toString().toStdString();
        EXPECT_EQ(total, c.total) << what;
        EXPECT_EQ(list.size(), c.total) << what;
        list.sort();
        if (!c.expected.isEmpty()) {
            EXPECT_EQ(list, c.expected) << what;
        }
    }

    Library::ClauseList where;
    Library::applyFilters(where, map({ { "minRating", 3 }, { "bitrateMin", 320 }, { "genre", "Rock" } }));
    EXPECT_EQ(where.clauses, QStringList({ "genre = ? COLLATE NOCASE", "rating >= ?", "bitrate >= ?" }));
    EXPECT_EQ(where.values, QVariantList({ "Rock", 60, qint64(320000) }));
}

TEST_F(LibraryQuery, GroupKeysListTheirGroup)
{
    // A Deep Sea episode without a season, so the show has a NULL season beside its numbered ones.
    ASSERT_TRUE(db.exec("UPDATE videos SET season = NULL WHERE title = 'Whale Fall'"));
    open();

    const QVariantList albums = page(map({ { "view", "albums" } }));
    EXPECT_EQ(names(albums),
        QStringList({ "Fjord", "Harbour Songs", "Kind of Orange", "Northern Lights", "Old Tapes", "Summer Mix" }));
    const QVariantMap summer = albums[5].toMap();
    EXPECT_EQ(summer.value("type").toString(), "group");
    EXPECT_EQ(summer.value("sub").toString(), "Various Artists");
    EXPECT_EQ(summer.value("year").toInt(), 2023);
    EXPECT_EQ(summer.value("count").toInt(), 3);
    EXPECT_EQ(
        summer.value("groupKey").toMap(), map({ { "album", "Summer Mix" }, { "album_artist", "Various Artists" } }));
    EXPECT_EQ(albums[3].toMap().value("cover_key").toString(), "cover-northern-lights");

    EXPECT_EQ(names(page(map({ { "view", "years" } }))),
        QStringList({ "2023", "2021", "2020", "2019", "2017", "2010", "1972" }));

    const QVariantList seasons = page(map({ { "view", "seasons" }, { "key", map({ { "show", "Deep Sea" } }) } }));
    ASSERT_EQ(seasons.size(), 3);
    EXPECT_FALSE(seasons[0].toMap().value("name").isValid()) << "the NULL season first";
    EXPECT_EQ(names(seasons).mid(1), QStringList({ "1", "2" }));
    for (const QVariant& season : seasons)
        EXPECT_EQ(season.toMap().value("groupKey").toMap().value("show").toString(), "Deep Sea");
    EXPECT_EQ(titles(page(map({ { "view", "episodes" }, { "key", seasons[0].toMap().value("groupKey") } }))),
        QStringList({ "Whale Fall" }));

    // Every group of every grouping view, fed back as the key of its item view, lists as many items as it counts.
    const std::pair<const char*, const char*> views[]
        = { { "artists", "tracks" }, { "albums", "tracks" }, { "genres", "search" }, { "years", "tracks" },
              { "composers", "search" }, { "shows", "episodes" }, { "seasons", "episodes" } };
    for (const auto& [groupView, itemView] : views) {
        int total = -1;
        const QVariantList groups = page(map({ { "view", groupView } }), &total);
        EXPECT_GT(groups.size(), 1) << groupView;
        EXPECT_EQ(total, groups.size()) << groupView;
        for (const QVariant& group : groups) {
            const QVariantMap row = group.toMap();
            int items = -1;
            page(map({ { "view", itemView }, { "key", row.value("groupKey") } }), &items);
            EXPECT_EQ(items, row.value("count").toInt())
                << groupView << " " << row.value("name").toString().toStdString();
        }
        EXPECT_TRUE(library->idsForQuery(map({ { "view", groupView } })).isEmpty()) << "groups have no ids";
    }
}

// Album names that differ only in case, and one name under two album artists, come in one order whatever
// the plan; every page of the albums list, the first, later ones and those past the end, is a slice of it.
TEST_F(LibraryQuery, AlbumPagesSliceOneOrderWithEditedNames)
{
    Library& lib = open();
    const auto id = [this](const char* title) {
        return scalar("SELECT id FROM items WHERE title = ?1", { QString::fromUtf8(title) }).toLongLong();
    };
    lib.editMetadata({ id("Low Tide") }, map({ { "album", "old tapes" } }));
    lib.editMetadata({ id("Salt Wind") }, map({ { "album", "Old Tapes" } }));

    int total = -1;
    const QVariantList whole = page(map({ { "view", "albums" } }), &total);
    QStringList groups;
    for (const QVariant& row : whole)
        groups << field(row, "name") + " / " + field(row, "sub");
    EXPECT_EQ(groups,
        QStringList({ "Fjord / Nordlys", "Harbour Songs / Mira Sol", "Kind of Orange / Trio Azul",
            "Northern Lights / The Lanterns", "Old Tapes / Grandpa Joe", "Old Tapes / Mira Sol", "old tapes / Mira Sol",
            "Summer Mix / Various Artists" }));
    ASSERT_EQ(total, 8);
    EXPECT_EQ(
        whole[6].toMap().value("groupKey").toMap(), map({ { "album", "old tapes" }, { "album_artist", "Mira Sol" } }));

    const struct {
        int offset;
        int limit;
        bool counted;
        int first;
        int size;
    } pages[] = {
        { 0, 3, true, 0, 3 },
        { 3, 3, false, 3, 3 },
        { 6, 3, false, 6, 2 },
        { 8, 3, false, 8, 0 },
        { 100, 200, true, 100, 0 },
        { -4, 2, true, 0, 2 },
        { 2, 0, false, 2, 0 },
    };
    for (const auto& p : pages) {
        SCOPED_TRACE(testing::Message() << "offset " << p.offset << " limit " << p.limit);
        int pageTotal = -1;
        const QVariantList rows
            = page(map({ { "view", "albums" } }), p.counted ? &pageTotal : nullptr, p.offset, p.limit);
        EXPECT_EQ(rows, whole.mid(p.first, p.size));
        EXPECT_EQ(pageTotal, p.counted ? 8 : -1);
    }
}

TEST_F(LibraryQuery, NullKeysListTheRowsWithoutAValue)
{
    open();
    QJSEngine engine;
    const QVariantMap fromQml = engine.evaluate("({show: 'Kitchen Diaries', season: null})").toVariant().toMap();
    ASSERT_TRUE(fromQml.contains("season"));
    const QVariantMap keys[] = {
        map({ { "show", "Kitchen Diaries" }, { "season", QVariant() } }),
        map({ { "show", "Kitchen Diaries" }, { "season", QVariant::fromValue(nullptr) } }),
        fromQml,
    };
    for (const QVariantMap& key : keys) {
        int total = -1;
        EXPECT_EQ(titles(page(map({ { "view", "episodes" }, { "key", key } }), &total)),
            QStringList({ "Bread", "Soup", "Noodles" }));
        EXPECT_EQ(total, 3);
    }
    // Without a show: every episode without a season.
    EXPECT_EQ(page(map({ { "view", "episodes" }, { "key", map({ { "season", QVariant() } }) } })).size(), 3);
}

TEST_F(LibraryQuery, FolderViewGivesSubfoldersThenItems)
{
    for (const char* path : { "Odd/50%/x.mp3", "Odd/50 percent/y.mp3", "Odd/a_b/z.mp3", "Odd/axb/w.mp3",
             "Odd/Rock/a.mp3", "Odd/rock/b.mp3", "Odd/top.mp3", "Odd0/beside.mp3" })
        addSource(path);
    open();

    int total = -1;
    const QVariantList top = page(map({ { "view", "folders" } }), &total);
    EXPECT_EQ(total, 2);
    ASSERT_EQ(top.size(), 2);
    EXPECT_EQ(field(top[0], "type"), "folder");
    EXPECT_EQ(field(top[0], "name"), root + "/Music");
    EXPECT_EQ(top[0].toMap().value("count").toInt(), SeedLibrary::audioCount - 1);

    const QVariantList odd
        = page(map({ { "view", "folders" }, { "key", map({ { "folder", root + "/Odd" } }) } }), &total);
    EXPECT_EQ(total, 7);
    EXPECT_EQ(names(odd.mid(0, 6)), QStringList({ "50 percent", "50%", "Rock", "a_b", "axb", "rock" }));
    EXPECT_EQ(field(odd[1], "path"), root + "/Odd/50%");
    EXPECT_EQ(odd[1].toMap().value("count").toInt(), 1);
    EXPECT_EQ(field(odd[6], "type"), "item");
    EXPECT_EQ(field(odd[6], "uri"), root + "/Odd/top.mp3");

    const std::pair<const char*, const char*> exact[] = {
        { "Odd/50%", "Odd/50%/x.mp3" },
        { "Odd/a_b", "Odd/a_b/z.mp3" },
        { "Odd/Rock", "Odd/Rock/a.mp3" },
        { "Odd/rock/", "Odd/rock/b.mp3" },
    };
    for (const auto& [folder, only] : exact) {
        const QVariantList rows
            = page(map({ { "view", "folders" }, { "key", map({ { "folder", root + "/" + folder } }) } }), &total);
        ASSERT_EQ(rows.size(), 1) << folder;
        EXPECT_EQ(field(rows[0], "uri"), root + "/" + only);
        EXPECT_EQ(total, 1);
    }

    // Search narrows the items and the counts; the ids are those directly inside.
    const QVariantList music = page(
        map({ { "view", "folders" }, { "key", map({ { "folder", root + "/Music" } }) }, { "search", "lanterns" } }));
    EXPECT_EQ(names(music), QStringList({ "Singles", "The Lanterns" }));
    EXPECT_EQ(music[1].toMap().value("count").toInt(), 5);
    EXPECT_EQ(
        library->idsForQuery(map({ { "view", "folders" }, { "key", map({ { "folder", root + "/Music/Singles" } }) } }))
            .size(),
        4);

    EXPECT_TRUE(
        page(map({ { "view", "folders" }, { "key", map({ { "folder", root + "/Odd" } }) } }), &total, 7).isEmpty());
    EXPECT_EQ(total, 7);
}

TEST_F(LibraryQuery, PlaylistViewKeepsItsOrderAndAvailability)
{
    // The entry outside the library exists on disk.
    ASSERT_TRUE(QDir().mkpath(root + "/Elsewhere"));
    QFile outside(root + "/Elsewhere/not in library.mp3");
    ASSERT_TRUE(outside.open(QIODevice::WriteOnly));
    outside.close();
    open();

    const QVariantMap params = map({ { "view", "playlist" }, { "key", map({ { "playlist", 1 } }) }, { "search", "zzz" },
        { "filters", map({ { "format", "video" } }) }, { "sort", "title" } });
    int total = -1;
    const QVariantList rows = page(params, &total);
    EXPECT_EQ(total, 5);
    EXPECT_EQ(titles(rows), QStringList({ "Aurora", "The Long Road", "Kite Runner", "not in library", "Lost Chord" }));
    ASSERT_EQ(rows.size(), 5);
    const QVariantMap outsideRow = rows[3].toMap();
    EXPECT_FALSE(outsideRow.value("id").isValid());
    EXPECT_TRUE(outsideRow.value("available").toBool()) << "a file outside the library is looked for on disk";
    EXPECT_EQ(outsideRow.value("rating").toInt(), 0);
    EXPECT_EQ(outsideRow.value("position").toInt(), 3);
    EXPECT_FALSE(rows[4].toMap().value("available").toBool()) << "the library's unavailable item stays unavailable";
    EXPECT_TRUE(rows[0].toMap().value("available").toBool());
    EXPECT_EQ(rows[0].toMap().value("rating").toInt(), 100);
    EXPECT_EQ(rows[0].toMap().value("play_count").toInt(), 12);

    QFile::remove(outside.fileName());
    EXPECT_FALSE(page(params)[3].toMap().value("available").toBool());
    EXPECT_EQ(titles(page(params, &total, 3, 1)), QStringList({ "not in library" }));
    EXPECT_TRUE(page(params, &total, 5, 200).isEmpty());
    EXPECT_EQ(total, 5);
    EXPECT_EQ(library->idsForQuery(params).size(), 4);
    EXPECT_EQ(library->idsForQuery(params).first(), rows[0].toMap().value("id"));
}

TEST_F(LibraryQuery, PagesSliceAndIdsStopAtTheCap)
{
    open();
    int total = -1;
    EXPECT_TRUE(page({}, &total, 25).isEmpty());
    EXPECT_EQ(total, 25);
    EXPECT_EQ(titles(page({}, &total, 23, 10)), QStringList({ "Tangerine", "Late Set" }));
    total = -1;
    EXPECT_TRUE(page(map({ { "view", "albums" } }), &total, 100).isEmpty());
    EXPECT_EQ(total, 6);

    ASSERT_TRUE(db.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 150000) "
                        "INSERT INTO sources(uri, kind, available, date_added) "
                        "SELECT '/bulk/' || i || '.mp3', 'audio', 1, 0 FROM n"));
    const QVariantList ids = library->idsForQuery(map({ { "view", "tracks" }, { "sort", "added" } }));
    EXPECT_EQ(ids.size(), 100000);
}

// Pages after the first are cut from the list the first one counted, so a scan that writes between two pages
// neither repeats nor skips rows; the next reload (a page with its total) reads the list again.
TEST_F(LibraryQuery, LaterPagesKeepToTheCountedListAndAReloadSeesNewRows)
{
    open();
    int total = -1;
    const QStringList whole = titles(page({}, &total));
    ASSERT_EQ(total, 25);
    const QVariantList first = page({}, &total, 0, 10);
    // Written by another connection, as the scanner writes: no title, so it sorts first.
    addSource("Music/new.mp3");
    const QVariantList rest = page({}, nullptr, 10, 100);
    EXPECT_EQ(titles(first) + titles(rest), whole);

    EXPECT_EQ(page({}, &total, 0, 10).size(), 10);
    EXPECT_EQ(total, 26);
    EXPECT_EQ(field(page({}, nullptr, 0, 1).value(0), "uri"), SeedLibrary::uri(root, "Music/new.mp3"));
}

// A pasted page of text is read up to a sane number of terms: the search still finds what those terms match,
// and the log says once that the rest was left out, however often the list is paged and reloaded.
TEST_F(LibraryQuery, LongPastedSearchIsCutWithOneNote)
{
    static QStringList notes;
    notes.clear();
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
              if (m.contains(QLatin1String("search text")))
                  notes << m;
          });
    open();
    QString text;
    for (int i = 0; i < 425; ++i)
        text += QStringLiteral("aurora lanterns northern lights ");
    ASSERT_EQ(text.split(' ', Qt::SkipEmptyParts).size(), 1700);
    for (const QString& pasted : { text, QStringLiteral("\"") + text }) {
        SCOPED_TRACE(pasted.left(20).toStdString());
        int total = -1;
        const QVariantMap params = map({ { "view", "search" }, { "search", pasted } });
        EXPECT_EQ(titles(page(params, &total)), QStringList { "Aurora" });
        EXPECT_EQ(total, 1);
        page(params, &total);
        page(params, nullptr, 200);
    }
    qInstallMessageHandler(previous);
    // One note per text: the parsed one and the word-by-word one (an odd quote).
    EXPECT_EQ(notes.size(), 2) << notes.join('\n').toStdString();
}

TEST_F(LibraryQuery, ClosedLibraryLeavesTheTotal)
{
    // A database file that is not one: the library stays closed.
    db.close();
    QFile file(dataDir + "/library.db");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray(4096, 'x'));
    file.close();
    QFile::remove(dataDir + "/library.db-wal");
    QFile::remove(dataDir + "/library.db-shm");
    open();
    int total = 7;
    EXPECT_TRUE(page({}, &total).isEmpty());
    EXPECT_EQ(total, 7);
}

} // namespace

namespace {

// Rows of the items view that the stored keys do not give exactly (value and storage class), and the other
// way round; 0 when every list read from the keys is the list the view would give.
qint64 keysDifferingFromView(Database& db)
{
    const QString columns = QStringLiteral(
        "id, uri, kind, available, duration_us, format, primary_codec, audio_codec, bitrate, sample_rate, channels, "
        "width, height, fps, date_added, folder_id, low_confidence, size_bytes, cover_key, title, artist, "
        "album_artist, album, year, genre, composer, track_number, disc_number, show, season, episode, category, "
        "play_count, last_played, rating");
    QStringList typed;
    for (const QString& column : columns.split(QStringLiteral(", ")))
        typed << column << QStringLiteral("typeof(%1)").arg(column);
    const QString select = QStringLiteral("SELECT %1 FROM %2").arg(typed.join(QStringLiteral(", ")));
    Statement count = db.prepare(QStringLiteral("SELECT (SELECT COUNT(*) FROM (%1 EXCEPT %2)) + (SELECT COUNT(*) "
                                                "FROM (%2 EXCEPT %1))")
                                     .arg(select.arg(QStringLiteral("items")), select.arg(Database::keyedItems())));
    return count.next() ? count.columnInt64(0) : -1;
}

QList<qint64> ids(const QVariantList& rows)
{
    QList<qint64> out;
    for (const QVariant& row : rows)
        out << row.toMap().value(QStringLiteral("id")).toLongLong();
    return out;
}

} // namespace

// A file written by a build that stores no keys opens with them added and filled, keeps its version and gives
// the lists the items view gives; every kind of write after that keeps them in step, and an edit moves its
// item in the order.
TEST_F(LibraryQuery, StoredKeysAreAddedToAnOlderFileAndFollowEveryWrite)
{
    // The file as such a build leaves it: no key columns, triggers or their indexes.
    QStringList strip;
    for (const char* sql : { "SELECT 'DROP TRIGGER ' || name FROM sqlite_master WHERE type = 'trigger'",
             "SELECT 'DROP INDEX ' || name FROM sqlite_master WHERE name LIKE 'idx\\_sk\\_%' ESCAPE '\\' OR name = "
             "'idx_albums_artist'",
             "SELECT 'ALTER TABLE sources DROP COLUMN ' || name FROM pragma_table_info('sources') WHERE name LIKE "
             "'sk\\_%' ESCAPE '\\'" }) {
        Statement select = db.prepare(sql);
        while (select.next())
            strip << select.columnText(0);
    }
    ASSERT_GT(strip.size(), 17);
    for (const QString& sql : strip)
        ASSERT_TRUE(exec(sql.toUtf8().constData())) << sql.toStdString();
    ASSERT_EQ(scalar("SELECT COUNT(*) FROM pragma_table_info('sources') WHERE name LIKE 'sk%'"), "0");

    // The lists as the view orders them, read before the keys exist.
    struct List {
        QVariantMap params;
        const char* sql;
    };
    const List lists[] = {
        { {},
            "SELECT id FROM items WHERE available = 1 AND kind = 'audio' ORDER BY artist COLLATE NOCASE, album "
            "COLLATE NOCASE, disc_number, track_number, title COLLATE NOCASE, id" },
        { map({ { "view", "episodes" } }),
            "SELECT id FROM items WHERE available = 1 AND category = 'episode' ORDER BY show COLLATE NOCASE, season, "
            "episode, title, id" },
        { map({ { "view", "search" }, { "sort", "year" }, { "desc", true } }),
            "SELECT id FROM items WHERE available = 1 ORDER BY year DESC, id" },
        { map({ { "view", "top" } }),
            "SELECT id FROM items WHERE available = 1 AND rating > 0 ORDER BY rating DESC, play_count DESC, id" },
    };
    std::vector<QList<qint64>> expected;
    for (const List& list : lists) {
        QList<qint64> listIds;
        Statement select = db.prepare(list.sql);
        while (select.next())
            listIds << select.columnInt64(0);
        expected.push_back(listIds);
    }

    Library& lib = open();
    EXPECT_EQ(scalar("SELECT value FROM library_meta WHERE key = 'schema_version'"), "1");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM pragma_table_info('sources') WHERE name LIKE 'sk\\_%' ESCAPE '\\'"), "17");
    EXPECT_EQ(keysDifferingFromView(db), 0);
    for (size_t i = 0; i < std::size(lists); ++i) {
        SCOPED_TRACE(lists[i].sql);
        int total = -1;
        EXPECT_EQ(ids(page(lists[i].params, &total)), expected[i]);
        EXPECT_EQ(total, expected[i].size());
    }
    const QVariantList albums = page(map({ { "view", "albums" } }));
    EXPECT_EQ(names(albums),
        (QStringList { "Fjord", "Harbour Songs", "Kind of Orange", "Northern Lights", "Old Tapes", "Summer Mix" }));

    // Every writer, each followed by the check: the library's own edits, plays, ratings and removals, and
    // writes of another connection as the scanner makes them (new and re-read files, names, covers).
    const qlonglong lowTide = scalar("SELECT id FROM items WHERE title = 'Low Tide'").toLongLong();
    const qsizetype before = titles(page({})).indexOf("Low Tide");
    lib.editMetadata({ lowTide }, map({ { "artist", "Aardvark" } }));
    const QStringList moved = titles(page({}));
    EXPECT_LT(moved.indexOf("Low Tide"), before) << "an edited artist moves its track up";
    EXPECT_EQ(moved.indexOf("Low Tide"), moved.indexOf("Rain Loop") + 1) << "right after the tracks without artist";
    lib.editMetadata({ lowTide }, map({ { "artist", "Zz Last" } }));
    EXPECT_EQ(titles(page({})).last(), "Low Tide");
    EXPECT_EQ(keysDifferingFromView(db), 0);
    const qlonglong aurora = scalar("SELECT id FROM items WHERE title = 'Aurora'").toLongLong();
    lib.setRating({ aurora }, 1);
    lib.recordPlay(uri("Music/Mira Sol/Harbour Songs/02 Salt Wind.mp3"), 60000000);
    lib.setTags({ aurora }, QStringLiteral("night"), true);
    EXPECT_EQ(keysDifferingFromView(db), 0);
    const struct {
        const char* what;
        const char* sql;
    } writes[] = {
        { "artist renamed", "UPDATE artists SET name = 'Lanterns, The' WHERE name = 'The Lanterns'" },
        { "album cover", "UPDATE albums SET cover_key = 'new-cover' WHERE title = 'Fjord'" },
        { "genre renamed", "UPDATE genres SET name = 'Cool Jazz' WHERE name = 'Jazz'" },
        { "show renamed", "UPDATE shows SET title = 'Deeper Sea' WHERE title = 'Deep Sea'" },
        { "track re-read", "UPDATE tracks SET title = 'Aurora Borealis', disc_number = 3 WHERE title = 'Aurora'" },
        { "video re-read", "UPDATE videos SET season = 9 WHERE title LIKE '%S1E1%' OR episode = 1" },
        { "new file",
            "INSERT INTO sources(uri, kind, available, date_added) VALUES('/elsewhere/x.mp3', 'audio', 1, 0)" },
        { "its tags",
            "INSERT INTO tracks(source_id, title, artist_id) SELECT id, 'X', (SELECT MIN(id) FROM artists) "
            "FROM sources WHERE uri = '/elsewhere/x.mp3'" },
        { "artist gone", "DELETE FROM artists WHERE id = (SELECT MIN(id) FROM artists)" },
        { "stats cleared", "DELETE FROM play_stats" },
        { "source gone", "DELETE FROM sources WHERE uri = '/elsewhere/x.mp3'" },
    };
    for (const auto& write : writes) {
        SCOPED_TRACE(write.what);
        ASSERT_TRUE(exec(write.sql));
        EXPECT_EQ(keysDifferingFromView(db), 0);
    }
    lib.removeSources({ aurora });
    EXPECT_EQ(keysDifferingFromView(db), 0);
}
