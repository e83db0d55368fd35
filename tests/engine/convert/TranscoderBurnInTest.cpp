// Subtitles burnt into re-encoded video, end to end: each conversion is compared with the same conversion
// without burn-in, picture by picture, region by region. Glyphs come from the system's fonts, so nothing is
// compared pixel for pixel; "unchanged" means within the lossy encoder's noise.
#include "engine/convert/Transcoder.h"
#include "tests/engine/StallingHttpServer.h"
#include "tests/engine/convert/TranscoderTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace kvr::engine;
using kvr::test::convert;
using kvr::test::decodeErrors;
using kvr::test::fixture;
using kvr::test::Warnings;
using Probe = kvr::test::OutputProbe;

namespace {

fs::path scratch(const std::string& name)
{
    return kvr::test::transcodeScratch("burn-in", name);
}

// The luma planes of every picture of a file, as the ffmpeg tool decodes them.
struct Pictures {
    int width = 0;
    int height = 0;
    std::vector<std::vector<uint8_t>> frames;
};

Pictures lumaPlanes(const fs::path& file)
{
    Pictures p;
    Probe probe(file);
    const AVCodecParameters* video = probe.params(AVMEDIA_TYPE_VIDEO);
    if (!video)
        return p;
    p.width = video->width;
    p.height = video->height;
    const std::string command = "ffmpeg -nostdin -v error -i '" + file.string()
        + "' -map 0:v:0 -vf extractplanes=y -f rawvideo -pix_fmt gray -";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return p;
    std::vector<uint8_t> frame(static_cast<size_t>(p.width) * p.height);
    while (std::fread(frame.data(), 1, frame.size(), pipe) == frame.size())
        p.frames.push_back(frame);
    ::pclose(pipe);
    return p;
}

// How two pictures differ within rows [top, bottom): the mean absolute difference, and how many pixels differ
// by more than a glyph's edge would (coding noise stays far below it).
struct Difference {
    double mean = 0;
    int strong = 0;
};

Difference differ(const Pictures& a, const Pictures& b, size_t index, int top, int bottom)
{
    Difference d;
    const std::vector<uint8_t>& x = a.frames[index];
    const std::vector<uint8_t>& y = b.frames[index];
    long sum = 0;
    for (int row = top; row < bottom; ++row)
        for (int col = 0; col < a.width; ++col) {
            const size_t i = static_cast<size_t>(row) * a.width + col;
            const int delta = std::abs(int(x[i]) - int(y[i]));
            sum += delta;
            d.strong += delta > 48 ? 1 : 0;
        }
    d.mean = double(sum) / (double(bottom - top) * a.width);
    return d;
}

TranscodeOptions videoOnly(const std::string& input, const fs::path& output)
{
    TranscodeOptions o;
    o.input = fixture(input).string();
    o.output = output.string();
    o.container = "mp4";
    o.audioCodec = "none";
    return o;
}

// The window of output times (seconds) in which a cue is on, and one in which none is.
struct Expect {
    double onFrom, onTo;
    double offFrom, offTo;
};

// Burns `o` in and checks, against the same conversion without subtitles, that the lower third changes while
// a cue is on and that nothing else does.
void checkBurnIn(TranscodeOptions o, const std::string& name, double fps, const std::vector<Expect>& windows)
{
    TranscodeOptions plain = o;
    plain.subtitles = 0;
    plain.subtitleFile.clear();
    plain.output = scratch(name + "-plain.mp4").string();
    o.subtitles = 3;
    o.output = scratch(name + "-burnt.mp4").string();
    const TranscodeResult reference = convert(plain);
    ASSERT_TRUE(reference.ok) << reference.message;
    const TranscodeResult burnt = convert(o);
    ASSERT_TRUE(burnt.ok) << burnt.message;
    Probe probe(o.output);
    EXPECT_EQ(probe.count(AVMEDIA_TYPE_SUBTITLE), 0);
    EXPECT_EQ(decodeErrors(o.output), "");

    const Pictures a = lumaPlanes(plain.output);
    const Pictures b = lumaPlanes(o.output);
    ASSERT_FALSE(a.frames.empty());
    ASSERT_EQ(a.frames.size(), b.frames.size());
    const int third = a.height * 2 / 3;
    auto frameAt = [&](double t) { return static_cast<size_t>(std::lround(t * fps)); };
    for (const Expect& w : windows) {
        for (size_t i = frameAt(w.onFrom); i <= frameAt(w.onTo) && i < a.frames.size(); ++i) {
            const Difference lower = differ(a, b, i, third, a.height);
            const Difference upper = differ(a, b, i, 0, third);
            EXPECT_GT(lower.strong, a.width * (a.height - third) / 1000) << "no cue drawn in frame " << i;
            EXPECT_LT(upper.strong, 10) << "frame " << i << " changed above the cue";
            EXPECT_LT(upper.mean, 2.5) << "frame " << i << " changed above the cue";
        }
        for (size_t i = frameAt(w.offFrom); i <= frameAt(w.offTo) && i < a.frames.size(); ++i) {
            const Difference whole = differ(a, b, i, 0, a.height);
            EXPECT_LT(whole.strong, 10) << "frame " << i << " changed outside the cues";
            EXPECT_LT(whole.mean, 2.5) << "frame " << i << " changed outside the cues";
        }
    }
}

} // namespace

TEST(TranscoderBurnIn, GraphTextLaysTheOverlayFirst)
{
    EXPECT_EQ(videoGraphText(videoFilterChain("", 0, 0, 240), "yuv420p", true),
        "[in]null[base];[sub]format=rgba[s];[base][s]overlay=format=auto:eof_action=repeat:alpha=premultiplied,"
        "format=yuv420p[out]");
    EXPECT_EQ(videoGraphText(videoFilterChain("", 120, 0, 240), "yuv420p", true),
        "[in]null[base];[sub]format=rgba[s];[base][s]overlay=format=auto:eof_action=repeat:alpha=premultiplied,"
        "scale=-2:120:flags=bicubic,format=yuv420p[out]");
}

// multi.mkv's cues: 0.5-1.5 s and 2.0-2.9 s; frames well inside and well outside them.
const std::vector<Expect> multiCues { { 0.64, 1.36, 0.0, 0.40 }, { 2.12, 2.80, 1.64, 1.92 } };

TEST(TranscoderBurnIn, FromTheInputsSubtitleStream)
{
    TranscodeOptions o = videoOnly("multi.mkv", "");
    o.subtitleStream = 3;
    checkBurnIn(o, "stream", 25, multiCues);
}

TEST(TranscoderBurnIn, FromSubtitleFiles)
{
    for (const char* file : { "inputs/two-cues.srt", "inputs/two-cues.ass" }) {
        SCOPED_TRACE(file);
        TranscodeOptions o = videoOnly("multi.mkv", "");
        o.subtitleFile = fixture(file).string();
        // A file given with a stream index wins; this index names an audio stream.
        o.subtitleStream = 1;
        checkBurnIn(o, fs::path(file).extension().string().substr(1), 25, multiCues);
    }
}

// A file's cues count from the input's start, not from the container's clock, which starts at 1.4 s here: on
// that clock the second cue would show during the first one's time and nothing at its own.
TEST(TranscoderBurnIn, FileCuesFollowTheInputsStart)
{
    TranscodeOptions o = videoOnly("start-offset.ts", "");
    o.subtitleFile = fixture("inputs/two-cues.srt").string();
    checkBurnIn(o, "start-offset", 25, { { 0.64, 1.20, 0.0, 0.36 }, { 2.12, 2.60, 1.64, 1.84 } });
}

// An embedded stream's cues carry the container's clock, which starts at 5 s here, as the pictures do.
TEST(TranscoderBurnIn, StreamCuesFollowTheContainersClock)
{
    TranscodeOptions o = videoOnly("late-start-subs.mkv", "");
    checkBurnIn(o, "late-start", 2, { { 0.5, 1.0, 0.0, 0.0 }, { 2.0, 2.5, 1.5, 1.5 } });
}

// The overlay is premultiplied: a half transparent white box over mid-grey lands halfway between the two.
TEST(TranscoderBurnIn, HalfTransparentBoxBlendsHalfway)
{
    TranscodeOptions o = videoOnly("grey.mkv", scratch("box.mp4"));
    o.subtitles = 3;
    o.subtitleFile = fixture("inputs/half-white-box.ass").string();
    const TranscodeResult r = convert(o);
    ASSERT_TRUE(r.ok) << r.message;
    const Pictures p = lumaPlanes(o.output);
    ASSERT_GE(p.frames.size(), 40u);
    auto mean = [&](size_t index) {
        long sum = 0;
        for (uint8_t v : p.frames[index])
            sum += v;
        return double(sum) / double(p.frames[index].size());
    };
    const double grey = mean(5); // 0.2 s: before the box
    const double white = 235; // video-range white
    const double box = mean(25); // 1.0 s
    EXPECT_NEAR(box, (grey + white) / 2, 8) << "grey " << grey;
}

TEST(TranscoderBurnIn, NoSubtitlesToBurnWarnsAndConverts)
{
    struct Case {
        const char* input;
        int stream;
        const char* warning;
    };
    const Case table[] = {
        { "clip.mp4", -1, "Transcoder: no subtitles to burn in ()" },
        { "multi.mkv", 99, "Transcoder: no subtitles to burn in (no subtitle stream 99)" },
        { "multi.mkv", 1, "Transcoder: no subtitles to burn in (no subtitle stream 1)" },
    };
    for (const Case& c : table) {
        SCOPED_TRACE(std::string(c.input) + " " + std::to_string(c.stream));
        Warnings warnings;
        TranscodeOptions o = videoOnly(c.input, scratch("none-" + std::to_string(c.stream) + ".mp4"));
        o.subtitles = 3;
        o.subtitleStream = c.stream;
        const TranscodeResult r = convert(o);
        ASSERT_TRUE(r.ok) << r.message;
        EXPECT_TRUE(warnings.saw(c.warning)) << c.warning;
        EXPECT_EQ(decodeErrors(o.output), "");
    }
}

// A live input is read once: its subtitles come from the pass's own reads, so the conversion makes progress
// while the source holds back the rest (reading it all ahead first would wait for the end that never comes).
TEST(TranscoderBurnIn, LiveInputIsNotReadAhead)
{
    const std::string film = kvr::test::readFile(fixture("multi.mkv"));
    kvr::test::StallingHttpServer server(film, film.size() / 2);
    TranscodeOptions o;
    o.input = server.url();
    o.container = "ts";
    o.audioCodec = "none";
    o.subtitles = 3;
    o.live = true;
    o.outputSink = [](const uint8_t*, int) { return true; };
    std::atomic<bool> reported { false };
    std::atomic<int> connectionsAtReport { -1 };
    const TranscodeProgressCallback progress = [&](const TranscodeProgress&) {
        if (!reported.exchange(true))
            connectionsAtReport = server.connections.load();
    };
    std::atomic<bool> cancel { false };
    std::atomic<bool> finished { false };
    TranscodeResult result;
    std::thread job([&] {
        result = Transcoder::transcode(o, &progress, &cancel);
        finished = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!reported && !finished && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(reported) << "no progress while the source stalls";
    EXPECT_EQ(connectionsAtReport.load(), 1) << "the input was opened a second time";
    cancel = true;
    job.join();
    EXPECT_TRUE(result.cancelled || result.ok) << result.message;
}
