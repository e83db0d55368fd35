#include "ui/library/Database.h"

#include <QDebug>

#include <sqlite3.h>

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

} // namespace

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
    // The journal mode lives in the file's header: a file of a newer version, which ensureSchema refuses,
    // keeps the mode it has, so that refusing it leaves every byte as it was.
    if (storedVersion() <= schemaVersion)
        exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    exec("PRAGMA foreign_keys=ON");
    exec("PRAGMA temp_store=MEMORY");
    return true;
}

bool Database::ensureSchema()
{
    // Read before anything is written, so that a refused file is never touched.
    const int version = storedVersion();
    if (version > schemaVersion)
        return false;
    if (version < schemaVersion
        && !(exec("CREATE TABLE IF NOT EXISTS library_meta(key TEXT PRIMARY KEY, value TEXT)") && exec(schemaScript)))
        return false;
    // A file these indexes cannot be added to (a table gone, the disk full) still opens: they only save time.
    exec(indexScript);
    return true;
}

int Database::storedVersion()
{
    if (!db_)
        return 0;
    // Asked of the catalogue first: a new file has no library_meta, and preparing a read of it would log.
    {
        Statement table = prepare("SELECT 1 FROM sqlite_master WHERE type='table' AND name='library_meta'");
        if (!table.next())
            return 0;
    }
    Statement read = prepare("SELECT value FROM library_meta WHERE key='schema_version'");
    if (!read.next())
        return 0;
    bool ok = false;
    const int version = read.columnText(0).toInt(&ok, 10);
    return ok ? version : 0;
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
        qWarning().noquote() << "library: prepare failed:" << sqlite3_errmsg(db_) << "in" << sql;
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
