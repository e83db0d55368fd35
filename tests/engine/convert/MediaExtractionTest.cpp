#include "engine/convert/MediaExtraction.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

using namespace kvr::engine;

namespace {

std::string fixturePath(const std::string& name)
{
    return kvr::test::fixture(name).string();
}

// The first frame ffmpeg itself decodes (from `seconds` on, exactly), as packed BGRA of the given size, converted
// with the scaler flags given.
std::string ffmpegBgra(const std::string& name, const std::string& stream, double seconds, int width, int height,
    const std::string& flags = "bicubic+accurate_rnd")
{
    static std::atomic<int> counter { 0 };
    const auto out = kvr::test::scratchDirectory() / ("reference-" + std::to_string(counter++) + ".bgra");
    // An attached picture comes only from an input read from its start.
    const std::string seek = seconds > 0 ? "-ss " + std::to_string(seconds) + " " : "";
    const std::string command = "ffmpeg -nostdin -v error -y " + seek + "-i '" + fixturePath(name) + "' -map " + stream
        + " -frames:v 1 -sws_flags " + flags + " -vf scale=" + std::to_string(width) + ":" + std::to_string(height)
        + " -f rawvideo -pix_fmt bgra '" + out.string() + "'";
    EXPECT_EQ(kvr::test::runCommand(command), 0) << command;
    return kvr::test::readFile(out);
}

// Mean absolute difference over every byte; a large value on the first mismatch in size.
double meanDifference(const VideoFrame& frame, const std::string& reference)
{
    if (reference.size() != frame.bytes.size())
        return 1e9;
    double sum = 0;
    for (size_t i = 0; i < reference.size(); ++i)
        sum += std::abs(int(uint8_t(reference[i])) - int(frame.bytes[i]));
    return sum / double(reference.size());
}

void expectPackedBgra(const VideoFrame& frame)
{
    EXPECT_EQ(frame.format, 0);
    EXPECT_EQ(frame.strides[0], frame.width * 4);
    EXPECT_EQ(frame.bytesStride, frame.width * 4);
    EXPECT_EQ(frame.planes[0], frame.bytes.data());
    EXPECT_EQ(frame.bytes.size(), size_t(frame.width) * 4 * size_t(frame.height));
}

// The peak resident size in KiB, after resetting it to the present size.
void resetPeakResidentSize()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}
long peakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}
long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// Presentation times, in seconds, of the video stream's key frames.
std::vector<double> keyFrameTimes(const std::string& name, double& duration)
{
    std::vector<double> times;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, fixturePath(name).c_str(), nullptr, nullptr) < 0)
        return times;
    avformat_find_stream_info(format, nullptr);
    duration = double(format->duration) / AV_TIME_BASE;
    const int video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVPacket* packet = av_packet_alloc();
    while (video >= 0 && av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == video && (packet->flags & AV_PKT_FLAG_KEY) && packet->pts != AV_NOPTS_VALUE)
            times.push_back(double(packet->pts) * av_q2d(format->streams[video]->time_base));
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return times;
}

std::string webVttByFfmpeg(const std::string& name)
{
    const auto out = kvr::test::scratchDirectory() / (name + ".vtt");
    const std::string command = "ffmpeg -nostdin -v error -y -i '" + fixturePath(name)
        + "' -map 0:s -c:s webvtt -f webvtt '" + out.string() + "'";
    EXPECT_EQ(kvr::test::runCommand(command), 0) << command;
    return kvr::test::readFile(out);
}

} // namespace

TEST(CoverArt, DecodesTheAttachedPictureAsPackedBgra)
{
    const auto cover = extractCoverArt(fixturePath("cover.mp3"));
    ASSERT_TRUE(cover);
    EXPECT_EQ(cover->width, 200);
    EXPECT_EQ(cover->height, 200);
    EXPECT_EQ(cover->strides[0], 800);
    expectPackedBgra(*cover);
    // The same colours as ffmpeg's own decode.
    EXPECT_LT(meanDifference(*cover, ffmpegBgra("cover.mp3", "0:v", 0, 200, 200, "bilinear+accurate_rnd")), 0.5);

    // A picture larger than 4096 on a side comes scaled down, keeping its shape and colour (pure blue).
    const auto wide = extractCoverArt(fixturePath("cover-wide.mp3"));
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->width, 4096);
    EXPECT_EQ(wide->height, 1024);
    expectPackedBgra(*wide);
    const uint8_t* middle = wide->bytes.data() + size_t(512) * wide->bytesStride + 2048 * 4;
    EXPECT_GT(middle[0], 230);
    EXPECT_LT(middle[1], 25);
    EXPECT_LT(middle[2], 25);
    EXPECT_EQ(middle[3], 255);
}

TEST(CoverArt, GivesNothingWithoutAPicture)
{
    for (const char* name : { "clip.mp4", "garbage.mp4", "tone3.wav", "no-such-file.mp3" })
        EXPECT_FALSE(extractCoverArt(fixturePath(name))) << name;
}

TEST(CoverArt, RefusesAHugePictureBeforeDecodingIt)
{
    // 9000 x 9000: 243 MB as decoded RGB, 324 MB as BGRA.
    const long before = residentKiB();
    resetPeakResidentSize();
    EXPECT_FALSE(extractCoverArt(fixturePath("cover-huge.mp3")));
    const long peak = peakResidentKiB();
    ASSERT_GT(before, 0);
    ASSERT_GT(peak, 0);
    EXPECT_LT(peak - before, 64 * 1024);
}

TEST(Thumbnail, SizesTheFrameToItsDisplayAspectWithinTheWidthLimit)
{
    const struct {
        const char* name;
        int maxWidth;
        int width;
        int height;
        int rotation;
    } cases[] = {
        { "snapshot-sar.mkv", 640, 640, 480, 0 }, // 720x576 at 16/15: 768 wide on screen
        { "frame-1080.mp4", 640, 640, 360, 0 },
        { "clip.mp4", 640, 320, 240, 0 },
        { "rotated.mp4", 640, 320, 240, 90 }, // display matrix angle -90 degrees
        { "snapshot-sar-1000.mp4", 640, 640, 40, 0 }, // 16x1000 at 1000/1: 16000 wide
        // 16x4096 at 4000/1 would be 64000 wide: the display width stops at 16384, so 4096 x 640 / 16384 high.
        { "sar-extreme.mp4", 640, 640, 160, 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " within " + std::to_string(c.maxWidth));
        const auto frame = extractThumbnail(fixturePath(c.name), 0.1, c.maxWidth);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->width, c.width);
        EXPECT_EQ(frame->height, c.height);
        EXPECT_EQ(frame->rotation, c.rotation);
        expectPackedBgra(*frame);
    }
}

TEST(Thumbnail, GivesNothingWithoutVideo)
{
    // cover.mp3's only picture is its cover, which is no video frame; it still has cover art.
    for (const char* name : { "cover.mp3", "tone3.wav", "subtitle-only.mkv", "garbage.mp4", "no-such-file.mp4" })
        EXPECT_FALSE(extractThumbnail(fixturePath(name), 0.1, 640)) << name;
    EXPECT_FALSE(extractThumbnail(fixturePath("clip.mp4"), 0.1, 0));
}

TEST(Thumbnail, TakesTheKeyFrameAtOrBeforeTheFractionOfTheDuration)
{
    double duration = 0;
    const auto keys = keyFrameTimes("thirty-seconds.mp4", duration);
    ASSERT_GT(duration, 25.0);
    ASSERT_GE(keys.size(), 3u);
    // Fraction 1.0 looks at 95 % of the duration, never at the end.
    double expected = keys.front();
    double previous = keys.front();
    for (double t : keys)
        if (t <= duration * 0.95) {
            previous = expected;
            expected = t;
        }
    ASSERT_LT(previous, expected);

    const auto last = extractThumbnail(fixturePath("thirty-seconds.mp4"), 1.0, 640);
    ASSERT_TRUE(last);
    EXPECT_LT(meanDifference(*last, ffmpegBgra("thirty-seconds.mp4", "0:v", expected, 160, 120)), 0.5);
    // The comparison tells frames apart: the key frame before differs far more.
    EXPECT_GT(meanDifference(*last, ffmpegBgra("thirty-seconds.mp4", "0:v", previous, 160, 120)), 4.0);

    // Fraction 0 starts at the beginning.
    const auto first = extractThumbnail(fixturePath("thirty-seconds.mp4"), 0.0, 640);
    ASSERT_TRUE(first);
    EXPECT_LT(meanDifference(*first, ffmpegBgra("thirty-seconds.mp4", "0:v", 0, 160, 120)), 0.5);
}

TEST(Thumbnail, StartsAtTheBeginningWhenTheContainerStatesNoDuration)
{
    AVFormatContext* format = nullptr;
    ASSERT_EQ(avformat_open_input(&format, fixturePath("video-no-duration.mkv").c_str(), nullptr, nullptr), 0);
    avformat_find_stream_info(format, nullptr);
    EXPECT_EQ(format->duration, AV_NOPTS_VALUE);
    avformat_close_input(&format);

    const auto frame = extractThumbnail(fixturePath("video-no-duration.mkv"), 0.9, 640);
    ASSERT_TRUE(frame);
    EXPECT_LT(meanDifference(*frame, ffmpegBgra("video-only.mkv", "0:v", 0, 320, 240)), 0.5);
    EXPECT_GT(meanDifference(*frame, ffmpegBgra("video-only.mkv", "0:v", 2.5, 320, 240)), 4.0);
}

TEST(Thumbnail, KeepsTheRangeOfAFullRangeFrame)
{
    // yuv420p flagged full range (not one of the J layouts swscale knows): luma 31 and 224, left and right.
    const auto frame = extractThumbnail(fixturePath("fullrange-greys.mkv"), 0.0, 640);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->width, 64);
    const uint8_t* left = frame->bytes.data() + size_t(24) * frame->bytesStride + 8 * 4;
    const uint8_t* right = frame->bytes.data() + size_t(24) * frame->bytesStride + 56 * 4;
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(left[c], 31, 3) << "channel " << c;
        EXPECT_NEAR(right[c], 224, 3) << "channel " << c;
    }
}

TEST(WebVttExport, WritesWhatFfmpegWritesForATextTrack)
{
    const std::string expected = webVttByFfmpeg("multi.mkv");
    ASSERT_NE(expected.find("00:00.521 --> "), std::string::npos) << expected;
    ASSERT_NE(expected.find("00:02.021 --> "), std::string::npos) << expected;
    // The SRT stream is 3; an index naming the audio stream, or none, falls back to the best subtitle stream.
    for (int index : { 3, 1, -1, 99 }) {
        std::string text;
        std::string error = "stale";
        EXPECT_TRUE(exportSubtitlesAsWebVtt(fixturePath("multi.mkv"), index, text, error)) << index;
        EXPECT_EQ(text, expected) << index;
        EXPECT_EQ(error, "") << index;
    }
}

TEST(WebVttExport, GivesACueWithoutAnyStatedLengthThreeSeconds)
{
    // VPlayer lines give only start times: the first cue lasts until the next, the last has no end and its
    // packet no duration (FFmpeg marks it -1, and its own command line makes that cue last 1193 hours).
    const auto path = kvr::test::scratchDirectory() / "cues.txt";
    std::ofstream(path) << "00:00:01.50:First cue\n00:00:04.00:Last cue\n";
    std::string text;
    std::string error;
    ASSERT_TRUE(exportSubtitlesAsWebVtt(path.string(), -1, text, error)) << error;
    EXPECT_EQ(text, "WEBVTT\n\n00:01.500 --> 00:04.000\nFirst cue\n\n00:04.000 --> 00:07.000\nLast cue\n");
}

TEST(WebVttExport, NamesWhatStandsInTheWay)
{
    const struct {
        const char* name;
        const char* message;
    } cases[] = {
        { "dvb-subs.mkv", "Picture-based subtitles cannot be sent as text" },
        { "clip.mp4", "No subtitle track" },
        { "no-such-file.mkv", "The subtitle source could not be opened" },
        { "garbage.mp4", "The subtitle source could not be opened" },
        { "subs-no-packets.mkv", "The subtitle track has no text cues" },
    };
    for (const auto& c : cases) {
        std::string text;
        std::string error;
        EXPECT_FALSE(exportSubtitlesAsWebVtt(fixturePath(c.name), -1, text, error)) << c.name;
        EXPECT_EQ(error, c.message) << c.name;
    }
    // A track without cues still gives the document's header.
    std::string text;
    std::string error;
    exportSubtitlesAsWebVtt(fixturePath("subs-no-packets.mkv"), 1, text, error);
    EXPECT_EQ(text, "WEBVTT\n");
}

TEST(MediaExtraction, EightThreadsAtOnceGiveWhatOneGivesAlone)
{
    struct Result {
        std::vector<uint8_t> cover;
        std::vector<uint8_t> thumbnail;
        int thumbnailWidth = 0;
        int rotation = 0;
        std::string webvtt;
        std::string error;
        bool exported = false;
        bool operator==(const Result&) const = default;
    };
    const std::vector<std::string> names
        = { "cover.mp3", "multi.mkv", "rotated.mp4", "snapshot-sar.mkv", "dvb-subs.mkv", "clip.mp4", "garbage.mp4" };
    const auto run = [](const std::string& name) {
        Result r;
        const std::string path = fixturePath(name);
        if (auto cover = extractCoverArt(path))
            r.cover = cover->bytes;
        if (auto frame = extractThumbnail(path, 0.5, 200)) {
            r.thumbnail = frame->bytes;
            r.thumbnailWidth = frame->width;
            r.rotation = frame->rotation;
        }
        r.exported = exportSubtitlesAsWebVtt(path, -1, r.webvtt, r.error);
        return r;
    };
    std::vector<Result> alone;
    for (const auto& name : names)
        alone.push_back(run(name));
    EXPECT_FALSE(alone[0].cover.empty());
    EXPECT_TRUE(alone[1].exported);
    EXPECT_EQ(alone[2].rotation, 90);

    constexpr int threadCount = 8;
    std::vector<std::vector<Result>> together(threadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([&, t] {
            // Each thread starts at another file, so different work overlaps.
            for (size_t i = 0; i < names.size(); ++i)
                together[t].push_back(run(names[(i + size_t(t)) % names.size()]));
        });
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < threadCount; ++t)
        for (size_t i = 0; i < names.size(); ++i) {
            const size_t n = (i + size_t(t)) % names.size();
            EXPECT_TRUE(together[t][i] == alone[n]) << names[n] << " on thread " << t;
        }
}
