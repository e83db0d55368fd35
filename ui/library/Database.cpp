#include "ui/library/Database.h"

#include <QDebug>

#include <sqlite3.h>

#include <optional>
#include <utility>

namespace kvr::ui::library {

namespace {

// Version 1 of the library file. Every object is created only when missing, so running the script over an
// existing file adds what is absent and leaves the rest (and its rows) alone.
constexpr const char* schemaScript = R"sql(BEGIN;
CREATE TABLE IF NOT EXISTS sources(
  id INTEGER PRIMARY KEY,
  library_id INTEGER NOT NULL DEFAULT 1,
  uri TEXT NOT NULL UNIQUE,
  folder_id INTEGER,
  content_hash TEXT,
  size_bytes INTEGER,
  mtime INTEGER,
  kind TEXT,
  duration_us INTEGER,
  format TEXT,
  primary_codec TEXT,
  audio_codec TEXT,
  bitrate INTEGER,
  sample_rate INTEGER,
  channels INTEGER,
  width INTEGER,
  height INTEGER,
  fps REAL,
  cover_key TEXT,
  low_confidence INTEGER DEFAULT 0,
  available INTEGER DEFAULT 1,
  date_added INTEGER,
  date_modified INTEGER,
  last_scanned INTEGER,
  extra_json TEXT,
  u_title TEXT,
  u_artist TEXT,
  u_album TEXT,
  u_album_artist TEXT,
  u_year INTEGER,
  u_genre TEXT,
  u_track INTEGER,
  u_composer TEXT,
  u_category TEXT,
  u_show TEXT,
  u_season INTEGER,
  u_episode INTEGER
);
CREATE INDEX IF NOT EXISTS idx_sources_hash ON sources(content_hash);
CREATE INDEX IF NOT EXISTS idx_sources_added ON sources(date_added);
CREATE INDEX IF NOT EXISTS idx_sources_kind ON sources(kind, available);
CREATE INDEX IF NOT EXISTS idx_sources_folder ON sources(folder_id);
CREATE TABLE IF NOT EXISTS artists(
  id INTEGER PRIMARY KEY,
  library_id INTEGER DEFAULT 1,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE,
  sort_name TEXT
);
CREATE TABLE IF NOT EXISTS albums(
  id INTEGER PRIMARY KEY,
  library_id INTEGER DEFAULT 1,
  title TEXT NOT NULL,
  primary_artist_id INTEGER,
  year INTEGER,
  cover_key TEXT,
  UNIQUE(title, primary_artist_id)
);
CREATE TABLE IF NOT EXISTS genres(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE
);
CREATE TABLE IF NOT EXISTS shows(
  id INTEGER PRIMARY KEY,
  title TEXT NOT NULL UNIQUE COLLATE NOCASE,
  year INTEGER
);
CREATE TABLE IF NOT EXISTS tracks(
  source_id INTEGER PRIMARY KEY REFERENCES sources(id) ON DELETE CASCADE,
  title TEXT,
  artist_id INTEGER,
  album_artist_id INTEGER,
  album_id INTEGER,
  track_number INTEGER,
  disc_number INTEGER,
  track_total INTEGER,
  disc_total INTEGER,
  year INTEGER,
  genre_id INTEGER,
  composer TEXT,
  comment TEXT,
  lyrics TEXT,
  bpm INTEGER,
  compilation INTEGER,
  rg_track REAL,
  rg_album REAL
);
CREATE INDEX IF NOT EXISTS idx_tracks_album ON tracks(album_id, disc_number, track_number);
CREATE INDEX IF NOT EXISTS idx_tracks_artist ON tracks(artist_id);
CREATE INDEX IF NOT EXISTS idx_tracks_genre ON tracks(genre_id);
CREATE INDEX IF NOT EXISTS idx_tracks_year ON tracks(year);
CREATE INDEX IF NOT EXISTS idx_tracks_composer ON tracks(composer);
CREATE TABLE IF NOT EXISTS track_artists(
  track_source_id INTEGER,
  artist_id INTEGER,
  role TEXT,
  PRIMARY KEY(track_source_id, artist_id, role)
);
CREATE TABLE IF NOT EXISTS videos(
  source_id INTEGER PRIMARY KEY REFERENCES sources(id) ON DELETE CASCADE,
  title TEXT,
  year INTEGER,
  show_id INTEGER,
  season INTEGER,
  episode INTEGER,
  category TEXT,
  director TEXT,
  description TEXT,
  genre_id INTEGER
);
CREATE INDEX IF NOT EXISTS idx_videos_show ON videos(show_id, season, episode);
CREATE TABLE IF NOT EXISTS user_meta(
  source_id INTEGER,
  field TEXT,
  value TEXT,
  PRIMARY KEY(source_id, field)
);
CREATE TABLE IF NOT EXISTS source_tags(
  source_id INTEGER,
  tag TEXT COLLATE NOCASE,
  PRIMARY KEY(source_id, tag)
);
CREATE INDEX IF NOT EXISTS idx_tags_tag ON source_tags(tag);
CREATE TABLE IF NOT EXISTS source_ratings(
  source_id INTEGER PRIMARY KEY,
  rating INTEGER
);
CREATE TABLE IF NOT EXISTS play_history(
  source_id INTEGER,
  played_at INTEGER,
  duration_played_us INTEGER
);
CREATE INDEX IF NOT EXISTS idx_history ON play_history(source_id, played_at);
CREATE TABLE IF NOT EXISTS play_stats(
  source_id INTEGER PRIMARY KEY,
  play_count INTEGER DEFAULT 0,
  last_played INTEGER,
  total_play_time_us INTEGER DEFAULT 0
);
CREATE INDEX IF NOT EXISTS idx_stats_last ON play_stats(last_played);
CREATE INDEX IF NOT EXISTS idx_stats_count ON play_stats(play_count);
CREATE TABLE IF NOT EXISTS library_folders(
  id INTEGER PRIMARY KEY,
  library_id INTEGER DEFAULT 1,
  path TEXT NOT NULL UNIQUE,
  enabled INTEGER DEFAULT 1,
  last_full_scan INTEGER
);
CREATE TABLE IF NOT EXISTS excluded_folders(
  path TEXT PRIMARY KEY
);
CREATE TABLE IF NOT EXISTS playlists(
  id INTEGER PRIMARY KEY,
  library_id INTEGER DEFAULT 1,
  name TEXT NOT NULL,
  created INTEGER,
  modified INTEGER,
  last_played INTEGER,
  deleted_at INTEGER
);
CREATE TABLE IF NOT EXISTS playlist_items(
  playlist_id INTEGER REFERENCES playlists(id) ON DELETE CASCADE,
  position INTEGER,
  uri TEXT NOT NULL,
  source_id INTEGER,
  PRIMARY KEY(playlist_id, position)
);
CREATE VIRTUAL TABLE IF NOT EXISTS search USING fts5(
  title, artist, album, composer, genre, tags, comment, path,
  tokenize = 'unicode61 remove_diacritics 2'
);
CREATE VIEW IF NOT EXISTS items AS SELECT
  s.id, s.uri, s.kind, s.available, s.duration_us, s.format, s.primary_codec, s.audio_codec, s.bitrate,
  s.sample_rate, s.channels, s.width, s.height, s.fps, s.date_added, s.folder_id, s.low_confidence,
  s.size_bytes,
  COALESCE(s.cover_key, al.cover_key) AS cover_key,
  COALESCE(s.u_title, t.title, v.title) AS title,
  COALESCE(s.u_artist, ar.name) AS artist,
  COALESCE(s.u_album_artist, aa.name, s.u_artist, ar.name) AS album_artist,
  COALESCE(s.u_album, al.title) AS album,
  COALESCE(s.u_year, t.year, v.year) AS year,
  COALESCE(s.u_genre, g.name) AS genre,
  COALESCE(s.u_composer, t.composer) AS composer,
  COALESCE(s.u_track, t.track_number) AS track_number,
  t.disc_number AS disc_number,
  COALESCE(s.u_show, sh.title) AS show,
  COALESCE(s.u_season, v.season) AS season,
  COALESCE(s.u_episode, v.episode) AS episode,
  COALESCE(s.u_category, v.category) AS category,
  t.comment AS comment,
  COALESCE(ps.play_count, 0) AS play_count,
  ps.last_played AS last_played,
  COALESCE(r.rating, 0) AS rating
FROM sources s
LEFT JOIN tracks t ON t.source_id = s.id
LEFT JOIN videos v ON v.source_id = s.id
LEFT JOIN artists ar ON ar.id = t.artist_id
LEFT JOIN albums al ON al.id = t.album_id
LEFT JOIN artists aa ON aa.id = al.primary_artist_id
LEFT JOIN genres g ON g.id = COALESCE(t.genre_id, v.genre_id)
LEFT JOIN shows sh ON sh.id = v.show_id
LEFT JOIN play_stats ps ON ps.source_id = s.id
LEFT JOIN source_ratings r ON r.source_id = s.id;
INSERT OR REPLACE INTO library_meta(key, value) VALUES('schema_version', '1');
COMMIT;
)sql";

// Indexes that only make reads cheaper. Created at every open of a current file, not only by the script
// above, so that files made before they existed get them too; the version stays, since a higher one would
// make older builds refuse the file. The condition of idx_sources_edited is the library's "edited" test
// (Library.cpp), word for word: SQLite uses a partial index only for that exact condition.
constexpr const char* indexScript = R"sql(
CREATE INDEX IF NOT EXISTS idx_sources_edited ON sources(id) WHERE u_artist IS NOT NULL OR u_album IS NOT NULL
  OR u_album_artist IS NOT NULL OR u_year IS NOT NULL OR u_genre IS NOT NULL OR u_composer IS NOT NULL
  OR u_category IS NOT NULL OR u_show IS NOT NULL;
CREATE INDEX IF NOT EXISTS idx_sources_missing ON sources(id) WHERE available = 0;
CREATE INDEX IF NOT EXISTS idx_videos_genre ON videos(genre_id);
)sql";

// The view's effective values that lists filter, sort and group by, stored beside each source: the view
// works them out through nine joins for every row, so no index can serve a sort or a group over them. The
// columns are added to files of version 1 as they are opened (older builds read past them), and triggers keep
// them in step with every write, whoever makes it: the scanner, edits, plays, a build that knows nothing of
// them. Each key is the view's own column, so a stored value is exactly what the view would give.
constexpr const char* sortKeyColumns[]
    = { "cover_key", "title", "artist", "album_artist", "album", "year", "genre", "composer", "track_number",
          "disc_number", "show", "season", "episode", "category", "play_count", "last_played", "rating" };

QString keyList(const char* prefix)
{
    QStringList names;
    for (const char* column : sortKeyColumns)
        names << QLatin1String(prefix) + QLatin1String(column);
    return names.join(QStringLiteral(", "));
}

// Works the keys out again for the sources that %1 (a condition on "id") selects.
QString recomputeKeys(const QString& condition)
{
    return QStringLiteral("UPDATE sources SET (%1) = (SELECT %2 FROM items i WHERE i.id = sources.id) WHERE %3;")
        .arg(keyList("sk_"), keyList("i."), condition);
}

// What moves a key: the source's own row (its user values and cover), its tracks or videos row, its plays and
// rating, and the names its rows point to. No type on the columns: they keep the storage class the view gives.
QString sortKeyTriggers()
{
    QString sql;
    const auto trigger = [&sql](const QString& name, const QString& when, const QString& body) {
        sql += QStringLiteral("CREATE TRIGGER IF NOT EXISTS %1 %2 BEGIN %3 END;\n").arg(name, when, body);
    };
    struct Source {
        const char* table;
        // The sources a row of the table bears on, %1 being NEW or OLD.
        const char* ids;
    };
    // Rows of one source each: an update works that source out once (twice only if it moved to another).
    for (const char* table : { "tracks", "videos", "play_stats", "source_ratings" }) {
        const QString name = QLatin1String(table);
        trigger(QStringLiteral("sk_%1_insert").arg(name), QStringLiteral("AFTER INSERT ON ") + name,
            recomputeKeys(QStringLiteral("id = NEW.source_id")));
        trigger(QStringLiteral("sk_%1_delete").arg(name), QStringLiteral("AFTER DELETE ON ") + name,
            recomputeKeys(QStringLiteral("id = OLD.source_id")));
        trigger(QStringLiteral("sk_%1_update").arg(name), QStringLiteral("AFTER UPDATE ON ") + name,
            recomputeKeys(QStringLiteral("id IN (OLD.source_id, NEW.source_id)")));
    }
    const Source sources[] = {
        { "artists",
            "id IN (SELECT source_id FROM tracks WHERE artist_id = %1.id UNION SELECT t.source_id FROM albums al JOIN "
            "tracks t ON t.album_id = al.id WHERE al.primary_artist_id = %1.id)" },
        { "albums", "id IN (SELECT source_id FROM tracks WHERE album_id = %1.id)" },
        { "genres",
            "id IN (SELECT source_id FROM tracks WHERE genre_id = %1.id UNION SELECT source_id FROM videos WHERE "
            "genre_id = %1.id)" },
        { "shows", "id IN (SELECT source_id FROM videos WHERE show_id = %1.id)" },
    };
    trigger(QStringLiteral("sk_sources_insert"), QStringLiteral("AFTER INSERT ON sources"),
        recomputeKeys(QStringLiteral("id = NEW.id")));
    // Only when a value moved: the scanner rewrites every column of a file it reads, the cover too.
    QStringList moved;
    for (const char* column : { "cover_key", "u_title", "u_artist", "u_album", "u_album_artist", "u_year", "u_genre",
             "u_track", "u_composer", "u_category", "u_show", "u_season", "u_episode" })
        moved << QStringLiteral("OLD.%1 IS NOT NEW.%1").arg(QLatin1String(column));
    trigger(QStringLiteral("sk_sources_update"),
        QStringLiteral("AFTER UPDATE ON sources WHEN %1").arg(moved.join(QStringLiteral(" OR "))),
        recomputeKeys(QStringLiteral("id = NEW.id")));
    for (const Source& source : sources) {
        const QString table = QLatin1String(source.table);
        const QString ids = QLatin1String(source.ids);
        trigger(QStringLiteral("sk_%1_insert").arg(table), QStringLiteral("AFTER INSERT ON ") + table,
            recomputeKeys(ids.arg(QLatin1String("NEW"))));
        trigger(QStringLiteral("sk_%1_delete").arg(table), QStringLiteral("AFTER DELETE ON ") + table,
            recomputeKeys(ids.arg(QLatin1String("OLD"))));
        trigger(QStringLiteral("sk_%1_update").arg(table), QStringLiteral("AFTER UPDATE ON ") + table,
            recomputeKeys(ids.arg(QLatin1String("OLD"))) + recomputeKeys(ids.arg(QLatin1String("NEW"))));
    }
    return sql;
}

// The indexes over the keys: each serves one list's filter and order (the row id last breaks ties), or, for
// the groups and counts, covers every column they read. None begins with available alone: without statistics
// SQLite would take that two-valued column for a selective one and read whole lists through it. Indexes of
// the smaller lists hold only their rows (the conditions are the lists' own, word for word), so that a new
// file, written with a commit of its own, touches as few index pages as it can.
// The last five serve the library's counts (Library.cpp), which name them: being made in the transaction that
// sets up the keys, they exist whenever the keys do. The last two repeat indexes of the scripts above word for
// word, for that reason only.
constexpr const char* sortKeyIndexes = R"sql(
CREATE INDEX IF NOT EXISTS idx_sk_tracks ON sources(kind, available, sk_artist COLLATE NOCASE,
  sk_album COLLATE NOCASE, sk_disc_number, sk_track_number, sk_title COLLATE NOCASE);
CREATE INDEX IF NOT EXISTS idx_sk_title ON sources(kind, sk_title COLLATE NOCASE, available);
CREATE INDEX IF NOT EXISTS idx_sk_album ON sources(sk_album COLLATE NOCASE, sk_album_artist COLLATE NOCASE);
CREATE INDEX IF NOT EXISTS idx_sk_category ON sources(sk_category, available, sk_title COLLATE NOCASE)
  WHERE sk_category IS NOT NULL;
CREATE INDEX IF NOT EXISTS idx_sk_played ON sources(sk_last_played) WHERE sk_last_played IS NOT NULL;
CREATE INDEX IF NOT EXISTS idx_sk_plays ON sources(sk_play_count) WHERE sk_play_count > 0;
CREATE INDEX IF NOT EXISTS idx_sk_rating ON sources(sk_rating) WHERE sk_rating > 0;
CREATE INDEX IF NOT EXISTS idx_sk_artists ON sources(kind, available, sk_artist, sk_cover_key, duration_us);
CREATE INDEX IF NOT EXISTS idx_sk_albums ON sources(kind, available, sk_album, sk_album_artist, sk_year,
  sk_cover_key, duration_us);
CREATE INDEX IF NOT EXISTS idx_sk_genres ON sources(sk_genre, available, sk_cover_key, duration_us);
CREATE INDEX IF NOT EXISTS idx_sk_years ON sources(kind, available, sk_year, sk_cover_key, duration_us);
CREATE INDEX IF NOT EXISTS idx_sk_composers ON sources(sk_composer, available, sk_cover_key, duration_us)
  WHERE sk_composer IS NOT NULL AND sk_composer <> '';
CREATE INDEX IF NOT EXISTS idx_albums_artist ON albums(primary_artist_id);
CREATE INDEX IF NOT EXISTS idx_sk_shows ON sources(sk_category, available, sk_show) WHERE sk_category IS NOT NULL;
CREATE INDEX IF NOT EXISTS idx_sk_marked ON sources(available, sk_rating, sk_play_count, sk_last_played)
  WHERE sk_rating > 0 OR sk_play_count > 0 OR sk_last_played IS NOT NULL;
CREATE INDEX IF NOT EXISTS idx_sources_recent ON sources(date_added, available);
CREATE INDEX IF NOT EXISTS idx_sources_kind ON sources(kind, available);
CREATE INDEX IF NOT EXISTS idx_sources_missing ON sources(id) WHERE available = 0;
)sql";

} // namespace

QString Database::keyedItems()
{
    static const QString relation = [] {
        QStringList columns { QStringLiteral("id, uri, kind, available, duration_us, format, primary_codec, "
                                             "audio_codec, bitrate, sample_rate, channels, width, height, fps, "
                                             "date_added, folder_id, low_confidence, size_bytes") };
        for (const char* column : sortKeyColumns)
            columns << QStringLiteral("sk_%1 AS %1").arg(QLatin1String(column));
        return QStringLiteral("(SELECT %1 FROM sources)").arg(columns.join(QStringLiteral(", ")));
    }();
    return relation;
}

bool Database::addSortKeys()
{
    sortKeys_ = false;
    // Added and filled in one transaction with the triggers that keep them, so a file that has the columns
    // has them right.
    Statement probe = prepareQuiet("SELECT sk_rating FROM sources LIMIT 0");
    const bool present = probe.isValid();
    probe.finalize();
    QString sql = QStringLiteral("BEGIN IMMEDIATE;\n");
    if (!present) {
        for (const char* column : sortKeyColumns)
            sql += QStringLiteral("ALTER TABLE sources ADD COLUMN sk_%1;\n").arg(QLatin1String(column));
        sql += recomputeKeys(QStringLiteral("1")) + QLatin1Char('\n');
    }
    sql += sortKeyTriggers() + QLatin1String(sortKeyIndexes) + QStringLiteral("COMMIT;");
    if (!exec(sql.toUtf8().constData())) {
        exec("ROLLBACK");
        return false;
    }
    sortKeys_ = true;
    return true;
}

Database::~Database()
{
    close();
}

bool Database::open(const QString& path)
{
    close();
    const QByteArray file = path.toUtf8();
    const int rc = sqlite3_open_v2(
        file.constData(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        qWarning() << "library: cannot open" << path << (db_ ? sqlite3_errmsg(db_) : "");
        close();
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    // The journal mode lives in the file's header: a file of a newer version or one that cannot be read,
    // which ensureSchema refuses, keeps the mode it has, so that refusing it leaves every byte as it was.
    const std::optional<int> stored = storedVersion();
    if (stored && *stored <= schemaVersion)
        exec("PRAGMA journal_mode=WAL");
    // Reads the schema: on a file that cannot be read it would only fail again, and log it.
    if (stored)
        exec("PRAGMA synchronous=NORMAL");
    exec("PRAGMA foreign_keys=ON");
    exec("PRAGMA temp_store=MEMORY");
    return true;
}

bool Database::ensureSchema()
{
    refusal_ = Refusal::None;
    if (!db_)
        return false;
    // Read before anything is written, so that a refused file is never touched. A file that cannot be read is
    // neither new nor newer: the schema script would write into it.
    const std::optional<int> version = storedVersion();
    if (!version) {
        refusal_ = diagnose();
        return false;
    }
    if (*version > schemaVersion) {
        refusal_ = Refusal::Newer;
        return false;
    }
    // A file the read indexes cannot be added to (the disk full) still opens: they only save time.
    if (*version == schemaVersion) {
        exec(indexScript);
        addSortKeys();
        return true;
    }
    if (exec("CREATE TABLE IF NOT EXISTS library_meta(key TEXT PRIMARY KEY, value TEXT)") && exec(schemaScript)) {
        exec(indexScript);
        addSortKeys();
        return true;
    }
    refusal_ = diagnose();
    return false;
}

std::optional<int> Database::storedVersion()
{
    if (!db_)
        return 0;
    // Raw calls: a failed read is an answer here (the file cannot be read), not a statement to log and skip.
    // The catalogue is asked first, as a new file has no library_meta.
    const auto firstText = [this](const char* sql) -> std::optional<QString> {
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
        QString text;
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(statement);
            if (rc == SQLITE_ROW) {
                const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
                text = QString::fromUtf8(bytes, sqlite3_column_bytes(statement, 0));
            }
        }
        sqlite3_finalize(statement);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return std::nullopt;
        return rc == SQLITE_ROW ? text : QString();
    };
    const std::optional<QString> table
        = firstText("SELECT 'yes' FROM sqlite_master WHERE type='table' AND name='library_meta'");
    if (!table)
        return std::nullopt;
    if (table->isEmpty())
        return 0;
    const std::optional<QString> value = firstText("SELECT value FROM library_meta WHERE key='schema_version'");
    if (!value)
        return std::nullopt;
    bool ok = false;
    const int version = value->toInt(&ok, 10);
    return ok ? version : 0;
}

Database::Refusal Database::diagnose()
{
    const QByteArray failure = sqlite3_errmsg(db_);
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db_, "PRAGMA quick_check", -1, &statement, nullptr);
    QString verdict;
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW)
            verdict = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    const QByteArray checkError = sqlite3_errmsg(db_);
    sqlite3_finalize(statement);
    const int primary = rc & 0xff;
    const bool damaged
        = (rc == SQLITE_ROW && verdict != QLatin1String("ok")) || primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
    const QString file = QString::fromUtf8(sqlite3_db_filename(db_, "main"));
    if (damaged) {
        qWarning().noquote() << QStringLiteral("library: %1 is damaged: %2; quick_check: %3")
                                    .arg(file, QString::fromUtf8(failure),
                                        rc == SQLITE_ROW ? verdict.left(200) : QString::fromUtf8(checkError));
        return Refusal::Damaged;
    }
    qWarning().noquote() << QStringLiteral("library: cannot read %1: %2").arg(file, QString::fromUtf8(failure));
    return Refusal::Unreadable;
}

bool Database::exec(const char* sql)
{
    if (!db_)
        return false;
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
    if (rc == SQLITE_OK)
        return true;
    qWarning().noquote() << "library: exec failed:" << (error ? error : "") << "in" << QByteArray(sql).left(200);
    sqlite3_free(error);
    return false;
}

Statement Database::prepare(const char* sql)
{
    if (!db_)
        return Statement();
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        // The first 200 bytes, as exec logs them: a long search's SQL would fill the log.
        qWarning().noquote() << "library: prepare failed:" << sqlite3_errmsg(db_) << "in" << QByteArray(sql).left(200);
        sqlite3_finalize(stmt);
        return Statement();
    }
    return Statement(stmt);
}

Statement Database::prepareQuiet(const char* sql)
{
    sqlite3_stmt* stmt = nullptr;
    if (!db_ || sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return Statement();
    }
    return Statement(stmt);
}

Statement Database::prepare(const QString& sql)
{
    return prepare(sql.toUtf8().constData());
}

qint64 Database::lastInsertId() const
{
    return db_ ? sqlite3_last_insert_rowid(db_) : 0;
}

bool Database::backupTo(const QString& targetPath)
{
    if (!db_)
        return false;
    sqlite3* target = nullptr;
    if (sqlite3_open(targetPath.toUtf8().constData(), &target) != SQLITE_OK) {
        sqlite3_close(target);
        return false;
    }
    bool done = false;
    if (sqlite3_backup* backup = sqlite3_backup_init(target, "main", db_, "main")) {
        done = sqlite3_backup_step(backup, -1) == SQLITE_DONE;
        sqlite3_backup_finish(backup);
    }
    sqlite3_close(target);
    return done;
}

void Database::close()
{
    if (db_)
        sqlite3_close_v2(std::exchange(db_, nullptr));
}

} // namespace kvr::ui::library
