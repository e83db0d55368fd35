#include "engine/convert/MediaProbe.h"
#include "tests/support/TestSupport.h"
#include "ui/library/LibraryScanner.h"

#include <QFileInfo>
#include <QStringList>
#include <gtest/gtest.h>

#include <cmath>

using kvr::engine::MediaInfo;
using kvr::engine::MediaTag;
using kvr::ui::library::LibraryScanner;

namespace {

constexpr int64_t minute = 60'000'000;

// The fields that differ from a fresh record, in record order ("title=''" for an empty but found text), so one
// line shows both what was filled and that nothing else was.
QString summary(const LibraryScanner::Metadata& m)
{
    QStringList out;
    auto text = [&out](const char* name, const QString& value) {
        if (!value.isNull())
            out << QStringLiteral("%1=%2").arg(name, value.isEmpty() ? QStringLiteral("''") : value);
    };
    auto number = [&out](const char* name, double value) {
        if (value != 0 && !std::isnan(value))
            out << QStringLiteral("%1=%2").arg(name).arg(value);
    };
    text("title", m.title);
    text("artist", m.artist);
    text("albumArtist", m.albumArtist);
    text("album", m.album);
    text("genre", m.genre);
    text("composer", m.composer);
    text("comment", m.comment);
    text("lyrics", m.lyrics);
    text("show", m.show);
    text("director", m.director);
    text("description", m.description);
    number("year", m.year);
    number("track", m.trackNumber);
    number("trackTotal", m.trackTotal);
    number("disc", m.discNumber);
    number("discTotal", m.discTotal);
    number("bpm", m.bpm);
    number("season", m.season);
    number("episode", m.episode);
    if (m.compilation)
        out << "compilation";
    if (!std::isnan(m.rgTrack))
        out << QStringLiteral("rgTrack=%1").arg(m.rgTrack);
    if (!std::isnan(m.rgAlbum))
        out << QStringLiteral("rgAlbum=%1").arg(m.rgAlbum);
    if (m.lowConfidence)
        out << "low";
    text("category", m.category);
    for (auto it = m.extra.cbegin(); it != m.extra.cend(); ++it)
        out << QStringLiteral("extra[%1]=%2").arg(it.key(), it.value().toString());
    return out.join(" | ");
}

struct TagCase {
    const char* name;
    const char* path;
    bool video;
    int64_t durationUs;
    std::vector<MediaTag> tags;
    const char* expected;
};

const TagCase tagCases[] = {
    // Tags
    { "key case", "/m/a.mp3", false, 0, { { "TITLE", "Song" }, { "Artist", "Band" }, { "tbpm", "120" } },
        "title=Song | artist=Band | bpm=120 | extra[tbpm]=120" },
    { "only the first tag of a key counts", "/m/a.mp3", false, 0,
        { { "title", " Song " }, { "TITLE", "Other" }, { "artist", "Band" } }, "title=Song | artist=Band" },
    { "performer stands in for an empty artist", "/m/a.mp3", false, 0,
        { { "title", "Song" }, { "artist", "" }, { "performer", "Solo" } }, "title=Song | artist=Solo" },
    { "album_artist over album artist", "/m/a.mp3", false, 0,
        { { "title", "T" }, { "artist", "A" }, { "album artist", "Spaced" }, { "album_artist", "Under" } },
        "title=T | artist=A | albumArtist=Under | extra[album artist]=Spaced" },
    { "compilation 1", "/m/a.mp3", false, 0, { { "title", "T" }, { "artist", "A" }, { "compilation", "1" } },
        "title=T | artist=A | albumArtist=Various Artists | compilation | extra[compilation]=1" },
    { "compilation true", "/m/a.mp3", false, 0, { { "title", "T" }, { "artist", "A" }, { "compilation", "true" } },
        "title=T | artist=A | extra[compilation]=true" },
    { "compilation 01", "/m/a.mp3", false, 0, { { "title", "T" }, { "artist", "A" }, { "TCMP", "01" } },
        "title=T | artist=A | extra[TCMP]=01" },
    { "date 0 ends the year lookup", "/m/a.mp3", false, 0,
        { { "title", "T" }, { "artist", "A" }, { "date", "0" }, { "year", "2001" } }, "title=T | artist=A" },
    { "date of five digits", "/m/a.mp3", false, 0, { { "title", "T" }, { "artist", "A" }, { "date", "20190" } },
        "title=T | artist=A" },
    { "full date", "/m/a.mp3", false, 0, { { "title", "T" }, { "artist", "A" }, { "date", "1999-12-31" } },
        "title=T | artist=A | year=1999" },
    { "creation time", "/v/a.mp4", true, 0, { { "title", "T" }, { "creation_time", "2019-05-01T10:00:00" } },
        "title=T | year=2019 | category=other" },
    { "numbers after a slash", "/m/a.flac", false, 0,
        { { "title", "T" }, { "artist", "A" }, { "track", "3/12" }, { "disc", "1 / 2" } },
        "title=T | artist=A | track=3 | trackTotal=12 | disc=1 | discTotal=2" },
    { "totals from their own tags", "/m/a.flac", false, 0,
        { { "title", "T" }, { "artist", "A" }, { "tracknumber", "3" }, { "TRACKTOTAL", "12" }, { "disc", "2" },
            { "totaldiscs", "3" } },
        "title=T | artist=A | track=3 | trackTotal=12 | disc=2 | discTotal=3 | extra[TRACKTOTAL]=12 | "
        "extra[totaldiscs]=3" },
    { "replay gain", "/m/a.flac", false, 0,
        { { "title", "T" }, { "artist", "A" }, { "REPLAYGAIN_TRACK_GAIN", "-6.54 dB" },
            { "replaygain_album_gain", "loud" } },
        "title=T | artist=A | rgTrack=-6.54 | rgAlbum=0 | extra[REPLAYGAIN_TRACK_GAIN]=-6.54 dB | "
        "extra[replaygain_album_gain]=loud" },
    { "a gain that is not finite", "/m/a.flac", false, 0,
        { { "title", "T" }, { "artist", "A" }, { "REPLAYGAIN_TRACK_GAIN", "inf dB" },
            { "REPLAYGAIN_ALBUM_GAIN", "nan" } },
        "title=T | artist=A | rgTrack=0 | rgAlbum=0 | extra[REPLAYGAIN_ALBUM_GAIN]=nan | "
        "extra[REPLAYGAIN_TRACK_GAIN]=inf dB" },
    { "comment and description stand in for each other", "/m/a.flac", false, 0,
        { { "title", "T" }, { "artist", "A" }, { "description", "About" }, { "genre", "Jazz" } },
        "title=T | artist=A | genre=Jazz | comment=About | description=About" },
    { "blank title is found, and parsed over", "/m/Artist - Song.mp3", false, 0, { { "title", "   " } },
        "title=Song | artist=Artist | low" },
    { "extra keeps the untrimmed value, the last of a key", "/m/a.mp3", false, 0,
        { { "title", "T" }, { "artist", "A" }, { "encoder", "Lavf" }, { "Mood", " calm" }, { "Mood", "happy " } },
        "title=T | artist=A | extra[Mood]=happy " },
    // Video names
    { "dotted episode", "/v/Show.Name.S01E02.mkv", true, 0, {},
        "title=Episode 2 | show=Show Name | season=1 | episode=2 | low | category=episode" },
    { "episode with title", "/v/Show Name - S01E02 - Pilot.mkv", true, 0, {},
        "title=Pilot | show=Show Name | season=1 | episode=2 | low | category=episode" },
    { "cross pattern", "/v/Show_Name_1x02.mkv", true, 0, {},
        "title=Episode 2 | show=Show Name | season=1 | episode=2 | low | category=episode" },
    { "cross pattern needs a lower-case x", "/v/Show Name 1X02.mkv", true, 0, {},
        "title=Show Name 1X02 | low | category=other" },
    { "season folder", "/v/My Show/Season 2/05 Episode Title.mkv", true, 0, {},
        "title=05 Episode Title | show=My Show | season=2 | episode=5 | low | category=episode" },
    { "season folder in capitals", "/v/My Show/SEASON 2/05 Episode Title.mkv", true, 0, {},
        "title=05 Episode Title | show=My Show | season=2 | episode=5 | low | category=episode" },
    { "season folder without a space", "/v/My_Show/Season2/05 Episode Title.mkv", true, 0, {},
        "title=05 Episode Title | show=My Show | season=2 | episode=5 | low | category=episode" },
    { "not a season folder", "/v/My Show/Season 2 Extras/05 Episode Title.mkv", true, 0, {},
        "title=05 Episode Title | low | category=other" },
    { "movie with year", "/v/Movie.Title.1999.1080p.mkv", true, 0, {},
        "title=Movie Title | year=1999 | low | category=movie" },
    { "movie with year in brackets", "/v/Movie Title (2004).mkv", true, 0, {},
        "title=Movie Title | year=2004 | low | category=movie" },
    { "a year alone is a title", "/v/2001.mkv", true, 0, {}, "title=2001 | low | category=other" },
    { "41 minutes", "/v/holiday_clip.mkv", true, 41 * minute, {}, "title=holiday clip | low | category=movie" },
    { "40 minutes", "/v/holiday_clip.mkv", true, 40 * minute, {}, "title=holiday clip | low | category=other" },
    { "episode from tags", "/v/x.S09E09.mkv", true, 0,
        { { "title", "Pilot" }, { "show", "Tagged" }, { "season_number", "3" }, { "episode_sort", "4" } },
        "title=Pilot | show=Tagged | season=3 | episode=4 | category=episode" },
    { "title tag kept over the name", "/v/Movie.Title.1999.mkv", true, 0, { { "title", "Real Title" } },
        "title=Real Title | year=1999 | low | category=movie" },
    // Audio names
    { "track - title", "/m/The Artist/The Album/01 - Song.mp3", false, 0, {},
        "title=Song | artist=The Artist | album=The Album | track=1 | low" },
    { "artist - title", "/m/Artist - Song.mp3", false, 0, {}, "title=Song | artist=Artist | low" },
    { "a long number is an artist", "/m/1999 - Song.mp3", false, 0, {}, "title=Song | artist=1999 | low" },
    { "three parts", "/m/A - B - C.mp3", false, 0, {}, "title=A - B - C | low" },
    { "one part", "/m/just.a.name.mp3", false, 0, {}, "title=just.a.name | low" },
    { "four parts and more", "/m/Artist - Album - 07 - Side A - Side B.mp3", false, 0, {},
        "title=Side A - Side B | artist=Artist | album=Album | track=7 | low" },
    { "empty parts are kept", "/m/Artist -  - 07 - Song.mp3", false, 0, {},
        "title=Song | artist=Artist | album='' | track=7 | low" },
    { "a tag fills first", "/m/Artist - Song.mp3", false, 0, { { "title", "Tagged" } },
        "title=Tagged | artist=Artist | low" },
    { "title and artist tags are never parsed", "/m/Artist - Album - 07 - Song.mp3", false, 0,
        { { "title", "T" }, { "artist", "A" } }, "title=T | artist=A" },
};

} // namespace

TEST(LibraryMetadata, ReadTagsAndFileNames)
{
    for (const TagCase& c : tagCases) {
        MediaInfo info;
        info.durationUs = c.durationUs;
        info.tags = c.tags;
        const LibraryScanner::Metadata m
            = LibraryScanner::readTags(QFileInfo(QString::fromUtf8(c.path)), info, c.video);
        EXPECT_EQ(summary(m).toStdString(), c.expected) << c.name;
    }
}

TEST(LibraryMetadata, Helpers)
{
    struct NumberCase {
        const char* text;
        int leading;
        int afterSlash;
    };
    const NumberCase numbers[] = {
        { "  42abc", 42, 0 },
        { "3 / 12", 3, 12 },
        { "x1/2", 0, 2 },
        { "7/x/9", 7, 9 },
        { "99999999999/99999999999", 0, 0 },
        { "", 0, 0 },
    };
    for (const NumberCase& n : numbers) {
        EXPECT_EQ(LibraryScanner::leadingNumber(n.text), n.leading) << n.text;
        EXPECT_EQ(LibraryScanner::totalAfterSlash(n.text), n.afterSlash) << n.text;
    }
    EXPECT_EQ(LibraryScanner::cleanName(" Show_Name..Take\t2_ "), "Show Name Take 2");

    MediaInfo info;
    info.tags = { { "TITLE", "  " }, { "title", "Later" }, { "Name", " Given " } };
    const QString blank = LibraryScanner::firstTag(info, { "title", "name" });
    EXPECT_TRUE(blank.isEmpty() && !blank.isNull()) << "a blank first tag ends the lookup";
    EXPECT_EQ(LibraryScanner::firstTag(info, { "nothing", "NAME" }), "Given");
    EXPECT_TRUE(LibraryScanner::firstTag(info, { "titl", "titles" }).isNull());
}

// The probe's tags of real files come through as the table above expects.
TEST(LibraryMetadata, ReadsProbedFiles)
{
    const QString ogg = QString::fromStdString(kvr::test::fixture("tags.ogg").string());
    const MediaInfo oggInfo = kvr::engine::probeMedia(ogg.toStdString());
    ASSERT_FALSE(oggInfo.tracks.empty());
    const LibraryScanner::Metadata m = LibraryScanner::readTags(QFileInfo(ogg), oggInfo, false);
    EXPECT_EQ(m.title, "Ogg Title");
    EXPECT_EQ(m.artist, "Ogg Artist");
    EXPECT_DOUBLE_EQ(m.rgTrack, -3.5);
    EXPECT_TRUE(std::isnan(m.rgAlbum));
    EXPECT_FALSE(m.lowConfidence);
    bool gainKept = false;
    for (auto it = m.extra.cbegin(); it != m.extra.cend(); ++it)
        gainKept |= it.key().compare("replaygain_track_gain", Qt::CaseInsensitive) == 0 && it.value() == "-3.50 dB";
    EXPECT_TRUE(gainKept) << summary(m).toStdString();
    EXPECT_FALSE(m.extra.contains("encoder")) << "a known key";

    const QString mp3 = QString::fromStdString(kvr::test::fixture("cover.mp3").string());
    const LibraryScanner::Metadata tone
        = LibraryScanner::readTags(QFileInfo(mp3), kvr::engine::probeMedia(mp3.toStdString()), false);
    EXPECT_EQ(tone.title, "Tone");
    EXPECT_EQ(tone.artist, "Fixture");
    EXPECT_TRUE(tone.category.isNull());
}
