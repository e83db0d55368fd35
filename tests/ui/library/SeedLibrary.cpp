#include "tests/ui/library/SeedLibrary.h"

#include "ui/library/Database.h"
#include "ui/library/Statement.h"
#include "ui/library/Transaction.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace kvr::test {

using kvr::ui::library::Database;
using kvr::ui::library::Statement;
using kvr::ui::library::Transaction;

namespace {

// One media file as the scanner would have read it. Zero and null mean "no value".
struct Item {
    const char* path; // below the media root
    bool video = false;
    const char* title = nullptr;
    const char* artist = nullptr;
    const char* albumArtist = nullptr;
    const char* album = nullptr;
    int year = 0;
    const char* genre = nullptr;
    const char* composer = nullptr;
    int track = 0;
    int disc = 0;
    const char* show = nullptr;
    int season = 0;
    int episode = 0;
    const char* category = nullptr;
    const char* codec = nullptr; // the audio codec, or for a video its video codec (audio is aac)
    int kbps = 0;
    int seconds = 0;
    int addedDaysAgo = 400;
    bool available = true;
    const char* comment = nullptr;
};

// clang-format off
const Item items[] = {
    {.path = "Music/The Lanterns/Northern Lights/CD1/01 Aurora.flac", .title = "Aurora", .artist = "The Lanterns", .album = "Northern Lights", .year = 2019, .genre = "Rock", .composer = "Ada Lantern", .track = 1, .disc = 1, .codec = "flac", .kbps = 950, .seconds = 241},
    {.path = "Music/The Lanterns/Northern Lights/CD1/02 Polar Night.flac", .title = "Polar Night", .artist = "The Lanterns", .album = "Northern Lights", .year = 2019, .genre = "Rock", .composer = "Ada Lantern", .track = 2, .disc = 1, .codec = "flac", .kbps = 910, .seconds = 305},
    {.path = "Music/The Lanterns/Northern Lights/CD1/03 Ice Road.flac", .title = "Ice Road", .artist = "The Lanterns", .album = "Northern Lights", .year = 2019, .genre = "Rock", .track = 3, .disc = 1, .codec = "flac", .kbps = 980, .seconds = 198},
    {.path = "Music/The Lanterns/Northern Lights/CD2/01 Thaw.flac", .title = "Thaw", .artist = "The Lanterns", .album = "Northern Lights", .year = 2019, .genre = "Rock", .track = 1, .disc = 2, .codec = "flac", .kbps = 890, .seconds = 276},
    {.path = "Music/The Lanterns/Northern Lights/CD2/02 Meltwater.flac", .title = "Meltwater", .artist = "The Lanterns", .album = "Northern Lights", .year = 2019, .genre = "Rock", .composer = "Ada Lantern", .track = 2, .disc = 2, .codec = "flac", .kbps = 930, .seconds = 354},
    {.path = "Music/Mira Sol/Harbour Songs/01 Low Tide.mp3", .title = "Low Tide", .artist = "Mira Sol", .album = "Harbour Songs", .year = 2021, .genre = "Jazz", .composer = "Mira Sol", .track = 1, .codec = "mp3", .kbps = 320, .seconds = 262},
    {.path = "Music/Mira Sol/Harbour Songs/02 Salt Wind.mp3", .title = "Salt Wind", .artist = "Mira Sol", .album = "Harbour Songs", .year = 2021, .genre = "Jazz", .track = 2, .codec = "mp3", .kbps = 320, .seconds = 219},
    {.path = "Music/Mira Sol/Harbour Songs/03 Café Noir.mp3", .title = "Café Noir", .artist = "Mira Sol", .album = "Harbour Songs", .year = 2021, .genre = "Jazz", .track = 3, .codec = "mp3", .kbps = 320, .seconds = 287, .comment = "first take"},
    {.path = "Music/Mira Sol/Harbour Songs/04 Lighthouse.mp3", .title = "Lighthouse", .artist = "Mira Sol", .album = "Harbour Songs", .year = 2021, .genre = "Jazz", .track = 4, .codec = "mp3", .kbps = 320, .seconds = 331},
    {.path = "Music/Mira Sol/Harbour Songs/05 Lost Chord.mp3", .title = "Lost Chord", .artist = "Mira Sol", .album = "Harbour Songs", .year = 2021, .genre = "Jazz", .track = 5, .codec = "mp3", .kbps = 320, .seconds = 240, .available = false},
    {.path = "Music/Various/Summer Mix/01 Kite Runner.m4a", .title = "Kite Runner", .artist = "DJ Kite", .albumArtist = "Various Artists", .album = "Summer Mix", .year = 2023, .genre = "Electronic", .track = 1, .codec = "aac", .kbps = 256, .seconds = 213, .addedDaysAgo = 3},
    {.path = "Music/Various/Summer Mix/02 Sunburn.m4a", .title = "Sunburn", .artist = "Mira Sol", .albumArtist = "Various Artists", .album = "Summer Mix", .year = 2023, .genre = "Electronic", .track = 2, .codec = "aac", .kbps = 256, .seconds = 187, .addedDaysAgo = 3},
    {.path = "Music/Various/Summer Mix/03 Night Bus.m4a", .title = "Night Bus", .artist = "Neon Fox", .albumArtist = "Various Artists", .album = "Summer Mix", .year = 2023, .genre = "Electronic", .track = 3, .codec = "aac", .kbps = 256, .seconds = 246, .addedDaysAgo = 3},
    {.path = "Music/Grandpa Joe/Old Tapes/01 River Song.wav", .title = "River Song", .artist = "Grandpa Joe", .album = "Old Tapes", .year = 1972, .genre = "Folk", .track = 1, .codec = "pcm_s16le", .kbps = 1411, .seconds = 182},
    {.path = "Music/Grandpa Joe/Old Tapes/02 Porch Light.wav", .title = "Porch Light", .artist = "Grandpa Joe", .album = "Old Tapes", .year = 1972, .genre = "Folk", .track = 2, .codec = "pcm_s16le", .kbps = 1411, .seconds = 203},
    {.path = "Music/Nordlys/Fjord/01 Still Water.opus", .title = "Still Water", .artist = "Nordlys", .album = "Fjord", .year = 2017, .genre = "Ambient", .track = 1, .codec = "opus", .kbps = 160, .seconds = 402},
    {.path = "Music/Nordlys/Fjord/02 Glacier.opus", .title = "Glacier", .artist = "Nordlys", .album = "Fjord", .year = 2017, .genre = "Ambient", .track = 2, .codec = "opus", .kbps = 160, .seconds = 377},
    {.path = "Music/Nordlys/Fjord/03 Birch.opus", .title = "Birch", .artist = "Nordlys", .album = "Fjord", .year = 2017, .genre = "Ambient", .track = 3, .codec = "opus", .kbps = 160, .seconds = 298},
    {.path = "Music/Nordlys/Fjord/04 Tide Pool.opus", .title = "Tide Pool", .artist = "Nordlys", .album = "Fjord", .year = 2017, .genre = "Ambient", .track = 4, .codec = "opus", .kbps = 160, .seconds = 451},
    {.path = "Music/Trio Azul/Kind of Orange/01 Blue Hour.m4a", .title = "Blue Hour", .artist = "Trio Azul", .album = "Kind of Orange", .year = 2010, .genre = "Jazz", .composer = "Ana Ruiz", .track = 1, .codec = "alac", .kbps = 820, .seconds = 356},
    {.path = "Music/Trio Azul/Kind of Orange/02 Tangerine.m4a", .title = "Tangerine", .artist = "Trio Azul", .album = "Kind of Orange", .year = 2010, .genre = "Jazz", .composer = "Ana Ruiz", .track = 2, .codec = "alac", .kbps = 840, .seconds = 412},
    {.path = "Music/Trio Azul/Kind of Orange/03 Late Set.m4a", .title = "Late Set", .artist = "Trio Azul", .album = "Kind of Orange", .year = 2010, .genre = "Jazz", .composer = "Ana Ruiz", .track = 3, .codec = "alac", .kbps = 800, .seconds = 520},
    {.path = "Music/Singles/demo take.mp3", .title = "demo take", .codec = "mp3", .kbps = 128, .seconds = 95, .addedDaysAgo = 10},
    {.path = "Music/Singles/rain loop.ogg", .title = "Rain Loop", .genre = "Ambient", .codec = "vorbis", .kbps = 96, .seconds = 600},
    {.path = "Music/Singles/track05.mp3", .title = "track05", .artist = "The Lanterns", .year = 2020, .genre = "Rock", .codec = "mp3", .kbps = 192, .seconds = 222},
    {.path = "Music/Singles/Interview.mp3", .title = "Interview with Mira", .artist = "Mira Sol", .genre = "Spoken Word", .codec = "mp3", .kbps = 64, .seconds = 1260, .comment = "radio session"},
    {.path = "Videos/Deep Sea/Season 1/Deep Sea S01E01.mkv", .video = true, .title = "The Trench", .year = 2020, .genre = "Documentary", .show = "Deep Sea", .season = 1, .episode = 1, .category = "episode", .codec = "hevc", .kbps = 4200, .seconds = 2640},
    {.path = "Videos/Deep Sea/Season 1/Deep Sea S01E02.mkv", .video = true, .title = "Bioluminescence", .year = 2020, .genre = "Documentary", .show = "Deep Sea", .season = 1, .episode = 2, .category = "episode", .codec = "hevc", .kbps = 4100, .seconds = 2580},
    {.path = "Videos/Deep Sea/Season 1/Deep Sea S01E03.mkv", .video = true, .title = "Whale Fall", .year = 2020, .genre = "Documentary", .show = "Deep Sea", .season = 1, .episode = 3, .category = "episode", .codec = "hevc", .kbps = 4300, .seconds = 2700},
    {.path = "Videos/Deep Sea/Season 2/Deep Sea S02E01.mkv", .video = true, .title = "Vents", .year = 2021, .genre = "Documentary", .show = "Deep Sea", .season = 2, .episode = 1, .category = "episode", .codec = "hevc", .kbps = 4000, .seconds = 2610},
    {.path = "Videos/Deep Sea/Season 2/Deep Sea S02E02.mkv", .video = true, .title = "The Abyss Returns", .year = 2021, .genre = "Documentary", .show = "Deep Sea", .season = 2, .episode = 2, .category = "episode", .codec = "hevc", .kbps = 4050, .seconds = 2655},
    {.path = "Videos/Kitchen Diaries/Kitchen Diaries E01.mp4", .video = true, .title = "Bread", .year = 2018, .show = "Kitchen Diaries", .episode = 1, .category = "episode", .codec = "h264", .kbps = 2500, .seconds = 1320},
    {.path = "Videos/Kitchen Diaries/Kitchen Diaries E02.mp4", .video = true, .title = "Soup", .year = 2018, .show = "Kitchen Diaries", .episode = 2, .category = "episode", .codec = "h264", .kbps = 2500, .seconds = 1290},
    {.path = "Videos/Kitchen Diaries/Kitchen Diaries E03.mp4", .video = true, .title = "Noodles", .year = 2018, .show = "Kitchen Diaries", .episode = 3, .category = "episode", .codec = "h264", .kbps = 2500, .seconds = 1350},
    {.path = "Videos/Movies/The Long Road (2015).mkv", .video = true, .title = "The Long Road", .year = 2015, .genre = "Drama", .category = "movie", .codec = "h264", .kbps = 6000, .seconds = 7260},
    {.path = "Videos/Movies/Paper Moon Rising (2022).mp4", .video = true, .title = "Paper Moon Rising", .year = 2022, .genre = "Comedy", .category = "movie", .codec = "hevc", .kbps = 5200, .seconds = 5940, .addedDaysAgo = 5},
    {.path = "Videos/Movies/Glass City (1999).mkv", .video = true, .title = "Glass City", .year = 1999, .genre = "Thriller", .category = "movie", .codec = "h264", .kbps = 3500, .seconds = 6480},
    {.path = "Videos/Movies/Night Shift (2011).mp4", .video = true, .title = "Night Shift", .year = 2011, .genre = "Thriller", .category = "movie", .codec = "h264", .kbps = 4500, .seconds = 6120},
    {.path = "Videos/Movies/Vanished (2005).mkv", .video = true, .title = "Vanished", .year = 2005, .genre = "Thriller", .category = "movie", .codec = "h264", .kbps = 4000, .seconds = 5700, .available = false},
    {.path = "Videos/Home/birthday 2024.mp4", .video = true, .title = "birthday 2024", .codec = "h264", .kbps = 8000, .seconds = 312, .addedDaysAgo = 20},
};
// clang-format on

QString containerOf(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == "mp4" || suffix == "m4a")
        return QStringLiteral("mov,mp4,m4a,3gp,3g2,mj2");
    if (suffix == "mkv")
        return QStringLiteral("matroska,webm");
    if (suffix == "opus")
        return QStringLiteral("ogg");
    return suffix;
}

QString text(const char* value)
{
    return value ? QString::fromUtf8(value) : QString();
}

// Binds an integer, or NULL for 0, as the scanner does.
void bindOptional(Statement& st, int index, qint64 value)
{
    if (value)
        st.bindInt64(index, value);
    else
        st.bindNull(index);
}

class Writer {
public:
    Writer(Database& db, Transaction& tx, const QString& root, qint64 now)
        : db_(db)
        , tx_(tx)
        , root_(root)
        , now_(now)
    {
    }

    // The scanner's name lookup: the existing row (the column's collation decides), else a new one.
    qint64 idFor(const char* table, const char* column, const QString& value)
    {
        if (value.isEmpty())
            return 0;
        Statement find = db_.prepare(QString("SELECT id FROM %1 WHERE %2 = ?1").arg(table, column));
        find.bindText(1, value);
        if (find.next())
            return find.columnInt64(0);
        Statement insert = db_.prepare(QString("INSERT INTO %1(%2) VALUES(?1)").arg(table, column));
        insert.bindText(1, value);
        return tx_.run(insert) ? db_.lastInsertId() : 0;
    }

    qint64 sourceId(const char* relativePath)
    {
        Statement find = db_.prepare("SELECT id FROM sources WHERE uri = ?1");
        find.bindText(1, SeedLibrary::uri(root_, QString::fromUtf8(relativePath)));
        if (find.next())
            return find.columnInt64(0);
        qWarning() << "SeedLibrary: no item" << relativePath;
        complete_ = false;
        return 0;
    }

    // False when an item the user data refers to is missing from the table.
    bool complete() const { return complete_; }

    qint64 daysAgo(double days) const { return now_ - qint64(days * 86400); }

    void folders()
    {
        Statement insert = db_.prepare("INSERT INTO library_folders(id, path, last_full_scan) VALUES(?1, ?2, ?3)");
        const char* names[] = { "Music", "Videos" };
        for (int i = 0; i < 2; ++i) {
            insert.reset();
            insert.bindInt64(1, i + 1).bindText(2, SeedLibrary::uri(root_, names[i])).bindInt64(3, now_);
            tx_.run(insert);
        }
        tx_.exec("INSERT OR REPLACE INTO library_meta(key, value) VALUES('scan_pending', '0')");
    }

    void item(const Item& item)
    {
        const QString path = SeedLibrary::uri(root_, QString::fromUtf8(item.path));
        Statement insert = db_.prepare("INSERT INTO sources(uri, date_added) VALUES(?1, ?2)");
        insert.bindText(1, path).bindInt64(2, daysAgo(item.addedDaysAgo));
        if (!tx_.run(insert))
            return;
        const qint64 id = db_.lastInsertId();

        const qint64 mtime = daysAgo(item.addedDaysAgo + 30);
        const qint64 bitrate = qint64(item.kbps) * 1000;
        Statement update = db_.prepare(
            "UPDATE sources SET folder_id=?2, size_bytes=?3, mtime=?4, kind=?5, duration_us=?6, format=?7, "
            "primary_codec=?8, audio_codec=?9, bitrate=?10, sample_rate=?11, channels=?12, width=?13, height=?14, "
            "fps=?15, low_confidence=0, available=?16, date_modified=?4, last_scanned=?17 WHERE id=?1");
        update.bindInt64(1, id)
            .bindInt64(2, item.video ? 2 : 1)
            .bindInt64(3, bitrate / 8 * item.seconds)
            .bindInt64(4, mtime)
            .bindText(5, item.video ? "video" : "audio")
            .bindInt64(6, qint64(item.seconds) * 1000000)
            .bindText(7, containerOf(path))
            .bindText(8, text(item.codec))
            .bindText(9, item.video ? QStringLiteral("aac") : text(item.codec))
            .bindInt64(10, bitrate)
            .bindInt64(11, item.video || QString(item.codec) == "opus" ? 48000 : 44100)
            .bindInt64(12, 2)
            .bindInt64(13, item.video ? 1920 : 0)
            .bindInt64(14, item.video ? 1080 : 0)
            .bindDouble(15, item.video ? 25.0 : 0.0)
            .bindInt64(16, item.available ? 1 : 0)
            .bindInt64(17, now_);
        tx_.run(update);

        const qint64 genreId = idFor("genres", "name", text(item.genre));
        if (item.video)
            video(id, item, genreId);
        else
            audio(id, item, genreId);
    }

    void video(qint64 id, const Item& item, qint64 genreId)
    {
        const qint64 showId = idFor("shows", "title", text(item.show));
        Statement insert = db_.prepare("INSERT OR REPLACE INTO videos(source_id, title, year, show_id, season, "
                                       "episode, category, director, description, genre_id) "
                                       "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
        insert.bindInt64(1, id).bindText(2, text(item.title)).bindText(7, text(item.category));
        bindOptional(insert, 3, item.year);
        bindOptional(insert, 4, showId);
        bindOptional(insert, 5, item.season);
        bindOptional(insert, 6, item.episode);
        bindOptional(insert, 10, genreId);
        tx_.run(insert);
    }

    void audio(qint64 id, const Item& item, qint64 genreId)
    {
        const qint64 artistId = idFor("artists", "name", text(item.artist));
        const qint64 albumArtistId = item.albumArtist ? idFor("artists", "name", text(item.albumArtist)) : artistId;
        qint64 albumId = 0;
        if (item.album) {
            Statement find = db_.prepare("SELECT id FROM albums WHERE title = ?1 AND IFNULL(primary_artist_id,0) = ?2");
            find.bindText(1, text(item.album)).bindInt64(2, albumArtistId);
            if (find.next()) {
                albumId = find.columnInt64(0);
            } else {
                Statement insert = db_.prepare("INSERT INTO albums(title, primary_artist_id, year) VALUES(?1, ?2, ?3)");
                insert.bindText(1, text(item.album));
                bindOptional(insert, 2, albumArtistId);
                bindOptional(insert, 3, item.year);
                if (tx_.run(insert))
                    albumId = db_.lastInsertId();
            }
        }
        Statement insert = db_.prepare(
            "INSERT OR REPLACE INTO tracks(source_id, title, artist_id, album_artist_id, album_id, track_number, "
            "disc_number, track_total, disc_total, year, genre_id, composer, comment, lyrics, bpm, compilation, "
            "rg_track, rg_album) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18)");
        insert.bindInt64(1, id).bindText(2, text(item.title));
        bindOptional(insert, 3, artistId);
        bindOptional(insert, 4, albumArtistId);
        bindOptional(insert, 5, albumId);
        bindOptional(insert, 6, item.track);
        bindOptional(insert, 7, item.disc);
        bindOptional(insert, 10, item.year);
        bindOptional(insert, 11, genreId);
        insert.bindText(12, text(item.composer)).bindText(13, text(item.comment));
        insert.bindInt64(16, item.albumArtist ? 1 : 0);
        tx_.run(insert);

        Statement role
            = db_.prepare("INSERT OR IGNORE INTO track_artists(track_source_id, artist_id, role) VALUES(?1, ?2, ?3)");
        if (artistId) {
            role.bindInt64(1, id).bindInt64(2, artistId).bindText(3, "performer");
            tx_.run(role);
        }
        if (item.composer) {
            role.reset();
            role.bindInt64(1, id).bindInt64(2, idFor("artists", "name", text(item.composer))).bindText(3, "composer");
            tx_.run(role);
        }
    }

    void userData()
    {
        struct Rated {
            const char* path;
            int rating;
        };
        const Rated ratings[] = {
            { "Music/The Lanterns/Northern Lights/CD1/01 Aurora.flac", 100 },
            { "Music/Mira Sol/Harbour Songs/03 Café Noir.mp3", 80 },
            { "Music/Trio Azul/Kind of Orange/01 Blue Hour.m4a", 60 },
            { "Music/Nordlys/Fjord/01 Still Water.opus", 20 },
            { "Videos/Movies/The Long Road (2015).mkv", 100 },
            { "Videos/Deep Sea/Season 1/Deep Sea S01E01.mkv", 80 },
        };
        Statement rate = db_.prepare("INSERT INTO source_ratings(source_id, rating) VALUES(?1, ?2)");
        for (const Rated& r : ratings) {
            rate.reset();
            rate.bindInt64(1, sourceId(r.path)).bindInt64(2, r.rating);
            tx_.run(rate);
        }

        struct Played {
            const char* path;
            int count;
            double lastDaysAgo;
        };
        const Played plays[] = {
            { "Music/The Lanterns/Northern Lights/CD1/01 Aurora.flac", 12, 1 },
            { "Music/The Lanterns/Northern Lights/CD1/02 Polar Night.flac", 3, 10 },
            { "Music/Mira Sol/Harbour Songs/03 Café Noir.mp3", 7, 2 },
            { "Music/Various/Summer Mix/01 Kite Runner.m4a", 2, 0.05 },
            { "Videos/Movies/The Long Road (2015).mkv", 1, 40 },
            { "Videos/Deep Sea/Season 1/Deep Sea S01E01.mkv", 1, 5 },
        };
        Statement history
            = db_.prepare("INSERT INTO play_history(source_id, played_at, duration_played_us) VALUES(?1, ?2, ?3)");
        Statement stats = db_.prepare("INSERT INTO play_stats(source_id, play_count, last_played, total_play_time_us) "
                                      "SELECT ?1, COUNT(*), MAX(played_at), SUM(duration_played_us) "
                                      "FROM play_history WHERE source_id = ?1");
        for (const Played& p : plays) {
            const qint64 id = sourceId(p.path);
            Statement duration = db_.prepare("SELECT duration_us FROM sources WHERE id = ?1");
            duration.bindInt64(1, id);
            const qint64 us = duration.next() ? duration.columnInt64(0) : 0;
            // Plays a day apart, the last one lastDaysAgo ago.
            for (int i = 0; i < p.count; ++i) {
                history.reset();
                history.bindInt64(1, id).bindInt64(2, daysAgo(p.lastDaysAgo + i)).bindInt64(3, us);
                tx_.run(history);
            }
            stats.reset();
            stats.bindInt64(1, id);
            tx_.run(stats);
        }

        struct Tagged {
            const char* path;
            const char* tag;
        };
        const Tagged tags[] = {
            { "Music/The Lanterns/Northern Lights/CD1/01 Aurora.flac", "favourite" },
            { "Music/The Lanterns/Northern Lights/CD1/01 Aurora.flac", "road trip" },
            { "Music/Mira Sol/Harbour Songs/03 Café Noir.mp3", "favourite" },
            { "Music/Mira Sol/Harbour Songs/03 Café Noir.mp3", "Chill" },
            { "Music/Mira Sol/Harbour Songs/01 Low Tide.mp3", "Chill" },
            { "Videos/Movies/The Long Road (2015).mkv", "road trip" },
        };
        Statement tag = db_.prepare("INSERT INTO source_tags(source_id, tag) VALUES(?1, ?2)");
        for (const Tagged& t : tags) {
            tag.reset();
            tag.bindInt64(1, sourceId(t.path)).bindText(2, QString::fromUtf8(t.tag));
            tx_.run(tag);
        }

        Statement edit = db_.prepare("UPDATE sources SET u_title = ?2 WHERE id = ?1");
        edit.bindInt64(1, sourceId("Music/Singles/track05.mp3")).bindText(2, "Evening Tide");
        tx_.run(edit);
        Statement unsure = db_.prepare("UPDATE sources SET low_confidence = 1 WHERE id = ?1");
        unsure.bindInt64(1, sourceId("Music/Singles/demo take.mp3"));
        tx_.run(unsure);

        tx_.exec("UPDATE albums SET cover_key = 'cover-northern-lights' WHERE title = 'Northern Lights'");
        Statement cover = db_.prepare("UPDATE sources SET cover_key = 'cover-long-road' WHERE id = ?1");
        cover.bindInt64(1, sourceId("Videos/Movies/The Long Road (2015).mkv"));
        tx_.run(cover);
    }

    void playlist()
    {
        Statement list
            = db_.prepare("INSERT INTO playlists(id, name, created, modified) VALUES(1, 'Road Trip', ?1, ?2)");
        list.bindInt64(1, daysAgo(7)).bindInt64(2, daysAgo(1));
        tx_.run(list);
        const char* entries[] = {
            "Music/The Lanterns/Northern Lights/CD1/01 Aurora.flac",
            "Videos/Movies/The Long Road (2015).mkv",
            "Music/Various/Summer Mix/01 Kite Runner.m4a",
            "Elsewhere/not in library.mp3",
            "Music/Mira Sol/Harbour Songs/05 Lost Chord.mp3",
        };
        Statement entry
            = db_.prepare("INSERT INTO playlist_items(playlist_id, position, uri, source_id) VALUES(1, ?1, ?2, ?3)");
        for (int i = 0; i < int(std::size(entries)); ++i) {
            entry.reset();
            entry.bindInt64(1, i).bindText(2, SeedLibrary::uri(root_, QString::fromUtf8(entries[i])));
            const bool inLibrary = !QByteArray(entries[i]).startsWith("Elsewhere/");
            bindOptional(entry, 3, inLibrary ? sourceId(entries[i]) : 0);
            tx_.run(entry);
        }
    }

    // The scanner's search rows, written last so that they see the tags and the user's values.
    void search()
    {
        Statement ids = db_.prepare("SELECT id FROM sources ORDER BY id");
        Statement insert = db_.prepare(
            "INSERT INTO search(rowid, title, artist, album, composer, genre, tags, comment, path) SELECT i.id, "
            "i.title, IFNULL(i.artist,'') || ' ' || IFNULL(i.album_artist,'') || ' ' || IFNULL(i.show,''), i.album, "
            "i.composer, i.genre, (SELECT group_concat(tag, ' ') FROM source_tags WHERE source_id = i.id), "
            "i.comment, i.uri FROM items i WHERE i.id = ?1");
        while (ids.next()) {
            insert.reset();
            insert.bindInt64(1, ids.columnInt64(0));
            tx_.run(insert);
        }
    }

private:
    Database& db_;
    Transaction& tx_;
    const QString root_;
    const qint64 now_;
    bool complete_ = true;
};

} // namespace

QString SeedLibrary::uri(const QString& mediaRoot, const QString& relativePath)
{
    return QDir::toNativeSeparators(QDir::cleanPath(mediaRoot + QLatin1Char('/') + relativePath));
}

bool SeedLibrary::write(const QString& databasePath, const QString& mediaRoot)
{
    if (QFileInfo::exists(databasePath)) {
        qWarning() << "SeedLibrary: refusing to write over" << databasePath;
        return false;
    }
    Database db;
    if (!db.open(databasePath) || !db.ensureSchema())
        return false;
    Transaction tx(db);
    Writer writer(db, tx, mediaRoot, QDateTime::currentSecsSinceEpoch());
    writer.folders();
    for (const Item& item : items)
        writer.item(item);
    writer.userData();
    writer.playlist();
    writer.search();
    return writer.complete() && tx.commit();
}

} // namespace kvr::test
