#include "tests/ui/library/DamagedLibrary.h"
#include "tests/ui/library/SeedLibrary.h"
#include "ui/library/Database.h"
#include "ui/library/Statement.h"
#include "ui/library/Transaction.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJSEngine>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <QVariantMap>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <functional>
#include <mutex>

using kvr::test::SeedLibrary;
using kvr::ui::library::Database;
using kvr::ui::library::Statement;
using kvr::ui::library::Transaction;

namespace {

// Collects the Qt warnings written while it lives.
class WarningLog {
public:
    WarningLog()
    {
        std::lock_guard lock(mutex);
        lines.clear();
        previous = qInstallMessageHandler(&WarningLog::handle);
    }
    ~WarningLog() { qInstallMessageHandler(previous); }

    static QStringList all()
    {
        std::lock_guard lock(mutex);
        return lines;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (type != QtWarningMsg)
            return;
        std::lock_guard lock(mutex);
        lines.append(text);
    }

    static inline std::mutex mutex;
    static inline QStringList lines;
    static inline QtMessageHandler previous = nullptr;
};

QString scalar(Database& db, const char* sql)
{
    Statement st = db.prepare(sql);
    return st.next() ? st.columnText(0) : QString();
}

qint64 count(Database& db, const char* sql)
{
    Statement st = db.prepare(sql);
    return st.next() ? st.columnInt64(0) : -1;
}

// Every schema object as sqlite_master holds it (what "sqlite3 <file> .schema" prints).
QStringList schemaDump(Database& db)
{
    QStringList rows;
    Statement st = db.prepare("SELECT type || ' ' || name || ': ' || IFNULL(sql, '') FROM sqlite_master "
                              "ORDER BY type, name");
    while (st.next())
        rows << st.columnText(0);
    return rows;
}

QStringList names(Database& db, const char* sql)
{
    QStringList out;
    Statement st = db.prepare(sql);
    while (st.next())
        out << st.columnText(0);
    return out;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class LibraryDatabase : public ::testing::Test {
protected:
    QString file(const QString& name) const { return dir.filePath(name); }

    // A library file with the current schema, closed again.
    QString schemaFile(const QString& name, const char* extraSql = nullptr)
    {
        const QString path = file(name);
        Database db;
        EXPECT_TRUE(db.open(path));
        EXPECT_TRUE(db.ensureSchema());
        if (extraSql) {
            EXPECT_TRUE(db.exec(extraSql));
        }
        return path;
    }

    QTemporaryDir dir;
};

const QStringList expectedTables = { "albums", "artists", "excluded_folders", "genres", "library_folders",
    "library_meta", "play_history", "play_stats", "playlist_items", "playlists", "search", "shows", "source_ratings",
    "source_tags", "sources", "track_artists", "tracks", "user_meta", "videos" };

const QStringList expectedIndexes
    = { "idx_albums_artist", "idx_history", "idx_sk_album", "idx_sk_albums", "idx_sk_artists", "idx_sk_category",
          "idx_sk_composers", "idx_sk_genres", "idx_sk_marked", "idx_sk_played", "idx_sk_plays", "idx_sk_rating",
          "idx_sk_shows", "idx_sk_title", "idx_sk_tracks", "idx_sk_years", "idx_sources_added", "idx_sources_edited",
          "idx_sources_folder", "idx_sources_hash", "idx_sources_kind", "idx_sources_missing", "idx_sources_recent",
          "idx_stats_count", "idx_stats_last", "idx_tags_tag", "idx_tracks_album", "idx_tracks_artist",
          "idx_tracks_composer", "idx_tracks_genre", "idx_tracks_year", "idx_videos_genre", "idx_videos_show" };

// The indexes added after version 1 was first released; files of that time lack them.
const char* const laterIndexes[] = { "idx_sources_edited", "idx_sources_missing", "idx_videos_genre",
    "idx_albums_artist", "idx_sk_shows", "idx_sk_marked", "idx_sources_recent" };

// The triggers that keep the stored list keys in step: one per write of each table a key is read from.
const QStringList expectedTriggers = [] {
    QStringList names { "sk_sources_insert", "sk_sources_update" };
    for (const char* table :
        { "albums", "artists", "genres", "play_stats", "shows", "source_ratings", "tracks", "videos" })
        for (const char* op : { "delete", "insert", "update" })
            names << QStringLiteral("sk_%1_%2").arg(QLatin1String(table), QLatin1String(op));
    names.sort();
    return names;
}();

const QStringList expectedItemColumns = { "id", "uri", "kind", "available", "duration_us", "format", "primary_codec",
    "audio_codec", "bitrate", "sample_rate", "channels", "width", "height", "fps", "date_added", "folder_id",
    "low_confidence", "size_bytes", "cover_key", "title", "artist", "album_artist", "album", "year", "genre",
    "composer", "track_number", "disc_number", "show", "season", "episode", "category", "comment", "play_count",
    "last_played", "rating" };

} // namespace

TEST_F(LibraryDatabase, NewFileGetsTheVersionOneSchemaAndASecondRunChangesNothing)
{
    Database db;
    ASSERT_TRUE(db.open(file("library.db")));
    ASSERT_TRUE(db.ensureSchema());
    EXPECT_EQ(scalar(db, "SELECT value FROM library_meta WHERE key='schema_version'"), "1");
    EXPECT_EQ(scalar(db, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(count(db, "PRAGMA foreign_keys"), 1);

    // FTS5 keeps its own shadow tables (search_content, search_idx, ...) beside the virtual table.
    EXPECT_EQ(names(db,
                  "SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'search\\_%' ESCAPE '\\' "
                  "ORDER BY name"),
        expectedTables);
    EXPECT_EQ(names(db, "SELECT name FROM sqlite_master WHERE type='index' AND name LIKE 'idx%' ORDER BY name"),
        expectedIndexes);
    EXPECT_EQ(names(db, "SELECT name FROM sqlite_master WHERE type = 'view'"), QStringList { "items" });
    EXPECT_EQ(names(db, "SELECT name FROM sqlite_master WHERE type = 'trigger' ORDER BY name"), expectedTriggers);
    const QString search = scalar(db, "SELECT sql FROM sqlite_master WHERE name='search'");
    EXPECT_TRUE(search.contains("USING fts5(")) << search.toStdString();
    EXPECT_TRUE(search.contains("tokenize = 'unicode61 remove_diacritics 2'")) << search.toStdString();
    EXPECT_EQ(names(db, "SELECT name FROM pragma_table_info('search')"),
        (QStringList { "title", "artist", "album", "composer", "genre", "tags", "comment", "path" }));

    QStringList itemColumns;
    {
        Statement st = db.prepare("SELECT * FROM items");
        for (int i = 0; i < st.columnCount(); ++i)
            itemColumns << st.columnName(i);
    }
    EXPECT_EQ(itemColumns, expectedItemColumns);

    const QStringList before = schemaDump(db);
    const qint64 cookie = count(db, "PRAGMA schema_version");
    EXPECT_TRUE(db.ensureSchema());
    db.close();
    ASSERT_TRUE(db.open(file("library.db")));
    EXPECT_TRUE(db.ensureSchema());
    EXPECT_EQ(schemaDump(db), before);
    EXPECT_EQ(count(db, "PRAGMA schema_version"), cookie) << "no statement of the schema ran again";
}

TEST_F(LibraryDatabase, NewerVersionIsRefusedAndTheFileStaysByteIdentical)
{
    // In either journal mode: the mode is written in the file's header (bytes 18 and 19), so switching a
    // rollback-journal file to the log would change the very file that is then refused.
    struct Case {
        const char* name;
        const char* journalMode;
        char headerVersion;
    };
    const Case cases[] = { { "wal.db", "wal", 2 }, { "delete.db", "delete", 1 } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path
            = schemaFile(c.name, "UPDATE library_meta SET value='2' WHERE key='schema_version'; DROP TABLE shows;");
        {
            Database mode;
            ASSERT_TRUE(mode.open(path));
            EXPECT_EQ(
                scalar(mode, QByteArray("PRAGMA journal_mode=").append(c.journalMode).constData()), c.journalMode);
        }
        ASSERT_FALSE(QFile::exists(path + "-wal")) << "the last close folds the log back into the file";
        const QByteArray before = fileBytes(path);
        ASSERT_GT(before.size(), 19);
        ASSERT_EQ(before[18], c.headerVersion);
        ASSERT_EQ(before[19], c.headerVersion);

        Database db;
        ASSERT_TRUE(db.open(path));
        EXPECT_FALSE(db.ensureSchema());
        EXPECT_EQ(scalar(db, "PRAGMA journal_mode"), c.journalMode);
        EXPECT_EQ(count(db, "SELECT COUNT(*) FROM sqlite_master WHERE name='shows'"), 0);
        db.close();
        EXPECT_EQ(fileBytes(path), before);
        EXPECT_FALSE(QFile::exists(path + "-journal"));
    }
}

TEST_F(LibraryDatabase, VersionThatIsNoNumberRunsTheScriptOverExistingRows)
{
    const QString fresh = schemaFile("fresh.db");
    Database reference;
    ASSERT_TRUE(reference.open(fresh));
    const QStringList freshSchema = schemaDump(reference);

    const char* versions[] = { "'abc'", "''", "NULL", "'-3'" };
    for (const char* version : versions) {
        SCOPED_TRACE(version);
        const QString name = QString("v%1.db").arg(QString(version).remove('\''));
        const QString sql = QString("INSERT INTO sources(uri) VALUES('/m/a.mp3'); DROP TABLE playlist_items; "
                                    "UPDATE library_meta SET value=%1 WHERE key='schema_version';")
                                .arg(version);
        const QString path = schemaFile(name, sql.toUtf8().constData());
        Database db;
        ASSERT_TRUE(db.open(path));
        EXPECT_TRUE(db.ensureSchema());
        EXPECT_EQ(scalar(db, "SELECT value FROM library_meta WHERE key='schema_version'"), "1");
        EXPECT_EQ(scalar(db, "SELECT uri FROM sources"), "/m/a.mp3");
        EXPECT_EQ(schemaDump(db), freshSchema) << "the missing table is back, nothing else changed";
    }
}

// A file written before the later indexes existed gets them when it is opened, with its rows and its version
// as they were: a higher version would make the builds already released refuse the file (and its backups).
TEST_F(LibraryDatabase, VersionOneFileGetsTheLaterIndexesAndKeepsItsVersion)
{
    QString drop = QStringLiteral("INSERT INTO sources(uri, u_artist) VALUES('/m/a.mp3', 'Edited');");
    for (const char* index : laterIndexes)
        drop += QStringLiteral("DROP INDEX %1;").arg(QLatin1String(index));
    const QString path = schemaFile("old.db", drop.toUtf8().constData());
    {
        Database old;
        ASSERT_TRUE(old.open(path));
        for (const char* index : laterIndexes)
            ASSERT_EQ(count(old,
                          QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE name='%1'")
                              .arg(QLatin1String(index))
                              .toUtf8()
                              .constData()),
                0);
    }

    Database db;
    ASSERT_TRUE(db.open(path));
    ASSERT_TRUE(db.ensureSchema());
    EXPECT_EQ(names(db, "SELECT name FROM sqlite_master WHERE type='index' AND name LIKE 'idx%' ORDER BY name"),
        expectedIndexes);
    EXPECT_EQ(scalar(db, "SELECT value FROM library_meta WHERE key='schema_version'"), "1");
    EXPECT_EQ(scalar(db, "SELECT u_artist FROM sources WHERE uri='/m/a.mp3'"), "Edited");
    // The partial index answers the edited test the library asks.
    EXPECT_EQ(scalar(db,
                  "SELECT COUNT(*) FROM sources INDEXED BY idx_sources_edited WHERE u_artist IS NOT NULL OR u_album IS "
                  "NOT NULL OR u_album_artist IS NOT NULL OR u_year IS NOT NULL OR u_genre IS NOT NULL OR u_composer "
                  "IS NOT NULL OR u_category IS NOT NULL OR u_show IS NOT NULL"),
        "1");
}

TEST_F(LibraryDatabase, VersionOneFileWithADroppedTableIsNotRepaired)
{
    const QString path = schemaFile("dropped.db", "DROP TABLE excluded_folders;");
    Database db;
    ASSERT_TRUE(db.open(path));
    EXPECT_TRUE(db.ensureSchema());
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM sqlite_master WHERE name='excluded_folders'"), 0);
}

// Why a file is refused decides what the user is told: only a readable file of a newer version is "newer",
// and SQLite's own check tells a damaged file from one that is only locked. A refused file is never written.
// A damaged table page is not looked for at every start: the file opens, and its next backup finds it.
TEST_F(LibraryDatabase, RefusedFilesAreToldApartAndLeftByteIdentical)
{
    using Refusal = Database::Refusal;
    using kvr::test::library::Damage;
    using kvr::test::library::damageLibrary;
    struct Case {
        const char* name;
        std::function<bool(const QString&)> damage;
        bool accepted;
        Refusal refusal;
    };
    const Case cases[] = {
        { "newer version",
            [](const QString& p) {
                Database db;
                return db.open(p) && db.exec("UPDATE library_meta SET value = '2' WHERE key = 'schema_version'");
            },
            false, Refusal::Newer },
        { "truncated", [](const QString& p) { return damageLibrary(p, Damage::Truncated); }, false, Refusal::Damaged },
        { "garbage header", [](const QString& p) { return damageLibrary(p, Damage::GarbageHeader); }, false,
            Refusal::Damaged },
        { "flipped table page", [](const QString& p) { return damageLibrary(p, Damage::FlippedTablePage); }, true,
            Refusal::None },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = file(QString(c.name).replace(' ', '-') + ".db");
        ASSERT_TRUE(SeedLibrary::write(path, file("media")));
        ASSERT_TRUE(c.damage(path));
        ASSERT_FALSE(QFile::exists(path + "-wal"));
        const QByteArray before = fileBytes(path);

        Database db;
        ASSERT_TRUE(db.open(path));
        EXPECT_EQ(db.ensureSchema(), c.accepted);
        EXPECT_EQ(db.refusal(), c.refusal);
        db.close();
        EXPECT_TRUE(fileBytes(path) == before);
        for (const char* companion : { "-wal", "-shm", "-journal" })
            EXPECT_FALSE(QFile::exists(path + companion)) << companion;
    }

    // Locked by another program for longer than the busy time-out: neither damaged nor newer.
    const QString locked = schemaFile("locked.db");
    Database holder;
    ASSERT_TRUE(holder.open(locked));
    ASSERT_EQ(scalar(holder, "PRAGMA journal_mode=DELETE"), "delete");
    ASSERT_TRUE(holder.exec("BEGIN EXCLUSIVE"));
    Database db;
    ASSERT_TRUE(db.open(locked));
    EXPECT_FALSE(db.ensureSchema());
    EXPECT_EQ(db.refusal(), Refusal::Unreadable);
}

TEST_F(LibraryDatabase, BoundValuesComeBackWithTheirStorageClass)
{
    const QDateTime when(QDate(2024, 2, 29), QTime(13, 45, 6), Qt::UTC);
    const QUrl url = QUrl::fromLocalFile("/music/a b.mp3");
    struct Case {
        const char* name;
        std::function<void(Statement&)> bind;
        const char* type; // SQLite's typeof() of the bound value
        QVariant expected; // what columnValue reads back
    };
    const Case cases[] = {
        { "null QString", [](Statement& s) { s.bindText(1, QString()); }, "null", QVariant() },
        { "empty QString", [](Statement& s) { s.bindText(1, QString("")); }, "text", QString("") },
        { "UTF-8 text", [](Statement& s) { s.bindText(1, QString("Café ☕")); }, "text", QString("Café ☕") },
        { "invalid QVariant", [](Statement& s) { s.bindValue(1, QVariant()); }, "null", QVariant() },
        { "std::nullptr_t QVariant", [](Statement& s) { s.bindValue(1, QVariant::fromValue(nullptr)); }, "null",
            QVariant() },
        { "null QString QVariant", [](Statement& s) { s.bindValue(1, QVariant(QString())); }, "null", QVariant() },
        { "empty QString QVariant", [](Statement& s) { s.bindValue(1, QVariant(QString(""))); }, "text", QString("") },
        { "QDateTime", [&](Statement& s) { s.bindValue(1, when); }, "text", QVariant(when).toString() },
        { "QUrl", [&](Statement& s) { s.bindValue(1, url); }, "text", QString("file:///music/a b.mp3") },
        { "bool", [](Statement& s) { s.bindValue(1, true); }, "integer", qlonglong(1) },
        { "int", [](Statement& s) { s.bindValue(1, -7); }, "integer", qlonglong(-7) },
        { "uint", [](Statement& s) { s.bindValue(1, 4000000000u); }, "integer", qlonglong(4000000000LL) },
        { "qlonglong", [](Statement& s) { s.bindValue(1, qlonglong(-1) << 40); }, "integer", qlonglong(-1) << 40 },
        { "qulonglong", [](Statement& s) { s.bindValue(1, qulonglong(1) << 40); }, "integer", qlonglong(1) << 40 },
        { "double", [](Statement& s) { s.bindValue(1, 2.5); }, "real", 2.5 },
        { "float", [](Statement& s) { s.bindValue(1, 0.25f); }, "real", 0.25 },
        { "bindInt64", [](Statement& s) { s.bindInt64(1, 3); }, "integer", qlonglong(3) },
        { "bindDouble", [](Statement& s) { s.bindDouble(1, -1.5); }, "real", -1.5 },
        { "bindNull", [](Statement& s) { s.bindNull(1); }, "null", QVariant() },
    };

    Database db;
    ASSERT_TRUE(db.open(file("bind.db")));
    Statement st = db.prepare("SELECT typeof(?1), ?1");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        st.reset();
        c.bind(st);
        ASSERT_TRUE(st.next());
        EXPECT_EQ(st.columnText(0), c.type);
        const QVariant value = st.columnValue(1);
        EXPECT_EQ(value.isValid(), c.expected.isValid());
        if (c.expected.isValid()) {
            EXPECT_EQ(value.typeId(), c.expected.typeId());
            EXPECT_EQ(value, c.expected);
            EXPECT_FALSE(st.isNull(1));
        } else {
            EXPECT_TRUE(st.isNull(1));
            EXPECT_TRUE(st.columnText(1).isNull());
            EXPECT_EQ(st.columnInt64(1), 0);
        }
        if (c.expected.typeId() == QMetaType::QString) {
            EXPECT_FALSE(st.columnText(1).isNull()) << "an empty text is not NULL";
        }
    }

    // An INTEGER column of a table reads back as qlonglong even for small numbers.
    ASSERT_TRUE(db.exec("CREATE TABLE t(n INTEGER); INSERT INTO t VALUES(1)"));
    Statement read = db.prepare("SELECT n FROM t");
    ASSERT_TRUE(read.next());
    EXPECT_EQ(read.columnValue(0).typeId(), QMetaType::LongLong);
}

namespace {

// Receives a map from script, the way QML hands one to a C++ slot.
class MapReceiver : public QObject {
    Q_OBJECT

public:
    QVariantMap received;
    Q_INVOKABLE void take(const QVariantMap& map) { received = map; }
};

} // namespace

TEST_F(LibraryDatabase, ScriptNullAndUndefinedInAMapBindNull)
{
    QJSEngine engine;
    MapReceiver receiver;
    engine.globalObject().setProperty("receiver", engine.newQObject(&receiver));
    engine.setObjectOwnership(&receiver, QJSEngine::CppOwnership);
    const QJSValue result = engine.evaluate("receiver.take({nil: null, undef: undefined, empty: '', zero: 0})");
    ASSERT_FALSE(result.isError()) << result.toString().toStdString();
    ASSERT_TRUE(receiver.received.contains("nil"));
    ASSERT_TRUE(receiver.received.contains("undef"));

    Database db;
    ASSERT_TRUE(db.open(file("script.db")));
    Statement st = db.prepare("SELECT typeof(?1)");
    // A script's '' arrives as a null QString, and a null text binds NULL like every other.
    const std::pair<const char*, const char*> expected[]
        = { { "nil", "null" }, { "undef", "null" }, { "empty", "null" }, { "zero", "integer" } };
    for (const auto& [key, type] : expected) {
        SCOPED_TRACE(key);
        st.reset();
        st.bindValue(1, receiver.received.value(key));
        ASSERT_TRUE(st.next());
        EXPECT_EQ(st.columnText(0), type);
    }
}

TEST_F(LibraryDatabase, FailedStatementsLogOnlyTheFirst200BytesOfTheirSql)
{
    Database db;
    ASSERT_TRUE(db.open(file("log.db")));
    const QByteArray sql = "INSERT INTO no_such_table VALUES('" + QByteArray(250, 'a') + "', 'TAIL')";
    struct Case {
        const char* name;
        std::function<bool()> run;
    };
    const Case cases[] = {
        { "library: exec failed:", [&] { return db.exec(sql.constData()); } },
        { "library: prepare failed:", [&] { return db.prepare(sql.constData()).isValid(); } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WarningLog log;
        EXPECT_FALSE(c.run());
        const QStringList lines = WarningLog::all();
        ASSERT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
        const QString line = lines.first();
        EXPECT_TRUE(line.startsWith(c.name)) << line.toStdString();
        EXPECT_TRUE(line.contains("no such table")) << line.toStdString();
        EXPECT_TRUE(line.contains(QString::fromUtf8(sql.left(200)))) << line.toStdString();
        EXPECT_FALSE(line.contains(QString::fromUtf8(sql.left(201)))) << line.toStdString();
    }
}

TEST_F(LibraryDatabase, WithoutAConnectionEveryOperationFailsQuietly)
{
    WarningLog log;
    Database never;
    Database closed;
    ASSERT_TRUE(closed.open(file("closed.db")));
    closed.close();
    for (Database* db : { &never, &closed }) {
        EXPECT_FALSE(db->isOpen());
        EXPECT_FALSE(db->exec("SELECT 1"));
        EXPECT_FALSE(db->prepare("SELECT 1").isValid());
        EXPECT_FALSE(db->prepare(QString("SELECT 1")).isValid());
        EXPECT_EQ(db->lastInsertId(), 0);
        EXPECT_FALSE(db->ensureSchema());
        EXPECT_FALSE(db->backupTo(file("copy.db")));
    }
    EXPECT_FALSE(QFile::exists(file("copy.db")));

    Statement empty = never.prepare("SELECT 1");
    empty.bindText(1, "x").bindInt64(2, 1).bindDouble(3, 1.0).bindNull(4).bindValue(5, 1);
    EXPECT_FALSE(empty.next());
    EXPECT_FALSE(empty.run());
    empty.reset();
    EXPECT_EQ(empty.columnCount(), 0);
    EXPECT_TRUE(empty.columnName(0).isEmpty());
    EXPECT_EQ(empty.columnInt64(0), 0);
    EXPECT_TRUE(empty.columnText(0).isNull());
    EXPECT_FALSE(empty.columnValue(0).isValid());
    EXPECT_TRUE(empty.isNull(0));
    EXPECT_TRUE(WarningLog::all().isEmpty()) << WarningLog::all().join('\n').toStdString();

    // A file that cannot be opened leaves no connection behind, with one line saying why.
    Database missing;
    EXPECT_FALSE(missing.open(file("no/such/dir/library.db")));
    EXPECT_FALSE(missing.isOpen());
    ASSERT_EQ(WarningLog::all().size(), 1);
    EXPECT_TRUE(WarningLog::all().first().startsWith("library: cannot open"));
}

TEST_F(LibraryDatabase, DeletingASourceDeletesItsTracksVideosButNotItsOtherRows)
{
    Database db;
    ASSERT_TRUE(db.open(file("cascade.db")));
    ASSERT_TRUE(db.ensureSchema());
    ASSERT_TRUE(db.exec("INSERT INTO sources(id, uri) VALUES(1, '/m/a.mp3'), (2, '/m/b.mkv');"
                        "INSERT INTO tracks(source_id, title) VALUES(1, 'a');"
                        "INSERT INTO videos(source_id, title) VALUES(2, 'b');"
                        "INSERT INTO source_ratings(source_id, rating) VALUES(1, 80);"
                        "INSERT INTO playlists(id, name) VALUES(1, 'p');"
                        "INSERT INTO playlist_items(playlist_id, position, uri) VALUES(1, 0, '/m/a.mp3');"));
    ASSERT_TRUE(db.exec("DELETE FROM sources"));
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM tracks"), 0);
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM videos"), 0);
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM source_ratings"), 1)
        << "whoever removes a source deletes its other rows itself";
    ASSERT_TRUE(db.exec("DELETE FROM playlists"));
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM playlist_items"), 0);
}

TEST_F(LibraryDatabase, NamesAreUniqueRegardlessOfAsciiCaseOnly)
{
    Database db;
    ASSERT_TRUE(db.open(file("names.db")));
    ASSERT_TRUE(db.ensureSchema());
    struct Case {
        const char* table;
        const char* column;
        const char* first;
        const char* second;
        int rows;
    };
    const Case cases[] = {
        { "artists", "name", "ABBA", "Abba", 1 },
        { "artists", "name", "Ärzte", "ärzte", 2 },
        { "genres", "name", "Rock", "ROCK", 1 },
        { "shows", "title", "Deep Sea", "deep sea", 1 },
        { "shows", "title", "Élan", "élan", 2 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        ASSERT_TRUE(db.exec(QString("DELETE FROM %1").arg(c.table).toUtf8().constData()));
        Statement insert = db.prepare(QString("INSERT OR IGNORE INTO %1(%2) VALUES(?1)").arg(c.table, c.column));
        for (const char* name : { c.first, c.second }) {
            insert.reset();
            insert.bindText(1, QString::fromUtf8(name));
            EXPECT_TRUE(insert.run());
        }
        EXPECT_EQ(count(db, QString("SELECT COUNT(*) FROM %1").arg(c.table).toUtf8().constData()), c.rows);
    }

    ASSERT_TRUE(db.exec("INSERT INTO source_tags(source_id, tag) VALUES(1, 'Chill')"));
    EXPECT_FALSE(db.exec("INSERT INTO source_tags(source_id, tag) VALUES(1, 'chill')"));
}

TEST_F(LibraryDatabase, TransactionCommitsWhenEveryStepSucceeds)
{
    Database db;
    ASSERT_TRUE(db.open(file("tx.db")));
    ASSERT_TRUE(db.ensureSchema());
    {
        Transaction tx(db);
        EXPECT_TRUE(tx.ok());
        EXPECT_TRUE(tx.exec("INSERT INTO sources(uri) VALUES('/m/a.mp3')"));
        Statement insert = db.prepare("INSERT INTO sources(uri) VALUES(?1)");
        insert.bindText(1, "/m/b.mp3");
        EXPECT_TRUE(tx.run(insert));
        EXPECT_TRUE(tx.commit());
        EXPECT_FALSE(tx.commit()) << "a finished transaction commits nothing more";
    }
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM sources"), 2);

    // Leaving the scope without commit undoes the body.
    {
        Transaction tx(db);
        EXPECT_TRUE(tx.exec("INSERT INTO sources(uri) VALUES('/m/c.mp3')"));
    }
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM sources"), 2);
    EXPECT_TRUE(sqlite3_get_autocommit(db.handle()));
}

TEST_F(LibraryDatabase, TransactionWhoseStepBreaksAConstraintLeavesNoRow)
{
    Database db;
    ASSERT_TRUE(db.open(file("tx.db")));
    ASSERT_TRUE(db.ensureSchema());
    WarningLog log;
    Transaction tx(db);
    EXPECT_TRUE(tx.exec("INSERT INTO sources(uri) VALUES('/m/a.mp3')"));
    Statement duplicate = db.prepare("INSERT INTO sources(uri) VALUES(?1)");
    duplicate.bindText(1, "/m/a.mp3");
    EXPECT_FALSE(tx.run(duplicate));
    EXPECT_FALSE(tx.ok());
    EXPECT_FALSE(tx.exec("INSERT INTO sources(uri) VALUES('/m/after.mp3')")) << "no step runs after a failure";
    EXPECT_FALSE(tx.commit());

    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM sources"), 0);
    EXPECT_TRUE(sqlite3_get_autocommit(db.handle())) << "the transaction is closed";
    const QStringList lines = WarningLog::all();
    ASSERT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.first().startsWith("library: rolled back:")) << lines.first().toStdString();
    EXPECT_TRUE(lines.first().contains("UNIQUE constraint failed")) << lines.first().toStdString();
    EXPECT_TRUE(lines.first().contains("INSERT INTO sources(uri) VALUES(?1)")) << lines.first().toStdString();

    Transaction next(db);
    EXPECT_TRUE(next.ok()) << "the connection takes a new transaction";
}

TEST_F(LibraryDatabase, TransactionThatMeetsAnotherWriterFailsAfterTheBusyTimeOutAndWritesNothing)
{
    const QString path = schemaFile("busy.db");
    Database other;
    ASSERT_TRUE(other.open(path));
    ASSERT_TRUE(other.exec("BEGIN IMMEDIATE; INSERT INTO sources(uri) VALUES('/m/other.mp3');"));

    Database db;
    ASSERT_TRUE(db.open(path));
    QElapsedTimer waited;
    waited.start();
    Transaction tx(db);
    EXPECT_GE(waited.elapsed(), 4500) << "BEGIN waits for the other writer first";
    EXPECT_FALSE(tx.ok());

    // The lock is free again, yet the body must not write outside a transaction.
    ASSERT_TRUE(other.exec("ROLLBACK"));
    EXPECT_FALSE(tx.exec("INSERT INTO sources(uri) VALUES('/m/mine.mp3')"));
    Statement insert = db.prepare("INSERT INTO sources(uri) VALUES('/m/mine2.mp3')");
    EXPECT_FALSE(tx.run(insert));
    EXPECT_FALSE(tx.commit());
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM sources"), 0);
}

TEST_F(LibraryDatabase, BackupCopiesTheWholeDatabase)
{
    Database db;
    ASSERT_TRUE(db.open(file("source.db")));
    ASSERT_TRUE(db.ensureSchema());
    ASSERT_TRUE(db.exec("INSERT INTO sources(uri) VALUES('/m/a.mp3')"));
    EXPECT_TRUE(db.backupTo(file("copy.db")));
    EXPECT_FALSE(db.backupTo(file("no/such/dir/copy.db")));

    Database copy;
    ASSERT_TRUE(copy.open(file("copy.db")));
    EXPECT_EQ(scalar(copy, "SELECT value FROM library_meta WHERE key='schema_version'"), "1");
    EXPECT_EQ(scalar(copy, "SELECT uri FROM sources"), "/m/a.mp3");
}

TEST_F(LibraryDatabase, SeededLibraryIsConsistentAndSearchable)
{
    const QString root = file("media");
    const QString path = file("seed.db");
    ASSERT_TRUE(SeedLibrary::write(path, root));
    EXPECT_FALSE(SeedLibrary::write(path, root)) << "never writes over an existing file";

    Database db;
    ASSERT_TRUE(db.open(path));
    ASSERT_TRUE(db.ensureSchema());
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM items"), SeedLibrary::itemCount);
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM items WHERE kind='audio'"), SeedLibrary::audioCount);
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM items WHERE kind='video'"), SeedLibrary::videoCount);
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM items WHERE available=0"), SeedLibrary::unavailableCount);
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM search"), SeedLibrary::itemCount);
    EXPECT_EQ(scalar(db, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM pragma_foreign_key_check"), 0);

    // Diacritics fold in the index: "cafe" finds "Café Noir" and nothing else.
    Statement match = db.prepare("SELECT rowid FROM search WHERE search MATCH '\"cafe\"*'");
    ASSERT_TRUE(match.next());
    const qint64 id = match.columnInt64(0);
    EXPECT_FALSE(match.next());
    Statement title = db.prepare("SELECT title, rating, play_count FROM items WHERE id = ?1");
    title.bindInt64(1, id);
    ASSERT_TRUE(title.next());
    EXPECT_EQ(title.columnText(0), "Café Noir");
    EXPECT_EQ(title.columnInt64(1), 80);
    EXPECT_EQ(title.columnInt64(2), 7);

    // The view's user values, album artists, seasonless episodes and the playlist's outside entry.
    EXPECT_EQ(scalar(db, "SELECT title FROM items WHERE uri LIKE '%track05.mp3'"), "Evening Tide");
    EXPECT_EQ(scalar(db, "SELECT DISTINCT album_artist FROM items WHERE album='Summer Mix'"), "Various Artists");
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM items WHERE show='Kitchen Diaries' AND season IS NULL"), 3);
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM playlist_items WHERE uri NOT IN (SELECT uri FROM sources)"), 1);
    EXPECT_EQ(scalar(db, "SELECT uri FROM items WHERE title='Aurora'"),
        SeedLibrary::uri(root, "Music/The Lanterns/Northern Lights/CD1/01 Aurora.flac"));
    EXPECT_EQ(count(db, "SELECT COUNT(*) FROM search WHERE search MATCH 'tags:favourite'"), 2);
}

#include "LibraryDatabaseTest.moc"
