// The cost of the library browser's queries on a large library, against the same queries on raw SQLite.
//
//     kvr_bench_library_query
//
// Builds once, in a temporary data folder, a synthetic library of 100,000 items through the real schema (one
// in ten a video, 3,000 artists, their albums, 40 genres, tags, plays and ratings; the search rows made the
// way the scanner makes them), then prints, all measured in this run, each figure the first read after a
// change of the content (a rating set through the library, untimed), so that nothing is served from what an
// earlier read kept:
//   library_search_p95 / raw_search_p95  200 search texts (or KVR_BENCH_SEARCHES) through queryPage, first page
//                                        with its total; and their same-shape anchor on the raw FTS5 table: the
//                                        same MATCH value, its count, sorted by the index's title, the first 200
//                                        rows read;
//   library_search_ratio                 the first over the second (interleaved, A B A B);
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
constexpr int albumCount = artistCount * 3;

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

// What the build steps share: the open file, its one transaction and the seeded choices, drawn in one fixed order
// so that every run builds the same library.
struct Builder {
    Database& db;
    Transaction& tx;
    const QStringList& words;
    std::mt19937 rng { 42 };
    // Skewed word choice: a few words are everywhere, most are rare.
    std::geometric_distribution<int> wordPick { 0.02 };

    QString word() { return words[std::min(int(words.size()) - 1, wordPick(rng))]; }
    int pick(int n) { return int(rng() % unsigned(n)); }
};

void addFolderAndNames(Builder& b)
{
    b.tx.exec("INSERT INTO library_folders(id, path, last_full_scan) VALUES(1, '/bench', strftime('%s','now'))");
    b.tx.exec("INSERT OR REPLACE INTO library_meta(key, value) VALUES('scan_pending', '0')");
    Statement artist = b.db.prepare("INSERT INTO artists(id, name) VALUES(?1, ?2)");
    for (int i = 1; i <= artistCount; ++i) {
        artist.reset();
        artist.bindInt64(1, i).bindText(2, QStringLiteral("%1 %2 %3").arg(b.word(), b.word()).arg(i));
        b.tx.run(artist);
    }
    Statement album = b.db.prepare("INSERT INTO albums(id, title, primary_artist_id, year) VALUES(?1, ?2, ?3, ?4)");
    for (int i = 1; i <= albumCount; ++i) {
        album.reset();
        album.bindInt64(1, i)
            .bindText(2, QStringLiteral("%1 %2 %3").arg(b.word(), b.word()).arg(i))
            .bindInt64(3, (i - 1) / 3 + 1)
            .bindInt64(4, 1960 + b.pick(64));
        b.tx.run(album);
    }
    Statement genre = b.db.prepare("INSERT INTO genres(id, name) VALUES(?1, ?2)");
    for (int i = 1; i <= genreCount; ++i) {
        genre.reset();
        genre.bindInt64(1, i).bindText(2, b.words[i] + QStringLiteral(" genre"));
        b.tx.run(genre);
    }
    Statement show = b.db.prepare("INSERT INTO shows(id, title) VALUES(?1, ?2)");
    for (int i = 1; i <= 50; ++i) {
        show.reset();
        show.bindInt64(1, i).bindText(2, QStringLiteral("%1 show %2").arg(b.word()).arg(i));
        b.tx.run(show);
    }
}

// The statements that write one item's rows.
struct ItemStatements {
    Statement source;
    Statement track;
    Statement video;
    Statement rating;
    Statement stats;
    Statement tag;
};

ItemStatements prepareItemStatements(Database& db)
{
    ItemStatements s;
    s.source = db.prepare(
        "INSERT INTO sources(id, uri, folder_id, kind, duration_us, primary_codec, audio_codec, bitrate, width, "
        "height, available, date_added, low_confidence) VALUES(?1, ?2, 1, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, 0)");
    s.track = db.prepare("INSERT INTO tracks(source_id, title, artist_id, album_artist_id, album_id, "
                         "track_number, disc_number, year, genre_id) VALUES(?1, ?2, ?3, ?3, ?4, ?5, 1, ?6, ?7)");
    s.video = db.prepare("INSERT INTO videos(source_id, title, year, show_id, season, episode, category, "
                         "genre_id) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    s.rating = db.prepare("INSERT INTO source_ratings(source_id, rating) VALUES(?1, ?2)");
    s.stats = db.prepare(
        "INSERT INTO play_stats(source_id, play_count, last_played, total_play_time_us) VALUES(?1, ?2, ?3, 0)");
    s.tag = db.prepare("INSERT INTO source_tags(source_id, tag) VALUES(?1, ?2)");
    return s;
}

// What one item's rows share, drawn before any of them is written.
struct Item {
    int id;
    bool isVideo;
    QString title;
    int albumId;
    int artistId;
    QString codec;
};

Item drawItem(Builder& b, int id)
{
    const char* lossy[] = { "mp3", "aac", "opus", "vorbis" };
    const bool isVideo = id % 10 == 0;
    const QString title = QStringLiteral("%1 %2").arg(b.word(), b.word());
    const int albumId = b.pick(albumCount) + 1;
    const int artistId = (albumId - 1) / 3 + 1;
    const QString codec = isVideo ? QStringLiteral("h264")
        : b.pick(4) == 0          ? QStringLiteral("flac")
                                  : QString::fromLatin1(lossy[b.pick(4)]);
    return { id, isVideo, title, albumId, artistId, codec };
}

void addSource(Builder& b, Statement& source, const Item& item, qint64 now)
{
    source.reset();
    source.bindInt64(1, item.id)
        .bindText(2,
            item.isVideo ? QStringLiteral("/bench/Videos/%1/%2 %3.mkv").arg(b.pick(200)).arg(item.title).arg(item.id)
                         : QStringLiteral("/bench/Music/%1/%2/%3 %4.%5")
                               .arg(item.artistId)
                               .arg(item.albumId)
                               .arg(item.title)
                               .arg(item.id)
                               .arg(item.codec))
        .bindText(3, item.isVideo ? "video" : "audio")
        .bindInt64(4, qint64(60 + b.pick(400)) * 1000000)
        .bindText(5, item.codec)
        .bindText(6, item.isVideo ? QStringLiteral("aac") : item.codec)
        .bindInt64(7, item.isVideo ? 4000000 : 128000 + b.pick(900) * 1000)
        .bindInt64(8, item.isVideo ? 1920 : 0)
        .bindInt64(9, item.isVideo ? 1080 : 0)
        .bindInt64(10, b.pick(200) == 0 ? 0 : 1)
        .bindInt64(11, now - qint64(b.pick(3 * 365)) * 86400);
    b.tx.run(source);
}

void addVideo(Builder& b, Statement& video, const Item& item)
{
    const bool episode = b.pick(2) == 0;
    video.reset();
    video.bindInt64(1, item.id).bindText(2, item.title).bindInt64(3, 1960 + b.pick(64));
    if (episode)
        video.bindInt64(4, b.pick(50) + 1)
            .bindInt64(5, b.pick(6) + 1)
            .bindInt64(6, b.pick(20) + 1)
            .bindText(7, "episode");
    else
        video.bindNull(4).bindNull(5).bindNull(6).bindText(7, "movie");
    video.bindInt64(8, b.pick(genreCount) + 1);
    b.tx.run(video);
}

void addTrack(Builder& b, Statement& track, const Item& item)
{
    track.reset();
    track.bindInt64(1, item.id)
        .bindText(2, item.title)
        .bindInt64(3, item.artistId)
        .bindInt64(4, item.albumId)
        .bindInt64(5, b.pick(15) + 1)
        .bindInt64(6, 1960 + b.pick(64))
        .bindInt64(7, b.pick(genreCount) + 1);
    b.tx.run(track);
}

// A rating for one item in twenty, plays for one in ten, a tag for one in thirty.
void addRatingPlaysAndTag(Builder& b, ItemStatements& s, int id, qint64 now)
{
    if (b.pick(20) == 0) {
        s.rating.reset();
        s.rating.bindInt64(1, id).bindInt64(2, (b.pick(5) + 1) * 20);
        b.tx.run(s.rating);
    }
    if (b.pick(10) == 0) {
        s.stats.reset();
        s.stats.bindInt64(1, id).bindInt64(2, b.pick(50) + 1).bindInt64(3, now - b.pick(400 * 86400));
        b.tx.run(s.stats);
    }
    if (b.pick(30) == 0) {
        s.tag.reset();
        s.tag.bindInt64(1, id).bindText(2, b.words[b.pick(20)]);
        b.tx.run(s.tag);
    }
}

void addItems(Builder& b)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    ItemStatements s = prepareItemStatements(b.db);
    for (int id = 1; id <= itemCount; ++id) {
        const Item item = drawItem(b, id);
        addSource(b, s.source, item, now);
        if (item.isVideo)
            addVideo(b, s.video, item);
        else
            addTrack(b, s.track, item);
        addRatingPlaysAndTag(b, s, id, now);
    }
}

// The search rows as the scanner writes them.
void addSearchRows(Builder& b)
{
    b.tx.exec("INSERT INTO search(rowid, title, artist, album, composer, genre, tags, comment, path) SELECT i.id, "
              "i.title, IFNULL(i.artist,'') || ' ' || IFNULL(i.album_artist,'') || ' ' || IFNULL(i.show,''), i.album, "
              "i.composer, i.genre, (SELECT group_concat(tag, ' ') FROM source_tags WHERE source_id = i.id), "
              "i.comment, i.uri FROM items i");
}

// A 500-entry playlist, one entry in ten outside the library.
void addPlaylist(Builder& b)
{
    b.tx.exec("INSERT INTO playlists(id, name, created, modified) VALUES(1, 'Bench', 0, 0)");
    Statement entry = b.db.prepare("INSERT INTO playlist_items(playlist_id, position, uri) VALUES(1, ?1, "
                                   "COALESCE((SELECT uri FROM sources WHERE id = ?2), '/elsewhere/' || ?2))");
    for (int i = 0; i < 500; ++i) {
        entry.reset();
        entry.bindInt64(1, i).bindInt64(2, i % 10 == 9 ? itemCount + i : qint64(b.pick(itemCount) + 1));
        b.tx.run(entry);
    }
}

bool buildLibrary(const QString& path, const QStringList& words)
{
    Database db;
    if (!db.open(path) || !db.ensureSchema())
        return false;
    Transaction tx(db);
    Builder b { db, tx, words };
    addFolderAndNames(b);
    addItems(b);
    addSearchRows(b);
    addPlaylist(b);
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

// Builds the library, or copies the one an earlier run kept (KVR_BENCH_LIBRARY_COPY), for profiling runs that
// should not spend their time building it again; prints how long that took.
bool prepareLibrary(const QString& dataDir, const QStringList& words)
{
    const Clock::time_point buildStart = Clock::now();
    const QString copy = qEnvironmentVariable("KVR_BENCH_LIBRARY_COPY");
    if (!copy.isEmpty() && QFile::exists(copy)) {
        QFile::copy(copy, dataDir + "/library.db");
    } else if (!buildLibrary(dataDir + "/library.db", words)) {
        std::fprintf(stderr, "could not build the library\n");
        return false;
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
    return true;
}

// The library under measure and the raw connection its anchor reads, on the same file.
struct Subject {
    Library library;
    Database raw;
    int flip = 0;

    // A change of the content between measured reads, through the library as an edit would make it: the next
    // read is the first after a change.
    void change() { library.setRating({ qlonglong(1) }, 1 + (flip++ % 5)); }
};

// Fewer searches (KVR_BENCH_SEARCHES) for a run under a profiler.
int searchCount()
{
    return qEnvironmentVariableIsSet("KVR_BENCH_SEARCHES")
        ? std::max(1, qEnvironmentVariableIntValue("KVR_BENCH_SEARCHES"))
        : 200;
}

// The same match, total, order and page on the full-text table alone. The library searches every word as a
// prefix: the anchor gets the very FTS5 value the library binds.
double timeRawSearch(Database& raw, const QString& text, qint64* rawTotal)
{
    const Library::ClauseList where = Library::parseSearch(text);
    const QString match = where.values.value(0).toString();
    const Clock::time_point start = Clock::now();
    Statement count = raw.prepare("SELECT COUNT(*) FROM search WHERE search MATCH ?1");
    count.bindText(1, match);
    *rawTotal = count.next() ? count.columnInt64(0) : 0;
    Statement page = raw.prepare("SELECT rowid, title, artist, album, genre FROM search WHERE search MATCH ?1 "
                                 "ORDER BY title COLLATE NOCASE LIMIT 200");
    page.bindText(1, match);
    QStringList rows;
    while (page.next())
        rows << page.columnText(1);
    return msSince(start);
}

// Each search through the library, then the same on raw FTS5, interleaved (A B A B).
void measureSearches(Subject& s, const QStringList& words)
{
    const QStringList cases = searches(words, searchCount());
    std::vector<double> libraryTimes;
    std::vector<double> rawTimes;
    for (const QString& text : cases) {
        s.change();
        int total = 0;
        const Clock::time_point start = Clock::now();
        s.library.queryPage({ { "view", "search" }, { "search", text } }, 0, 200, &total);
        libraryTimes.push_back(msSince(start));
        qint64 rawTotal = 0;
        rawTimes.push_back(timeRawSearch(s.raw, text, &rawTotal));
        if (rawTotal < 0 || total < 0)
            std::fprintf(stderr, "no total\n");
    }
    const double libraryP95 = percentile(libraryTimes, 0.95);
    const double rawP95 = percentile(rawTimes, 0.95);
    std::printf("library_search_p95: %.2f ms\n", libraryP95);
    std::printf("raw_search_p95: %.2f ms\n", rawP95);
    std::printf("library_search_ratio: %.1f x same-shape raw FTS5 anchor\n", rawP95 > 0 ? libraryP95 / rawP95 : 0.0);
}

void measurePastedSearch(Subject& s, const QStringList& words)
{
    QString pasted;
    for (int i = 0; i < 1700; ++i)
        pasted += words[i % 60] + QLatin1Char(' ');
    s.change();
    int total = 0;
    const Clock::time_point start = Clock::now();
    s.library.queryPage({ { "view", "search" }, { "search", pasted } }, 0, 200, &total);
    std::printf("library_search_pasted_ms: %.2f ms\n", msSince(start));
}

void measureFirstPages(Subject& s)
{
    for (const char* view : { "tracks", "albums", "artists", "videos", "episodes", "recent", "top" }) {
        std::vector<double> times;
        for (int i = 0; i < 5; ++i) {
            s.change();
            int total = 0;
            const Clock::time_point start = Clock::now();
            s.library.queryPage({ { "view", view } }, 0, 200, &total);
            times.push_back(msSince(start));
        }
        std::printf("library_page_first_%s: %.2f ms\n", view, percentile(times, 0.5));
    }
}

// The 100th page, read after the first one as a user scrolling down would.
void measureHundredthPage(Subject& s)
{
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        s.change();
        int total = 0;
        s.library.queryPage({ { "view", "tracks" } }, 0, 200, &total);
        const Clock::time_point start = Clock::now();
        s.library.queryPage({ { "view", "tracks" } }, 99 * 200, 200);
        times.push_back(msSince(start));
    }
    std::printf("library_page_100th_tracks: %.2f ms\n", percentile(times, 0.5));
}

void measureCountsAndPlaylist(Subject& s)
{
    std::vector<double> counts;
    std::vector<double> playlist;
    for (int i = 0; i < 5; ++i) {
        s.change();
        Clock::time_point start = Clock::now();
        s.library.counts();
        counts.push_back(msSince(start));
        int total = 0;
        start = Clock::now();
        s.library.queryPage({ { "view", "playlist" }, { "key", QVariantMap { { "playlist", 1 } } } }, 0, 200, &total);
        playlist.push_back(msSince(start));
    }
    std::printf("library_counts_ms: %.2f ms\n", percentile(counts, 0.5));
    std::printf("library_playlist_500_ms: %.2f ms\n", percentile(playlist, 0.5));
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
    if (!prepareLibrary(dataDir, words))
        return 1;

    Subject subject;
    subject.raw.open(dataDir + "/library.db");
    measureSearches(subject, words);
    measurePastedSearch(subject, words);
    measureFirstPages(subject);
    measureHundredthPage(subject);
    measureCountsAndPlaylist(subject);
    return 0;
}
