// The cost of checking a backup's copy before it is kept, against the online copy itself.
//
//     kvr_bench_library_backup [rounds]
//
// Builds once, in a temporary folder, a synthetic library of 100,000 items through the real schema (one in
// ten a video, 3,000 artists, 10,000 albums, 40 genres, the search rows made as the scanner makes them, a
// tenth of the items played and rated), then runs, interleaved (copy, check, copy, check, ...), the online
// copy a backup makes (Database::backupTo into a fresh file) and the check every copy now passes
// (checkLibraryFile: integrity_check and the schema version, on a connection of its own). Prints:
//   library_file_mb        the size of the library file;
//   backup_copy_ms         median of the online copies;
//   backup_check_ms        median of the checks of those copies;
//   backup_check_ratio     the check over the copy.
#include "ui/library/Database.h"
#include "ui/library/LibraryBackups.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using kvr::ui::library::Database;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

bool buildLibrary(const QString& path)
{
    Database db;
    if (!db.open(path) || !db.ensureSchema())
        return false;
    return db.exec(R"sql(BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)
INSERT INTO artists(name) SELECT 'Artist ' || i || ' ' || hex(randomblob(3)) FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40)
INSERT INTO genres(name) SELECT 'Genre ' || i FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000)
INSERT INTO albums(title, primary_artist_id, year) SELECT 'Album ' || i || ' ' || hex(randomblob(4)), 1 + i % 3000,
  1960 + i % 60 FROM n;
INSERT INTO library_folders(path) VALUES('/home/user/Music'), ('/home/user/Videos');
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000)
INSERT INTO sources(uri, folder_id, content_hash, size_bytes, mtime, kind, duration_us, format, primary_codec,
  audio_codec, bitrate, sample_rate, channels, width, height, fps, cover_key, available, date_added, date_modified,
  last_scanned, extra_json)
SELECT CASE WHEN i % 10 = 0 THEN '/home/user/Videos/Show ' || (i % 300) || '/Episode ' || i || '.mkv'
            ELSE '/home/user/Music/Artist ' || (i % 3000) || '/Album ' || (i % 10000) || '/' || printf('%02d', i % 14)
                 || ' Track ' || i || '.flac' END,
  1 + (i % 10 = 0), (4000000 + i) || '-' || lower(hex(randomblob(8))), 4000000 + i * 37, 1700000000 + i,
  CASE WHEN i % 10 = 0 THEN 'video' ELSE 'audio' END, 180000000 + i * 1000,
  CASE WHEN i % 10 = 0 THEN 'matroska,webm' ELSE 'flac' END, CASE WHEN i % 10 = 0 THEN 'h264' ELSE 'flac' END,
  CASE WHEN i % 10 = 0 THEN 'aac' ELSE 'flac' END, 900000, 44100, 2, (i % 10 = 0) * 1920, (i % 10 = 0) * 1080,
  (i % 10 = 0) * 23.976, 'e' || (4000000 + i) || '-' || lower(hex(randomblob(8))), 1, 1700000000 + i,
  1700000000 + i, 1700000000 + i,
  '{"encoder":"Lavf59.27.100","replaygain_track_peak":"0.98' || (i % 100) || '","musicbrainz_trackid":"'
    || lower(hex(randomblob(16))) || '"}'
FROM n;
INSERT INTO tracks(source_id, title, artist_id, album_artist_id, album_id, track_number, disc_number, year,
  genre_id, composer, rg_track, rg_album)
SELECT id, 'Track ' || id || ' ' || hex(randomblob(5)), 1 + id % 3000, 1 + id % 3000, 1 + id % 10000, id % 14,
  1, 1960 + id % 60, 1 + id % 40, CASE WHEN id % 7 = 0 THEN 'Composer ' || (id % 500) END, -6.5, -7.1
FROM sources WHERE kind = 'audio';
INSERT INTO track_artists(track_source_id, artist_id, role) SELECT source_id, artist_id, 'performer' FROM tracks;
INSERT INTO videos(source_id, title, year, season, episode, category, genre_id)
SELECT id, 'Episode ' || id, 2000 + id % 20, 1 + id % 5, 1 + id % 20, 'episode', 1 + id % 40
FROM sources WHERE kind = 'video';
INSERT INTO play_stats(source_id, play_count, last_played, total_play_time_us)
SELECT id, 1 + id % 30, 1700000000 + id, id * 1000000 FROM sources WHERE id % 10 = 3;
INSERT INTO source_ratings(source_id, rating) SELECT id, 20 * (1 + id % 5) FROM sources WHERE id % 10 = 7;
INSERT INTO search(rowid, title, artist, album, composer, genre, tags, comment, path)
SELECT i.id, i.title, IFNULL(i.artist,'') || ' ' || IFNULL(i.album_artist,'') || ' ' || IFNULL(i.show,''),
  i.album, i.composer, i.genre, NULL, i.comment, i.uri FROM items i;
COMMIT;)sql");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString libraryPath = dir.filePath(QStringLiteral("library.db"));
    const QString copyPath = dir.filePath(QStringLiteral("tmp-backup.db"));
    if (!buildLibrary(libraryPath)) {
        std::fprintf(stderr, "cannot build the library\n");
        return 1;
    }
    Database db;
    if (!db.open(libraryPath) || !db.ensureSchema())
        return 1;
    std::printf("library_file_mb: %.1f MB\n", double(QFileInfo(libraryPath).size()) / (1024.0 * 1024.0));

    std::vector<double> copies;
    std::vector<double> checks;
    for (int round = 0; round < rounds; ++round) {
        QFile::remove(copyPath);
        auto start = Clock::now();
        if (!db.backupTo(copyPath)) {
            std::fprintf(stderr, "the online copy failed\n");
            return 1;
        }
        copies.push_back(msSince(start));
        start = Clock::now();
        QString why;
        if (!kvr::ui::library::checkLibraryFile(copyPath, &why)) {
            std::fprintf(stderr, "the copy failed its check: %s\n", qPrintable(why));
            return 1;
        }
        checks.push_back(msSince(start));
    }
    const double copy = median(copies);
    const double check = median(checks);
    std::printf("backup_copy_ms: %.0f ms\n", copy);
    std::printf("backup_check_ms: %.0f ms\n", check);
    std::printf("backup_check_ratio: %.2f\n", copy > 0 ? check / copy : 0.0);
    return 0;
}
