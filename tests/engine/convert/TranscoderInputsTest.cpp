// Conversions of inputs as they come from the world: a clock far from 0, repeated time stamps, a turned phone
// picture, styled subtitles with their fonts, and an output file that exists only when there is something to
// convert.
#include "engine/convert/Transcoder.h"
#include "tests/engine/convert/TranscoderTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace kvr::engine;
using kvr::test::convert;
using kvr::test::decodeErrors;
using kvr::test::fixture;
using Probe = kvr::test::OutputProbe;

namespace fs = std::filesystem;

namespace {

fs::path scratch(const std::string& name)
{
    return kvr::test::transcodeScratch("inputs", name);
}

TranscodeOptions request(const std::string& input, const fs::path& output, const std::string& container,
    const std::string& video, const std::string& audio)
{
    TranscodeOptions o;
    o.input = fixture(input).string();
    o.output = output.string();
    o.container = container;
    o.videoCodec = video;
    o.audioCodec = audio;
    o.quality = 0;
    return o;
}

// The display matrix of a stream as a clockwise turn in degrees; NAN when it has none.
double clockwiseTurn(const AVStream* stream)
{
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(int32_t))
        return NAN;
    return -av_display_rotation_get(reinterpret_cast<const int32_t*>(data));
}

} // namespace

struct LengthCase {
    const char* input;
    const char* container;
    const char* video;
    const char* audio;
    double seconds;
    int streams;
};

// Each output starts at 0 (within a frame at 25/s), lasts as long as its input and decodes cleanly.
void checkStartAndLength(const std::vector<LengthCase>& table)
{
    for (const LengthCase& c : table) {
        const std::string name = std::string(c.input) + "-" + c.video + "." + c.container;
        SCOPED_TRACE(name);
        const fs::path out = scratch(name);
        const TranscodeResult r = convert(request(c.input, out, c.container, c.video, c.audio));
        ASSERT_TRUE(r.ok) << r.message;
        Probe p(out);
        ASSERT_NE(p.ctx, nullptr);
        EXPECT_EQ(static_cast<int>(p.ctx->nb_streams), c.streams);
        ASSERT_NE(p.ctx->start_time, AV_NOPTS_VALUE);
        EXPECT_NEAR(static_cast<double>(p.ctx->start_time) / AV_TIME_BASE, 0.0, 0.041);
        EXPECT_NEAR(static_cast<double>(p.ctx->duration) / AV_TIME_BASE, c.seconds, 0.1);
        EXPECT_EQ(decodeErrors(out), "");
    }
}

// Whatever clock the input's container ran on (3601 s, a broadcast 1.4 s), the output starts at 0.
TEST(TranscoderInputs, OutputsStartAtZeroWhateverTheInputsClock)
{
    checkStartAndLength({
        { "late.ts", "mp4", "h264", "aac", 5.0, 2 },
        { "late.ts", "mkv", "copy", "copy", 5.0, 2 },
        { "start-offset.ts", "mp4", "copy", "aac", 3.0, 2 },
        { "start-offset.ts", "mkv", "copy", "copy", 3.0, 2 },
    });
}

// A DVD's programme stream starts at 0.53 s, and its AC-3 repeats one time stamp.
TEST(TranscoderInputs, DvdProgrammeStreamStartsAtZero)
{
    checkStartAndLength({
        { "dvd.mpg", "mp4", "h264", "aac", 10.0, 2 },
        { "dvd.mpg", "mkv", "h264", "copy", 10.0, 2 },
    });
}

// The repeated AC-3 time stamp fails neither re-encoded audio nor copied streams.
TEST(TranscoderInputs, RepeatedTimeStampsConvert)
{
    checkStartAndLength({
        { "dvd.mpg", "m4a", "none", "aac", 10.0, 1 },
        { "dvd.mpg", "opus", "none", "opus", 10.0, 1 },
        { "dvd.mpg", "ts", "copy", "copy", 10.0, 2 },
    });
}

// A copied stream whose time stamps repeat says so once and goes on.
TEST(TranscoderInputs, RepeatedTimeStampsOfACopiedStreamAreLoggedOnce)
{
    kvr::test::Warnings warnings;
    const TranscodeResult r = convert(request("dvd.mpg", scratch("dvd-copy.ts"), "ts", "copy", "copy"));
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_TRUE(
        warnings.saw("Transcoder: stream 2 has time stamps that do not increase; moved on to keep them in order"));
}

// A phone's portrait video (display matrix -90 degrees): an encode turns the pictures upright (before the height
// limit) and carries no matrix; a copy keeps the matrix where the container can hold it, and elsewhere goes on
// with a warning.
TEST(TranscoderInputs, TurnedVideoComesOutUpright)
{
    struct Case {
        const char* name;
        const char* container;
        const char* video;
        int maxHeight;
        int width;
        int height;
        double turn; // NAN: no matrix
        bool warned;
    };
    const Case table[] = {
        { "encoded.mp4", "mp4", "h264", 0, 360, 640, NAN, false },
        { "encoded-320.mp4", "mp4", "h264", 320, 180, 320, NAN, false },
        { "encoded.mkv", "mkv", "h264", 0, 360, 640, NAN, false },
        { "copied.mp4", "mp4", "copy", 0, 640, 360, 90, false },
        { "copied.mov", "mov", "copy", 0, 640, 360, 90, false },
        { "copied.mkv", "mkv", "copy", 0, 640, 360, NAN, true },
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        kvr::test::Warnings warnings;
        const fs::path out = scratch(std::string("portrait-") + c.name);
        TranscodeOptions o = request("portrait.mov", out, c.container, c.video, "none");
        o.maxHeight = c.maxHeight;
        const TranscodeResult r = convert(o);
        ASSERT_TRUE(r.ok) << r.message;
        Probe p(out);
        const AVStream* video = p.first(AVMEDIA_TYPE_VIDEO);
        ASSERT_NE(video, nullptr);
        EXPECT_EQ(video->codecpar->width, c.width);
        EXPECT_EQ(video->codecpar->height, c.height);
        const double turn = clockwiseTurn(video);
        if (std::isnan(c.turn))
            EXPECT_TRUE(std::isnan(turn)) << turn;
        else
            EXPECT_NEAR(turn, c.turn, 0.5);
        EXPECT_EQ(av_dict_get(video->metadata, "rotate", nullptr, 0), nullptr);
        EXPECT_EQ(warnings.saw("Transcoder: the mkv container keeps no rotation; the copied video will show unturned"),
            c.warned);
    }
}

TEST(TranscoderInputs, UprightFiltersFollowTheDisplayMatrix)
{
    struct Case {
        double clockwise;
        bool mirrored;
        const char* filters;
        bool sideways;
    };
    const Case table[] = {
        { 0, false, "", false },
        { 90, false, "transpose=clock", true }, // a phone held upright: its matrix reads -90 degrees
        { -90, false, "transpose=cclock", true },
        { 180, false, "hflip,vflip", false },
        { 85, false, "transpose=clock", true }, // to the nearest quarter, as the player shows it
        { 0, true, "hflip", false },
        { 90, true, "transpose=clock,hflip", true },
    };
    for (const Case& c : table) {
        SCOPED_TRACE(std::to_string(c.clockwise) + (c.mirrored ? " mirrored" : ""));
        int32_t matrix[9];
        av_display_rotation_set(matrix, c.clockwise);
        if (c.mirrored)
            av_display_matrix_flip(matrix, 1, 0);
        bool sideways = !c.sideways;
        EXPECT_EQ(uprightFilters(reinterpret_cast<const uint8_t*>(matrix), sizeof matrix, sideways), c.filters);
        EXPECT_EQ(sideways, c.sideways);
    }
    bool sideways = true;
    EXPECT_EQ(uprightFilters(nullptr, 0, sideways), "");
    EXPECT_FALSE(sideways);
    const int32_t degenerate[9] = {};
    EXPECT_EQ(uprightFilters(reinterpret_cast<const uint8_t*>(degenerate), sizeof degenerate, sideways), "");
}

// The turn and the subtitles meet: the cues are drawn over the upright picture, at its size.
TEST(TranscoderInputs, BurntInSubtitlesOverATurnedPicture)
{
    const fs::path out = scratch("portrait-burnt.mp4");
    TranscodeOptions o = request("portrait.mov", out, "mp4", "h264", "none");
    o.subtitles = 3;
    o.subtitleFile = fixture("inputs/two-cues.ass").string();
    const TranscodeResult r = convert(o);
    ASSERT_TRUE(r.ok) << r.message;
    Probe p(out);
    const AVStream* video = p.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->codecpar->width, 360);
    EXPECT_EQ(video->codecpar->height, 640);
    EXPECT_EQ(decodeErrors(out), "");
}

// The position reported follows the video, which an encoder holding frames keeps behind the audio: it never
// goes back.
TEST(TranscoderInputs, ProgressNeverGoesBack)
{
    TranscodeOptions o = request("thirty-seconds.mp4", scratch("progress.mov"), "mov", "h264", "aac");
    o.quality = 3;
    std::vector<TranscodeProgress> reports;
    const TranscodeProgressCallback progress = [&](const TranscodeProgress& p) { reports.push_back(p); };
    const TranscodeResult r = convert(o, &progress);
    ASSERT_TRUE(r.ok) << r.message;
    ASSERT_GE(reports.size(), 2u);
    for (size_t i = 1; i < reports.size(); ++i)
        EXPECT_GE(reports[i].fraction, reports[i - 1].fraction) << "report " << i;
    EXPECT_EQ(reports.back().fraction, 1.0);
}

// Copied styled subtitles into Matroska bring the fonts they are drawn with.
TEST(TranscoderInputs, CopiedSubtitlesBringTheirFonts)
{
    const fs::path out = scratch("styled.mkv");
    TranscodeOptions o = request("styled-subs.mkv", out, "mkv", "copy", "none");
    o.subtitles = 1;
    const TranscodeResult r = convert(o);
    ASSERT_TRUE(r.ok) << r.message;
    Probe p(out);
    EXPECT_EQ(p.count(AVMEDIA_TYPE_SUBTITLE), 1);
    const AVStream* font = p.first(AVMEDIA_TYPE_ATTACHMENT);
    ASSERT_NE(font, nullptr);
    const AVDictionaryEntry* file = av_dict_get(font->metadata, "filename", nullptr, 0);
    const AVDictionaryEntry* mime = av_dict_get(font->metadata, "mimetype", nullptr, 0);
    ASSERT_NE(file, nullptr);
    ASSERT_NE(mime, nullptr);
    EXPECT_STREQ(file->value, "tiny.ttf");
    EXPECT_STREQ(mime->value, "application/x-truetype-font");
    EXPECT_EQ(font->codecpar->extradata_size, static_cast<int>(fs::file_size(fixture("inputs/tiny.ttf"))));
}

// With nothing to convert the run fails before the output is created: no file, and an existing one is left as
// it was.
TEST(TranscoderInputs, NothingToConvertCreatesNoFile)
{
    const fs::path out = scratch("nothing.mp4");
    fs::remove(out);
    TranscodeOptions o = request("subtitle-only.mkv", out, "mp4", "h264", "aac");
    TranscodeResult r = convert(o);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "input: nothing to convert (no matching audio or video stream)");
    EXPECT_FALSE(r.outputOpened);
    EXPECT_FALSE(fs::exists(out));

    std::ofstream(out) << "the user's own";
    r = convert(o);
    EXPECT_FALSE(r.outputOpened);
    EXPECT_EQ(kvr::test::readFile(out), "the user's own");
}

// Chapters move with the streams: this file's sound starts 0.968 s in, so its chapters come that much earlier
// and the first one starts at 0.
TEST(TranscoderInputs, ChaptersMoveWithTheStart)
{
    const fs::path out = scratch("late-chapters.mkv");
    TranscodeOptions o = request("late-chapters.mkv", out, "mkv", "none", "copy");
    const TranscodeResult r = convert(o);
    ASSERT_TRUE(r.ok) << r.message;
    Probe in(fixture("late-chapters.mkv"));
    Probe p(out);
    ASSERT_NE(p.ctx, nullptr);
    ASSERT_EQ(p.ctx->nb_chapters, 2u);
    const double startS = static_cast<double>(in.ctx->start_time) / AV_TIME_BASE;
    ASSERT_GT(startS, 0.5);
    const auto seconds = [](const AVChapter* c, int64_t t) { return static_cast<double>(t) * av_q2d(c->time_base); };
    EXPECT_EQ(p.ctx->chapters[0]->start, 0);
    EXPECT_NEAR(seconds(p.ctx->chapters[0], p.ctx->chapters[0]->end), 1.5 - startS, 0.002);
    EXPECT_NEAR(seconds(p.ctx->chapters[1], p.ctx->chapters[1]->start), 1.5 - startS, 0.002);
    EXPECT_NEAR(seconds(p.ctx->chapters[1], p.ctx->chapters[1]->end), 2.5 - startS, 0.002);
}
