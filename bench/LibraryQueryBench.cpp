// The cost of the library browser's queries on a large library, against the same queries on raw SQLite.
//
//     kvr_bench_library_query
//
// Builds once, in a temporary data folder, a synthetic library of 100,000 items through the real schema (one
// in ten a video, 3,000 artists, their albums, 40 genres, tags, plays and ratings; the search rows made the
// way the scanner makes them), then prints, all measured in this run, each figure the first read after a
// change of the content (a rating set through the library, untimed), so that nothing is served from what an
// earlier read kept:
//   library_search_p95 / raw_search_p95  200 search texts (or KVR_BENCH_SEARCHES) through queryPage, first page with
//   its total; and
//                                        their same-shape anchor on the raw FTS5 table: the same MATCH value,
//                                        its count, sorted by the index's title, the first 200 rows read;
//                                        library_search_ratio the first over the second (interleaved, A B A B);
//   library_search_pasted_ms             a pasted text of 1,700 words (cut by the library);
//   library_page_first_<view>            the first page of each view with its total (median of 5);
//   library_page_100th_tracks            the 100th page of 200 rows of the Songs view after its first page;
//   library_counts_ms                    the counts getter (median of 5);
//   library_playlist_500_ms              a 500-entry playlist view.
#include "ui/library/Database.h"
#include "ui/library/Library.h"
#include "ui/library/Statement.h"
#include "ui/library/Transaction.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

using kvr::ui::library::Database;
using kvr::ui::library::Library;
using kvr::ui::library::Statement;
using kvr::ui::library::Transaction;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int itemCount = 100000;
constexpr int artistCount = 3000;
constexpr int genreCount = 40;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

// A vocabulary of made-up words, the first ones common in titles, the last ones rare.
QStringList vocabulary()
{
    const char* onsets[] = { "b", "d", "f", "g", "k", "l", "m", "n", "p", "r", "s", "t", "v", "br", "st", "tr" };
    const char* vowels[] = { "a", "e", "i", "o", "u", "ai", "ou" };
    const char* codas[] = { "n", "r", "l", "s", "", "m", "th" };
    QStringList words;
    for (const char* o : onsets)
        for (const char* v : vowels)
            for (const char* c : codas)
                words << QString::fromLatin1(o) + QString::fromLatin1(v) + QString::fromLatin1(c);
    std::shuffle(words.begin(), words.end(), std::mt19937(7));
    return words;
}

bool buildLibrary(const QString& path, const QStringList& words)
{
    Database db;
    if (!db.open(path) || !db.ensureSchema())
        return false;
    std::mt19937 rng(42);
    // Skewed word choice: a few words are everywhere, most are rare.
    std::geometric_distribution<int> wordPick(0.02);
    const auto word = [&] { return words[std::min(int(words.size()) - 1, wordPick(rng))]; };
    const auto pick = [&](int n) { return int(rng() % unsigned(n)); };

    Transaction tx(db);
    tx.exec("INSERT INTO library_folders(id, path, last_full_scan) VALUES(1, '/bench', strftime('%s','now'))");
    tx.exec("INSERT OR REPLACE INTO library_meta(key, value) VALUES('scan_pending', '0')");
    Statement artist = db.prepare("INSERT INTO artists(id, name) VALUES(?1, ?2)");
    for (int i = 1; i <= artistCount; ++i) {
        artist.reset();
        artist.bindInt64(1, i).bindText(2, QStringLiteral("%1 %2 %3").arg(word(), word()).arg(i));
        tx.run(artist);
    }
    Statement album = db.prepare("INSERT INTO albums(id, title, primary_artist_id, year) VALUES(?1, ?2, ?3, ?4)");
    const int albumCount = artistCount * 3;
    for (int i = 1; i <= albumCount; ++i) {
        album.reset();
        album.bindInt64(1, i)
            .bindText(2, QStringLiteral("%1 %2 %3").arg(word(), word()).arg(i))
            .bindInt64(3, (i - 1) / 3 + 1)
            .bindInt64(4, 1960 + pick(64));
        tx.run(album);
    }
    Statement genre = db.prepare("INSERT INTO genres(id, name) VALUES(?1, ?2)");
    for (int i = 1; i <= genreCount; ++i) {
        genre.reset();
        genre.bindInt64(1, i).bindText(2, words[i] + QStringLiteral(" genre"));
        tx.run(genre);
    }
    Statement show = db.prepare("INSERT INTO shows(id, title) VALUES(?1, ?2)");
    for (int i = 1; i <= 50; ++i) {
        show.reset();
        show.bindInt64(1, i).bindText(2, QStringLiteral("%1 show %2").arg(word()).arg(i));
        tx.run(show);
    }

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    Statement source = db.prepare(
        "INSERT INTO sources(id, uri, folder_id, kind, duration_us, primary_codec, audio_codec, bitrate, width, "
        "height, available, date_added, low_confidence) VALUES(?1, ?2, 1, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, 0)");
    Statement track
        = db.prepare("INSERT INTO tracks(source_id, title, artist_id, album_artist_id, album_id, "
                     "track_number, disc_number, year, genre_id) VALUES(?1, ?2, ?3, ?3, ?4, ?5, 1, ?6, ?7)");
    Statement video = db.prepare("INSERT INTO videos(source_id, title, year, show_id, season, episode, category, "
                                 "genre_id) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    Statement rating = db.prepare("INSERT INTO source_ratings(source_id, rating) VALUES(?1, ?2)");
    Statement stats = db.prepare(
        "INSERT INTO play_stats(source_id, play_count, last_played, total_play_time_us) VALUES(?1, ?2, ?3, 0)");
    Statement tag = db.prepare("INSERT INTO source_tags(source_id, tag) VALUES(?1, ?2)");
    const char* lossy[] = { "mp3", "aac", "opus", "vorbis" };
    for (int id = 1; id <= itemCount; ++id) {
        const bool isVideo = id % 10 == 0;
        const QString title = QStringLiteral("%1 %2").arg(word(), word());
        const int albumId = pick(albumCount) + 1;
        const int artistId = (albumId - 1) / 3 + 1;
        const QString codec = isVideo ? QStringLiteral("h264")
            : pick(4) == 0            ? QStringLiteral("flac")
                                      : QString::fromLatin1(lossy[pick(4)]);
        source.reset();
        source.bindInt64(1, id)
            .bindText(2,
                isVideo ? QStringLiteral("/bench/Videos/%1/%2 %3.mkv").arg(pick(200)).arg(title).arg(id)
                        : QStringLiteral("/bench/Music/%1/%2/%3 %4.%5")
                              .arg(artistId)
                              .arg(albumId)
                              .arg(title)
                              .arg(id)
                              .arg(codec))
            .bindText(3, isVideo ? "video" : "audio")
            .bindInt64(4, qint64(60 + pick(400)) * 1000000)
            .bindText(5, codec)
            .bindText(6, isVideo ? QStringLiteral("aac") : codec)
            .bindInt64(7, isVideo ? 4000000 : 128000 + pick(900) * 1000)
            .bindInt64(8, isVideo ? 1920 : 0)
            .bindInt64(9, isVideo ? 1080 : 0)
            .bindInt64(10, pick(200) == 0 ? 0 : 1)
            .bindInt64(11, now - qint64(pick(3 * 365)) * 86400);
        tx.run(source);
        if (isVideo) {
            const bool episode = pick(2) == 0;
            video.reset();
            video.bindInt64(1, id).bindText(2, title).bindInt64(3, 1960 + pick(64));
            if (episode)
                video.bindInt64(4, pick(50) + 1)
                    .bindInt64(5, pick(6) + 1)
                    .bindInt64(6, pick(20) + 1)
                    .bindText(7, "episode");
            else
                video.bindNull(4).bindNull(5).bindNull(6).bindText(7, "movie");
            video.bindInt64(8, pick(genreCount) + 1);
            tx.run(video);
        } else {
            track.reset();
            track.bindInt64(1, id)
                .bindText(2, title)
                .bindInt64(3, artistId)
                .bindInt64(4, albumId)
                .bindInt64(5, pick(15) + 1)
                .bindInt64(6, 1960 + pick(64))
                .bindInt64(7, pick(genreCount) + 1);
            tx.run(track);
        }
        if (pick(20) == 0) {
            rating.reset();
            rating.bindInt64(1, id).bindInt64(2, (pick(5) + 1) * 20);
            tx.run(rating);
        }
        if (pick(10) == 0) {
            stats.reset();
            stats.bindInt64(1, id).bindInt64(2, pick(50) + 1).bindInt64(3, now - pick(400 * 86400));
            tx.run(stats);
        }
        if (pick(30) == 0) {
            tag.reset();
            tag.bindInt64(1, id).bindText(2, words[pick(20)]);
            tx.run(tag);
        }
    }
    // The search rows as the scanner writes them.
    tx.exec("INSERT INTO search(rowid, title, artist, album, composer, genre, tags, comment, path) SELECT i.id, "
            "i.title, IFNULL(i.artist,'') || ' ' || IFNULL(i.album_artist,'') || ' ' || IFNULL(i.show,''), i.album, "
            "i.composer, i.genre, (SELECT group_concat(tag, ' ') FROM source_tags WHERE source_id = i.id), "
            "i.comment, i.uri FROM items i");
    // A 500-entry playlist, one entry in ten outside the library.
    tx.exec("INSERT INTO playlists(id, name, created, modified) VALUES(1, 'Bench', 0, 0)");
    Statement entry = db.prepare("INSERT INTO playlist_items(playlist_id, position, uri) VALUES(1, ?1, "
                                 "COALESCE((SELECT uri FROM sources WHERE id = ?2), '/elsewhere/' || ?2))");
    for (int i = 0; i < 500; ++i) {
        entry.reset();
        entry.bindInt64(1, i).bindInt64(2, i % 10 == 9 ? itemCount + i : qint64(pick(itemCount) + 1));
        tx.run(entry);
    }
    return tx.commit() && db.exec("ANALYZE");
}

// The texts typed in the search field: common and rare words, a prefix, a phrase and a field term.
QStringList searches(const QStringList& words, int count)
{
    QStringList out;
    std::mt19937 rng(3);
    for (int i = 0; int(out.size()) < count; ++i) {
        const QString common = words[i % 10];
        const QString rare = words[words.size() - 1 - (i % 300)];
        switch (i % 5) {
        case 0:
            out.push_back(common);
            break;
        case 1:
            out.push_back(rare);
            break;
        case 2:
            out.push_back(common.left(2) + "*");
            break;
        case 3: {
            const QString phrase = words[i % 10] + " " + words[(i / 5) % 30];
            out.push_back("\"" + phrase + "\"");
            break;
        }
        default:
            out.push_back("artist:" + words[i % 40]);
            break;
        }
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir data;
    if (!data.isValid())
        return 1;
    // The library keeps its file in the application-data folder: point that at the temporary one.
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("kvr-bench-library-query"));
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dataDir);

    const QStringList words = vocabulary();
    const Clock::time_point buildStart = Clock::now();
    // A copy of a library built by an earlier run (KVR_BENCH_LIBRARY_COPY), for profiling runs that should not
    // spend their time building it again.
    const QString copy = qEnvironmentVariable("KVR_BENCH_LIBRARY_COPY");
    if (!copy.isEmpty() && QFile::exists(copy)) {
        QFile::copy(copy, dataDir + "/library.db");
    } else if (!buildLibrary(dataDir + "/library.db", words)) {
        std::fprintf(stderr, "could not build the library\n");
        return 1;
    }
    std::printf("library_build: %.0f ms\n", msSince(buildStart));
    if (!copy.isEmpty() && !QFile::exists(copy)) {
        Database fold;
        // One file, without its log, so that a copy of it is the whole library.
        if (fold.open(dataDir + "/library.db"))
            fold.exec("PRAGMA wal_checkpoint(TRUNCATE)");
        fold.close();
        QFile::copy(dataDir + "/library.db", copy);
    }

    Library library;
    Database raw;
    raw.open(dataDir + "/library.db");
    // A change of the content between measured reads, through the library as an edit would make it: the next
    // read is the first after a change.
    int flip = 0;
    const auto change = [&] { library.setRating({ qlonglong(1) }, 1 + (flip++ % 5)); };

    // Fewer searches (KVR_BENCH_SEARCHES) for a run under a profiler.
    const int searchCount = qEnvironmentVariableIsSet("KVR_BENCH_SEARCHES")
        ? std::max(1, qEnvironmentVariableIntValue("KVR_BENCH_SEARCHES"))
        : 200;
    const QStringList cases = searches(words, searchCount);
    std::vector<double> libraryTimes;
    std::vector<double> rawTimes;
    for (const QString& text : cases) {
        change();
        int total = 0;
        Clock::time_point start = Clock::now();
        library.queryPage({ { "view", "search" }, { "search", text } }, 0, 200, &total);
        libraryTimes.push_back(msSince(start));

        // The same match, total, order and page on the full-text table alone. The library searches every word
        // as a prefix: the anchor gets the very FTS5 value the library binds.
        const Library::ClauseList where = Library::parseSearch(text);
        const QString match = where.values.value(0).toString();
        start = Clock::now();
        Statement count = raw.prepare("SELECT COUNT(*) FROM search WHERE search MATCH ?1");
        count.bindText(1, match);
        const qint64 rawTotal = count.next() ? count.columnInt64(0) : 0;
        Statement page = raw.prepare("SELECT rowid, title, artist, album, genre FROM search WHERE search MATCH ?1 "
                                     "ORDER BY title COLLATE NOCASE LIMIT 200");
        page.bindText(1, match);
        QStringList rows;
        while (page.next())
            rows << page.columnText(1);
        rawTimes.push_back(msSince(start));
        if (rawTotal < 0 || total < 0)
            std::fprintf(stderr, "no total\n");
    }
    const double libraryP95 = percentile(libraryTimes, 0.95);
    const double rawP95 = percentile(rawTimes, 0.95);
    std::printf("library_search_p95: %.2f ms\n", libraryP95);
    std::printf("raw_search_p95: %.2f ms\n", rawP95);
    std::printf("library_search_ratio: %.1f x same-shape raw FTS5 anchor\n", rawP95 > 0 ? libraryP95 / rawP95 : 0.0);

    {
        QString pasted;
        for (int i = 0; i < 1700; ++i)
            pasted += words[i % 60] + QLatin1Char(' ');
        change();
        int total = 0;
        const Clock::time_point start = Clock::now();
        library.queryPage({ { "view", "search" }, { "search", pasted } }, 0, 200, &total);
        std::printf("library_search_pasted_ms: %.2f ms\n", msSince(start));
    }

    for (const char* view : { "tracks", "albums", "artists", "videos", "episodes", "recent", "top" }) {
        std::vector<double> times;
        for (int i = 0; i < 5; ++i) {
            change();
            int total = 0;
            const Clock::time_point start = Clock::now();
            library.queryPage({ { "view", view } }, 0, 200, &total);
            times.push_back(msSince(start));
        }
        std::printf("library_page_first_%s: %.2f ms\n", view, percentile(times, 0.5));
    }
    {
        std::vector<double> times;
        for (int i = 0; i < 5; ++i) {
            change();
            int total = 0;
            library.queryPage({ { "view", "tracks" } }, 0, 200, &total);
            const Clock::time_point start = Clock::now();
            library.queryPage({ { "view", "tracks" } }, 99 * 200, 200);
            times.push_back(msSince(start));
        }
        std::printf("library_page_100th_tracks: %.2f ms\n", percentile(times, 0.5));
    }

    std::vector<double> counts;
    std::vector<double> playlist;
    for (int i = 0; i < 5; ++i) {
        change();
        Clock::time_point start = Clock::now();
        library.counts();
        counts.push_back(msSince(start));
        int total = 0;
        start = Clock::now();
        library.queryPage({ { "view", "playlist" }, { "key", QVariantMap { { "playlist", 1 } } } }, 0, 200, &total);
        playlist.push_back(msSince(start));
    }
    std::printf("library_counts_ms: %.2f ms\n", percentile(counts, 0.5));
    std::printf("library_playlist_500_ms: %.2f ms\n", percentile(playlist, 0.5));
    return 0;
}
