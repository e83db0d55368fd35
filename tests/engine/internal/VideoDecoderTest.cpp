#include "engine/internal/VideoDecoder.h"

#include "engine/FrameUtils.h"
#include "engine/Logging.h"
#include "engine/PrivateDirectory.h"
#include "engine/internal/Demuxer.h"
#include "engine/internal/VideoFrameQueue.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <thread>

using namespace kvr::engine;
using namespace kvr::engine::internal;
using kvr::test::fixture;

namespace {

std::string logText()
{
    return kvr::test::readFile(privateDirectory() / "kvr.log");
}

size_t countOf(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// One medium through the real demuxer and the decoder, into a queue large enough that nothing has to take from
// it while the decoder runs (unless a test chooses a small one).
struct Decode {
    Demuxer demuxer;
    VideoDecoder decoder;
    std::shared_ptr<VideoFrameQueue> queue;
    std::atomic<int64_t> decoded { 0 };

    explicit Decode(size_t capacity = 1000)
        : queue(std::make_shared<VideoFrameQueue>(capacity))
    {
        init_logging();
    }
    ~Decode()
    {
        demuxer.join();
        queue->abort();
        decoder.join();
    }

    bool open(const std::string& name, int64_t startUs = 0, bool allowHardware = false)
    {
        if (!demuxer.open(fixture(name), startUs, StreamSelection {}) || demuxer.video.index < 0)
            return false;
        if (!decoder.open(demuxer.video.codecParameters, demuxer.video.timeBase, allowHardware))
            return false;
        decoder.seekTargetUs = startUs;
        return true;
    }
    void start()
    {
        demuxer.start(nullptr);
        decoder.start(&demuxer.videoQueue, queue.get(), &decoded);
    }
    bool waitFinished()
    {
        for (int i = 0; i < 3000 && !decoder.finished.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return decoder.finished.load();
    }
    // Every queued picture, front first.
    std::vector<std::shared_ptr<VideoFrame>> takeAll()
    {
        std::vector<std::shared_ptr<VideoFrame>> out;
        while (auto f = queue->takeDue(INT64_MIN, true))
            out.push_back(std::move(f));
        return out;
    }
    std::vector<std::shared_ptr<VideoFrame>> run()
    {
        start();
        EXPECT_TRUE(waitFinished());
        return takeAll();
    }
};

// The pixel at (x, y) of a frame's first plane, 8- or 16-bit.
int lumaAt(const VideoFrame& f, int x, int y)
{
    const uint8_t* row = f.planes[0] + ptrdiff_t(f.strides[0]) * y;
    if (f.format == 3 || f.format == 4)
        return reinterpret_cast<const uint16_t*>(row)[x];
    return row[x];
}

} // namespace

TEST(VideoDecoder, DeliversEachSourceLayoutInADisplayableFormat)
{
    struct Row {
        const char* file;
        int32_t format;
        bool fullRange;
    };
    const Row rows[] = {
        { "clip.mp4", 1, false }, // yuv420p, wrapped as it is
        { "yuvj420p.mkv", 1, true },
        { "yuv422p.mkv", 1, false }, // through the scaler
        { "yuvj422p-halfblack.mkv", 1, true },
        { "rgb24.mkv", 0, false },
        { "gray.mkv", 0, false },
        { "yuv420p10le.mkv", 3, false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        Decode d;
        ASSERT_TRUE(d.open(row.file));
        EXPECT_FALSE(d.decoder.usesHardware());
        const auto frames = d.run();
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(d.decoded.load(), int64_t(frames.size()));
        int64_t previous = -1;
        for (const auto& f : frames) {
            EXPECT_EQ(f->format, row.format);
            if (f->format != 0) {
                EXPECT_EQ(f->fullRange, row.fullRange);
            }
            EXPECT_GT(f->pts, previous);
            previous = f->pts;
            ASSERT_NE(f->planes[0], nullptr);
            if (f->format == 0) {
                EXPECT_EQ(f->bytesStride, f->width * 4);
                EXPECT_EQ(f->bytes.size(), size_t(f->width) * f->height * 4);
                EXPECT_EQ(f->planes[0], f->bytes.data());
                EXPECT_FALSE(f->owner);
            } else {
                EXPECT_NE(f->planes[1], nullptr);
                EXPECT_TRUE(f->owner);
            }
        }
    }
}

TEST(VideoDecoder, KeepsFullRangeBlackOfFourTwoTwoCameraPictures)
{
    // Left half black, right half white, full range: converted to 4:2:0 the black must stay at 0, not turn into
    // limited range's 16 (grey on screen, since the picture is still flagged full range).
    Decode d;
    ASSERT_TRUE(d.open("yuvj422p-halfblack.mkv"));
    const auto frames = d.run();
    ASSERT_FALSE(frames.empty());
    const VideoFrame& f = *frames.front();
    ASSERT_EQ(f.format, 1);
    EXPECT_TRUE(f.fullRange);
    EXPECT_LE(lumaAt(f, 8, 24), 2);
    EXPECT_GE(lumaAt(f, 56, 24), 252);
    // And the BGRA copy shows true black and white.
    const auto bgra = convertToBgra(f);
    ASSERT_TRUE(bgra);
    EXPECT_LE(bgra->bytes[(24 * 64 + 8) * 4 + 1], 2);
    EXPECT_GE(bgra->bytes[(24 * 64 + 56) * 4 + 1], 252);
}

TEST(VideoDecoder, ChoosesTheColourMatrixByPictureHeightWhenTheStreamNamesNone)
{
    const std::pair<const char*, int32_t> rows[] = { { "h264-718.mp4", 0 }, { "h264-720.mp4", 1 } };
    for (const auto& [file, matrix] : rows) {
        SCOPED_TRACE(file);
        Decode d;
        ASSERT_TRUE(d.open(file));
        const auto frames = d.run();
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.front()->colorMatrix, matrix);
        EXPECT_FALSE(frames.front()->fullRange);
    }
}

TEST(VideoDecoder, SeekDeliversNothingBeforeTheTarget)
{
    // Keyframes every second: the demuxer lands on 1 s, the decoder must skip up to 1.5 s.
    const int64_t target = 1'500'000;
    Decode d;
    ASSERT_TRUE(d.open("clip.mp4", target));
    const auto frames = d.run();
    ASSERT_FALSE(frames.empty());
    for (const auto& f : frames) {
        if (f->pts >= 0) {
            EXPECT_GE(f->pts, target);
        }
    }
    EXPECT_LT(frames.front()->pts, target + 40'000);
    EXPECT_GT(d.decoded.load(), int64_t(frames.size()));
    EXPECT_EQ(countOf(logText(), "VideoDecoder: seek landed target=1500000us"), 1u);
}

TEST(VideoDecoder, SeekPastTheEndShowsTheLastPictureOnceWithoutATime)
{
    Decode d;
    ASSERT_TRUE(d.open("clip.mp4", 60'000'000));
    const auto frames = d.run();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames.front()->pts, -1);
    EXPECT_EQ(frames.front()->width, 320);
    EXPECT_GT(d.decoded.load(), 1);
}

TEST(VideoDecoder, DropsLatePicturesButLetsEveryEighthThrough)
{
    // Reference: every picture's time.
    std::vector<int64_t> all;
    {
        Decode d;
        ASSERT_TRUE(d.open("clip.mp4"));
        for (const auto& f : d.run())
            all.push_back(f->pts);
    }
    ASSERT_GE(all.size(), 30u);

    // The clock, driven by how many pictures were decoded: pictures 2..11 and 13..20 are far behind it,
    // picture 12 and everything after 20 on time.
    Decode d;
    ASSERT_TRUE(d.open("clip.mp4"));
    d.decoder.clock = [&d] {
        const int64_t n = d.decoded.load();
        const bool late = (n >= 2 && n <= 11) || (n >= 13 && n <= 20);
        return late ? int64_t(1) << 40 : int64_t(0);
    };
    std::vector<int64_t> shown;
    for (const auto& f : d.run())
        shown.push_back(f->pts);

    std::vector<int64_t> expected;
    for (size_t i = 0; i < all.size(); ++i) {
        const size_t n = i + 1;
        const bool dropped = (n >= 2 && n <= 8) || n == 10 || n == 11 || (n >= 13 && n <= 19);
        if (!dropped)
            expected.push_back(all[i]);
    }
    EXPECT_EQ(shown, expected);
}

TEST(VideoDecoder, DoesNotDropBeforeTheFirstPictureIsShown)
{
    Decode d;
    ASSERT_TRUE(d.open("clip.mp4"));
    d.decoder.clock = [] { return int64_t(1) << 40; };
    const auto frames = d.run();
    // The first picture, then every eighth of the late ones.
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0]->pts, 0);
    EXPECT_EQ(size_t(d.decoded.load() - 1) / 8 + 1, frames.size());
}

TEST(VideoDecoder, FiltersRebuildOnlyForNewTextOrNewPictureSize)
{
    // size-change.ts: five 64x48 pictures, then five 96x64 ones.
    auto flip = std::make_shared<VideoFilters>();
    flip->hflip = true;
    Decode d(2);
    ASSERT_TRUE(d.open("size-change.ts"));
    d.decoder.setFilters(flip);
    d.start();

    // Wait until the decoder is blocked on the full queue, then give it filters with the same chain text.
    std::vector<std::shared_ptr<VideoFrame>> frames;
    for (int i = 0; i < 500 && d.queue->size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(d.queue->size(), 2u);
    EXPECT_EQ(d.decoder.filterDescription(), "hflip");
    auto same = std::make_shared<VideoFilters>(*flip);
    same->interpolateFps = 30; // not part of the chain while interpolation is off
    d.decoder.setFilters(same);

    while (!d.decoder.finished.load() || d.queue->size() > 0) {
        if (auto f = d.queue->takeDue(INT64_MIN, true))
            frames.push_back(std::move(f));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(frames.size(), 10u);
    EXPECT_EQ(frames.front()->width, 64);
    EXPECT_EQ(frames.back()->width, 96);
    EXPECT_EQ(frames.back()->format, 1);
    EXPECT_EQ(d.decoder.filterDescription(), "hflip");
    // One build for the first size, one for the second; the repeated text built nothing.
    EXPECT_EQ(
        countOf(logText(), "VideoDecoder: filter graph 'hflip,format=pix_fmts=yuv420p|nv12|yuv420p10le|p010le'"), 2u);
}

TEST(VideoDecoder, FilteredPicturesAreReallyFiltered)
{
    std::vector<std::shared_ptr<VideoFrame>> plain;
    {
        Decode d;
        ASSERT_TRUE(d.open("letterbox.mp4"));
        plain = d.run();
    }
    auto crop = std::make_shared<VideoFilters>();
    crop->cropTop = 40;
    crop->cropBottom = 40;
    Decode d;
    ASSERT_TRUE(d.open("letterbox.mp4"));
    d.decoder.setFilters(crop);
    const auto frames = d.run();
    ASSERT_EQ(frames.size(), plain.size());
    ASSERT_FALSE(frames.empty());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i]->height, 160);
        EXPECT_EQ(frames[i]->pts, plain[i]->pts);
    }
    // The decoded letterbox measures 40 rows each way; the cropped picture starts where the bar ended.
    int l = -1, t = -1, r = -1, b = -1;
    EXPECT_TRUE(detectBlackBars(*plain.front(), l, t, r, b));
    EXPECT_EQ(std::vector<int>({ l, t, r, b }), std::vector<int>({ 0, 40, 0, 40 }));
    for (int x = 0; x < 320; x += 7)
        ASSERT_EQ(lumaAt(*frames.front(), x, 0), lumaAt(*plain.front(), x, 40)) << x;
    EXPECT_EQ(d.decoder.filterDescription(), "crop=w=iw-0:h=ih-80:x=0:y=40:exact=1");
    EXPECT_GE(d.decoder.filterMs(), 0.0);
}

TEST(VideoDecoder, FiltersThatHoldPicturesBackGiveThemUpAtTheEnd)
{
    int64_t plain = 0;
    {
        Decode d;
        ASSERT_TRUE(d.open("clip.mp4"));
        plain = int64_t(d.run().size());
    }
    auto denoise = std::make_shared<VideoFilters>();
    denoise->denoise = 2; // atadenoise looks several pictures ahead
    Decode d;
    ASSERT_TRUE(d.open("clip.mp4"));
    d.decoder.setFilters(denoise);
    const auto frames = d.run();
    EXPECT_EQ(int64_t(frames.size()), plain);
    EXPECT_NE(d.decoder.filterDescription(), "");
}

TEST(VideoDecoder, RejectedFilterChainLogsOnceAndPassesPicturesUnfiltered)
{
    auto crop = std::make_shared<VideoFilters>();
    crop->cropLeft = 5000; // wider than the picture: libavfilter refuses it
    Decode d;
    ASSERT_TRUE(d.open("clip.mp4"));
    d.decoder.setFilters(crop);
    const auto frames = d.run();
    EXPECT_EQ(int64_t(frames.size()), d.decoded.load());
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front()->width, 320);
    EXPECT_EQ(d.decoder.filterDescription(), "");
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "[error] VideoDecoder: filter graph 'crop=w=iw-5000"), 1u);
}

TEST(VideoDecoder, WithoutAVaapiDeviceOpensInSoftwareAndDoesNotTryAgain)
{
    Decode first;
    ASSERT_TRUE(first.open("clip.mp4", 0, true));
    if (first.decoder.usesHardware())
        GTEST_SKIP() << "this machine has a VA-API device";
    Decode second;
    ASSERT_TRUE(second.open("clip.mp4", 0, true));
    EXPECT_FALSE(second.decoder.usesHardware());
    EXPECT_FALSE(second.run().empty());
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "[info] VideoDecoder: VA-API device create failed ("), 1u);
    EXPECT_EQ(countOf(log, "; using software"), 1u);
    EXPECT_EQ(countOf(log, "VideoDecoder: opened codec=h264 320x240 pix_fmt=0 [SW]"), 2u);
}

TEST(VideoDecoder, JoinEndsAThreadWaitingOnAFullQueue)
{
    Decode d(1);
    ASSERT_TRUE(d.open("clip.mp4"));
    d.start();
    for (int i = 0; i < 500 && d.queue->size() < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    d.demuxer.join();
    d.queue->abort();
    d.decoder.join();
    EXPECT_TRUE(d.decoder.finished.load());
    EXPECT_LT(d.decoded.load(), 75);
}
