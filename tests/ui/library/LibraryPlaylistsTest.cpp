#include "tests/ui/library/SeededLibraryTest.h"

#include <QDateTime>
#include <QUrl>

using kvr::test::library::SeededLibraryTest;

namespace {

const QString failureNotice = QStringLiteral("The library could not save the change.");

class LibraryPlaylists : public SeededLibraryTest {
protected:
    // The stored entries of a playlist: "position|uri|source_id" in position order (source_id "" for NULL).
    QStringList rows(qint64 id)
    {
        kvr::ui::library::Statement select = db.prepare(
            "SELECT position, uri, source_id FROM playlist_items WHERE playlist_id = ?1 ORDER BY position");
        select.bindInt64(1, id);
        QStringList out;
        while (select.next())
            out << QStringLiteral("%1|%2|%3").arg(select.columnText(0), select.columnText(1), select.columnText(2));
        return out;
    }

    QString sourceId(const QString& relativePath)
    {
        return scalar("SELECT id FROM sources WHERE uri = ?1", { uri(relativePath) });
    }

    QStringList names()
    {
        QStringList out;
        for (const QVariant& list : library->playlists())
            out << list.toMap().value("name").toString();
        return out;
    }

    const QString aurora = QStringLiteral("Music/The Lanterns/Northern Lights/CD1/01 Aurora.flac");
    const QString kite = QStringLiteral("Music/Various/Summer Mix/01 Kite Runner.m4a");
};

// A blank name becomes "New Playlist"; entries are stored as local paths, with the library source they name
// or NULL; each creation says so and hands back the id of the row it made.
TEST_F(LibraryPlaylists, CreateStoresNamedPlaylistsWithTheirEntries)
{
    auto& lib = open();
    const int blank = lib.createPlaylist("   ", {});
    EXPECT_EQ(QString::number(blank), scalar("SELECT id FROM playlists WHERE name = 'New Playlist'"));
    EXPECT_TRUE(rows(blank).isEmpty());

    const QString outside = uri("Elsewhere/b.mp3");
    const QString stream = QStringLiteral("http://radio.example/live?x=1\\2");
    const int mix = lib.createPlaylist(
        " Mix ", { QUrl::fromLocalFile(uri(aurora)).toString(), outside, stream, uri(aurora).toUpper() });
    EXPECT_EQ(QString::number(mix), scalar("SELECT id FROM playlists WHERE name = 'Mix'"));
    EXPECT_GT(mix, blank);
    EXPECT_EQ(rows(mix),
        QStringList({ "0|" + uri(aurora) + "|" + sourceId(aurora), "1|" + outside + "|", "2|" + stream + "|",
            // Another file on Linux, however alike the name.
            "3|" + uri(aurora).toUpper() + "|" }));
    EXPECT_EQ(notices, QStringList({ "Saved playlist \"New Playlist\"", "Saved playlist \"Mix\"" }));
    EXPECT_GE(playlistsChanged, 2);

    EXPECT_EQ(names(), QStringList({ "Mix", "New Playlist", "Road Trip" }));
    const QVariantMap listed = lib.playlists().first().toMap();
    EXPECT_EQ(listed.value("id").toLongLong(), mix);
    EXPECT_EQ(listed.value("count").toLongLong(), 4);
    EXPECT_EQ(listed.value("lastPlayed").toLongLong(), 0);
    EXPECT_NEAR(listed.value("modified").toLongLong(), QDateTime::currentSecsSinceEpoch(), 5);
}

TEST_F(LibraryPlaylists, AppendContinuesAfterTheLastPosition)
{
    auto& lib = open();
    exec("UPDATE playlists SET modified = 0");
    const int empty = lib.createPlaylist("Empty", {});
    const QString outside = uri("Elsewhere/c.mp3");

    struct Case {
        const char* what;
        int id;
        QStringList expectedTail; // the entries the append adds, as stored
    };
    const Case cases[] = {
        { "after 0-4", 1, { "5|" + uri(kite) + "|" + sourceId(kite), "6|" + outside + "|" } },
        { "to an empty playlist", empty, { "0|" + uri(kite) + "|" + sourceId(kite), "1|" + outside + "|" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QStringList before = rows(c.id);
        const int changes = playlistsChanged;
        lib.appendToPlaylist(c.id, { QUrl::fromLocalFile(uri(kite)).toString(), outside });
        EXPECT_EQ(rows(c.id), before + c.expectedTail);
        EXPECT_EQ(playlistsChanged, changes + 1);
        EXPECT_NEAR(scalar("SELECT modified FROM playlists WHERE id = ?1", { c.id }).toLongLong(),
            QDateTime::currentSecsSinceEpoch(), 5);
    }

    // An unknown id: the entries' foreign key refuses them, nothing is written, and the user hears of it.
    notices.clear();
    lib.appendToPlaylist(999, { outside });
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM playlist_items WHERE playlist_id = 999"), "0");
    EXPECT_EQ(notices, QStringList({ failureNotice }));

    // A deleted playlist takes the entries and stays deleted.
    lib.deletePlaylist(empty);
    lib.appendToPlaylist(empty, { outside });
    EXPECT_EQ(rows(empty).size(), 3);
    EXPECT_FALSE(scalar("SELECT deleted_at FROM playlists WHERE id = ?1", { empty }).isEmpty());
}

// Indexes count in the playlist's order; the kept entries are renumbered from 0 and the playlist stamped,
// also when nothing was removed.
TEST_F(LibraryPlaylists, RemoveRenumbersTheKeptEntries)
{
    const QStringList seeded { uri(aurora), uri("Videos/Movies/The Long Road (2015).mkv"), uri(kite),
        uri("Elsewhere/not in library.mp3"), uri("Music/Mira Sol/Harbour Songs/05 Lost Chord.mp3") };
    struct Case {
        const char* what;
        QVariantList positions;
        QList<int> kept; // indexes into seeded
    };
    const Case cases[] = {
        { "two of them", { 3, 1 }, { 0, 2, 4 } },
        { "given as texts, twice", { "0", "0", "4" }, { 1, 2, 3 } },
        { "outside the list or no number", { -1, 5, 99, "x", QVariant() }, { 0, 1, 2, 3, 4 } },
        { "all", { 0, 1, 2, 3, 4 }, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        library.reset();
        exec("DELETE FROM playlist_items WHERE playlist_id = 1");
        kvr::ui::library::Statement insert
            = db.prepare("INSERT INTO playlist_items(playlist_id, position, uri) VALUES(1, ?1, ?2)");
        // Gaps in the stored positions, which the rewrite closes.
        for (int i = 0; i < seeded.size(); ++i) {
            insert.reset();
            insert.bindInt64(1, i * 10).bindText(2, seeded[i]);
            ASSERT_TRUE(insert.run());
        }
        exec("UPDATE playlists SET modified = 0 WHERE id = 1");
        playlistsChanged = 0;
        notices.clear();
        auto& lib = open();
        lib.removeFromPlaylist(1, c.positions);

        QStringList expected;
        for (int i = 0; i < c.kept.size(); ++i) {
            const QString& entry = seeded[c.kept[i]];
            expected << QStringLiteral("%1|%2|%3")
                            .arg(i)
                            .arg(entry,
                                entry.contains("Elsewhere")
                                    ? QString()
                                    : scalar("SELECT id FROM sources WHERE uri = ?1", { entry }));
        }
        EXPECT_EQ(rows(1), expected);
        EXPECT_NEAR(
            scalar("SELECT modified FROM playlists WHERE id = 1").toLongLong(), QDateTime::currentSecsSinceEpoch(), 5);
        EXPECT_EQ(playlistsChanged, 1);
        EXPECT_TRUE(notices.isEmpty()) << notices.join('|').toStdString();
    }
}

// A rewrite that fails half-way leaves the playlist as it was and tells the user.
TEST_F(LibraryPlaylists, RemoveThatFailsKeepsThePlaylistWhole)
{
    const QStringList before = rows(1);
    ASSERT_EQ(before.size(), 5);
    ASSERT_TRUE(exec("CREATE TRIGGER refuse BEFORE INSERT ON playlist_items WHEN NEW.uri LIKE '%Lost Chord%' "
                     "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
    auto& lib = open();
    lib.removeFromPlaylist(1, { 0 });
    EXPECT_EQ(rows(1), before);
    EXPECT_EQ(notices, QStringList({ failureNotice }));
    EXPECT_EQ(playlistsChanged, 1);
}

TEST_F(LibraryPlaylists, RenameDeleteAndUndo)
{
    auto& lib = open();
    lib.renamePlaylist(1, "  \t ");
    EXPECT_EQ(playlistsChanged, 0);
    EXPECT_EQ(names(), QStringList({ "Road Trip" }));
    lib.renamePlaylist(1, " Long Drive ");
    EXPECT_EQ(playlistsChanged, 1);
    EXPECT_EQ(names(), QStringList({ "Long Drive" }));

    lib.markPlaylistPlayed(1);
    EXPECT_NEAR(
        lib.playlists().first().toMap().value("lastPlayed").toLongLong(), QDateTime::currentSecsSinceEpoch(), 5);

    const int first = lib.createPlaylist("First", { uri(aurora) });
    const int second = lib.createPlaylist("Second", { uri(kite) });
    lib.deletePlaylist(first);
    lib.deletePlaylist(second);
    EXPECT_EQ(names(), QStringList({ "Long Drive" }));
    EXPECT_EQ(lib.playlistUris(first), QStringList({ uri(aurora) })) << "a deleted playlist keeps its entries";

    lib.undoDeletePlaylist();
    EXPECT_EQ(names(), QStringList({ "Long Drive", "Second" }));
    const int changes = playlistsChanged;
    lib.undoDeletePlaylist();
    EXPECT_EQ(names(), QStringList({ "Long Drive", "Second" }));
    EXPECT_EQ(playlistsChanged, changes) << "a second undo does nothing";

    // Deleted 31 days ago: gone with its entries at the next deletion. Deleted 29 days ago: kept.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    kvr::ui::library::Statement age = db.prepare("UPDATE playlists SET deleted_at = ?2 WHERE id = ?1");
    age.bindInt64(1, first).bindInt64(2, now - 31 * 86400);
    ASSERT_TRUE(age.run());
    const int recent = lib.createPlaylist("Recent", { uri(kite) });
    lib.deletePlaylist(recent);
    age.reset();
    age.bindInt64(1, recent).bindInt64(2, now - 29 * 86400);
    ASSERT_TRUE(age.run());
    lib.deletePlaylist(second);
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM playlists WHERE id = ?1", { first }), "0");
    EXPECT_TRUE(lib.playlistUris(first).isEmpty());
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM playlists WHERE id IN (?1, ?2)", { recent, second }), "2");
    lib.undoDeletePlaylist();
    EXPECT_EQ(names(), QStringList({ "Long Drive", "Second" }));
}

} // namespace
