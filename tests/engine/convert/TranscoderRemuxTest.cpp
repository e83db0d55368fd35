// Conversions that copy streams into another container, end to end on generated media.
#include "engine/convert/Transcoder.h"
#include "tests/engine/StallingHttpServer.h"
#include "tests/engine/convert/TranscoderTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace kvr::engine;
using kvr::test::convert;
using kvr::test::fixture;
using Probe = kvr::test::OutputProbe;
using kvr::test::readFile;

namespace {

fs::path scratch(const std::string& name)
{
    return kvr::test::transcodeScratch("remux", name);
}

TranscodeOptions remux(const fs::path& input, const fs::path& output, const std::string& container)
{
    TranscodeOptions o;
    o.input = input.string();
    o.output = output.string();
    o.container = container;
    o.videoCodec = "copy";
    o.audioCodec = "copy";
    return o;
}

std::string tag(const AVDictionary* dict, const char* key)
{
    const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
    return e ? e->value : "";
}

} // namespace

TEST(TranscoderRemux, MkvToMp4CopiesWithTheIndexInFront)
{
    const fs::path out = scratch("multi.mp4");
    const TranscodeResult r = convert(remux(fixture("multi.mkv"), out, "mp4"));
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_TRUE(r.outputOpened);
    EXPECT_TRUE(r.message.empty());
    const std::string bytes = readFile(out);
    const size_t moov = bytes.find("moov");
    const size_t mdat = bytes.find("mdat");
    ASSERT_NE(moov, std::string::npos);
    ASSERT_NE(mdat, std::string::npos);
    EXPECT_LT(moov, mdat);
    Probe p(out);
    EXPECT_EQ(p.count(AVMEDIA_TYPE_VIDEO), 1);
    EXPECT_EQ(p.count(AVMEDIA_TYPE_AUDIO), 1);
}

TEST(TranscoderRemux, MkvToMkvKeepsTheBestAudioSubtitlesChaptersAndTags)
{
    const fs::path out = scratch("multi-copy.mkv");
    TranscodeOptions o = remux(fixture("multi.mkv"), out, "mkv");
    o.subtitles = 1;
    const TranscodeResult r = convert(o);
    ASSERT_TRUE(r.ok) << r.message;
    Probe p(out);
    EXPECT_EQ(p.count(AVMEDIA_TYPE_VIDEO), 1);
    ASSERT_EQ(p.count(AVMEDIA_TYPE_AUDIO), 1);
    EXPECT_EQ(tag(p.first(AVMEDIA_TYPE_AUDIO)->metadata, "language"), "eng");
    EXPECT_EQ(p.count(AVMEDIA_TYPE_SUBTITLE), 1);
    ASSERT_NE(p.ctx, nullptr);
    EXPECT_EQ(p.ctx->nb_chapters, 2u);
    EXPECT_EQ(tag(p.ctx->metadata, "title"), "Fixture Title");
}

TEST(TranscoderRemux, Mp3KeepsItsCover)
{
    const fs::path out = scratch("cover.mp3");
    TranscodeOptions o = remux(fixture("cover.mp3"), out, "mp3");
    o.videoCodec = "none";
    const TranscodeResult r = convert(o);
    ASSERT_TRUE(r.ok) << r.message;
    Probe p(out);
    EXPECT_EQ(p.count(AVMEDIA_TYPE_AUDIO), 1);
    const AVStream* cover = p.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(cover, nullptr);
    EXPECT_TRUE(cover->disposition & AV_DISPOSITION_ATTACHED_PIC);
    EXPECT_GT(cover->attached_pic.size, 1000);
}

TEST(TranscoderRemux, SinkReceivesAFragmentedMp4InBoundedWrites)
{
    std::string received;
    int largest = 0;
    TranscodeOptions o = remux(fixture("clip.mp4"), scratch("never-written.mp4"), "mp4");
    o.outputSink = [&](const uint8_t* data, int size) {
        received.append(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
        largest = std::max(largest, size);
        return true;
    };
    const TranscodeResult r = convert(o);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_FALSE(r.outputOpened);
    EXPECT_FALSE(fs::exists(o.output));
    EXPECT_NE(received.find("moof"), std::string::npos);
    EXPECT_GT(largest, 0);
    EXPECT_LE(largest, 262144);
}

TEST(TranscoderRemux, SinkThatRefusesFailsTheMuxer)
{
    TranscodeOptions o = remux(fixture("clip.mp4"), scratch("refused.mp4"), "mp4");
    o.outputSink = [](const uint8_t*, int) { return false; };
    const TranscodeResult r = convert(o);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.cancelled);
    EXPECT_EQ(r.message.rfind("muxer: ", 0), 0u) << r.message;
}

TEST(TranscoderRemux, FailuresSayWhatFailed)
{
    struct Case {
        fs::path input;
        fs::path output;
        std::string container;
        std::string message;
        std::string videoCodec = "copy";
    };
    const Case table[] = {
        { fixture("clip.mp4"), scratch("no-such-folder") / "out.mkv", "mkv",
            "output: cannot create file (No such file or directory)" },
        { fixture("garbage.mp4"), scratch("garbage.mkv"), "mkv", "input: Invalid data found when processing input" },
        { fixture("clip.mp4"), scratch("clip.xyz"), "xyz", "muxer: unsupported container xyz" },
        { "concat:" + fixture("clip.mp4").string() + "|" + fixture("clip.mp4").string(), scratch("concat.mkv"), "mkv",
            "input: Protocol not found" },
        { fixture("clip.mp4"), scratch("clip.webm"), "webm", "WebM allows only VP9 or AV1 video", "h264" },
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.input.string() + " -> " + c.output.string());
        TranscodeOptions o = remux(c.input, c.output, c.container);
        o.videoCodec = c.videoCodec;
        const TranscodeResult r = convert(o);
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.cancelled);
        EXPECT_EQ(r.message, c.message);
    }
}

TEST(TranscoderRemux, DiskFullFailsTheMuxerAndLeavesTheDevice)
{
    const TranscodeResult r = convert(remux(fixture("multi.mkv"), "/dev/full", "mkv"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "muxer: No space left on device");
    struct stat st { };
    ASSERT_EQ(::stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(TranscoderRemux, OutputThatIsTheInputUnderAnotherNameIsRefused)
{
    const fs::path input = scratch("original.mp4");
    fs::copy_file(fixture("clip.mp4"), input, fs::copy_options::overwrite_existing);
    const std::string before = readFile(input);
    const fs::path hard = scratch("hard-link.mp4");
    const fs::path soft = scratch("symlink.mp4");
    fs::remove(hard);
    fs::remove(soft);
    fs::create_hard_link(input, hard);
    fs::create_symlink(input, soft);
    for (const fs::path& output : { hard, soft }) {
        SCOPED_TRACE(output.string());
        const TranscodeResult r = convert(remux(input, output, "mp4"));
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.outputOpened);
        EXPECT_EQ(r.message, "output: " + output.string() + " is the input file");
        EXPECT_EQ(readFile(input), before);
    }
}

// A later start: the output begins at 0 on a key frame, and chapters stay behind.
TEST(TranscoderRemux, LaterStartBeginsAtZeroOnAKeyFrame)
{
    const fs::path out = scratch("clip-from-1.5.mkv");
    TranscodeOptions o = remux(fixture("clip.mp4"), out, "mkv");
    o.startUs = 1'500'000;
    const TranscodeResult r = convert(o);
    ASSERT_TRUE(r.ok) << r.message;
    Probe p(out);
    ASSERT_NE(p.ctx, nullptr);
    AVPacket* packet = av_packet_alloc();
    bool sawVideo = false;
    int64_t earliestUs = INT64_MAX;
    while (av_read_frame(p.ctx, packet) >= 0) {
        const AVStream* st = p.ctx->streams[packet->stream_index];
        if (packet->pts != AV_NOPTS_VALUE)
            earliestUs = std::min(earliestUs, av_rescale_q(packet->pts, st->time_base, AVRational { 1, 1000000 }));
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !sawVideo) {
            sawVideo = true;
            EXPECT_TRUE(packet->flags & AV_PKT_FLAG_KEY);
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    EXPECT_TRUE(sawVideo);
    EXPECT_GE(earliestUs, 0);
    EXPECT_LT(earliestUs, 100'000);

    const fs::path chapters = scratch("multi-from-1.5.mkv");
    TranscodeOptions m = remux(fixture("multi.mkv"), chapters, "mkv");
    m.startUs = 1'500'000;
    ASSERT_TRUE(convert(m).ok);
    Probe q(chapters);
    ASSERT_NE(q.ctx, nullptr);
    EXPECT_EQ(q.ctx->nb_chapters, 0u);
}

// start-offset.ts counts its times from 1.4 s: the start and the progress must count from there too.
TEST(TranscoderRemux, ContainerStartTimeIsTheOrigin)
{
    for (const int64_t startUs : { int64_t { 0 }, int64_t { 1'000'000 } }) {
        SCOPED_TRACE(startUs);
        const fs::path out = scratch("start-offset-" + std::to_string(startUs) + ".mkv");
        TranscodeOptions o = remux(fixture("start-offset.ts"), out, "mkv");
        o.audioCodec = "none";
        o.startUs = startUs;
        std::vector<TranscodeProgress> reports;
        const TranscodeProgressCallback progress = [&](const TranscodeProgress& p) { reports.push_back(p); };
        const TranscodeResult r = convert(o, &progress);
        ASSERT_TRUE(r.ok) << r.message;
        ASSERT_GE(reports.size(), 2u);
        // The first report comes with the first packet, at the start of what is converted.
        EXPECT_LT(reports.front().fraction, 0.05);
        for (const TranscodeProgress& p : reports) {
            EXPECT_GE(p.fraction, 0.0);
            EXPECT_LE(p.fraction, 1.0);
            EXPECT_TRUE(p.etaSeconds >= 0 || p.etaSeconds == -1) << p.etaSeconds;
        }
        EXPECT_EQ(reports.back().fraction, 1.0);

        // 25 pictures a second for 3 s: from media second 1 on, 50 of them.
        Probe p(out);
        ASSERT_NE(p.ctx, nullptr);
        AVPacket* packet = av_packet_alloc();
        int pictures = 0;
        while (av_read_frame(p.ctx, packet) >= 0) {
            pictures += p.ctx->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? 1 : 0;
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        if (startUs == 0)
            EXPECT_EQ(pictures, 75);
        else
            EXPECT_NEAR(pictures, 50, 1);
    }
}

// A conversion runs below normal priority unless it is live, never raises a lower priority, and leaves the
// calling thread's name alone.
TEST(TranscoderRemux, LowersTheCallingThreadOnly)
{
    struct Case {
        bool live;
        int niceBefore;
        int niceAfter;
    };
    const Case table[] = { { false, 0, 10 }, { true, 0, 0 }, { false, 15, 15 } };
    for (const Case& c : table) {
        SCOPED_TRACE(std::to_string(c.live) + " " + std::to_string(c.niceBefore));
        TranscodeOptions o = remux(fixture("clip.mp4"), scratch("nice.mkv"), "mkv");
        o.live = c.live;
        const std::atomic<bool> cancel { false };
        TranscodeResult r;
        int niceAfter = -100;
        bool applied = false;
        char nameAfter[16] = {};
        std::thread([&] {
            const id_t tid = static_cast<id_t>(::gettid());
            // A test run that is itself niced cannot go back to 0 without privileges: such a case is skipped.
            applied = ::setpriority(PRIO_PROCESS, tid, c.niceBefore) == 0;
            pthread_setname_np(pthread_self(), "kvr-test-conv");
            r = Transcoder::transcode(o, nullptr, &cancel);
            niceAfter = ::getpriority(PRIO_PROCESS, tid);
            pthread_getname_np(pthread_self(), nameAfter, sizeof nameAfter);
        }).join();
        EXPECT_TRUE(r.ok) << r.message;
        if (applied) {
            EXPECT_EQ(niceAfter, c.niceAfter);
        }
        EXPECT_STREQ(nameAfter, "kvr-test-conv");
    }
}

TEST(TranscoderRemux, ProgressArithmetic)
{
    constexpr int64_t s = 1'000'000'000; // nanoseconds
    struct Case {
        const char* what;
        int64_t nowNs;
        int64_t positionUs;
        int64_t durationUs;
        int pass;
        int passes;
        double fraction;
        double eta;
    };
    const Case table[] = {
        { "half way at 2x", 2 * s, 4'000'000, 8'000'000, 0, 1, 0.5, 2.0 },
        { "no duration", 2 * s, 4'000'000, 0, 0, 1, 0.0, -1.0 },
        { "before the start", 2 * s, -500'000, 8'000'000, 0, 1, 0.0, -1.0 },
        { "past the end", 2 * s, 9'000'000, 8'000'000, 0, 1, 1.0, 0.0 },
        { "first of two", 2 * s, 4'000'000, 8'000'000, 1, 2, 0.25, 6.0 },
        { "second of two", 2 * s, 4'000'000, 8'000'000, 2, 2, 0.75, 2.0 },
        { "no time yet", 0, 4'000'000, 8'000'000, 0, 1, 0.5, -1.0 },
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.what);
        ProgressState state;
        TranscodeProgress report;
        ASSERT_TRUE(nextProgress(state, c.nowNs, c.positionUs, c.durationUs, 50, c.pass, c.passes, 1234, report));
        EXPECT_DOUBLE_EQ(report.fraction, c.fraction);
        EXPECT_DOUBLE_EQ(report.etaSeconds, c.eta);
        EXPECT_GE(report.speed, 0.0);
        EXPECT_EQ(report.pass, c.pass == 0 ? 1 : c.pass);
        EXPECT_EQ(report.passes, c.passes);
        EXPECT_EQ(report.bytes, 1234);
    }

    // Reports closer than 0.5 s apart are dropped; the speed follows the window, not the whole run.
    ProgressState state;
    TranscodeProgress report;
    ASSERT_TRUE(nextProgress(state, 1 * s, 1'000'000, 100'000'000, 0, 0, 1, 0, report));
    EXPECT_FALSE(nextProgress(state, 1 * s + s / 4, 2'000'000, 100'000'000, 0, 0, 1, 0, report));
    ASSERT_TRUE(nextProgress(state, 2 * s, 3'000'000, 100'000'000, 0, 0, 1, 0, report));
    EXPECT_DOUBLE_EQ(report.speed, 2.0);
    ASSERT_TRUE(nextProgress(state, 20 * s, 21'000'000, 100'000'000, 0, 0, 1, 0, report));
    EXPECT_DOUBLE_EQ(report.speed, 1.0); // the oldest samples left the 10 s window
}

using kvr::test::StallingHttpServer;

TEST(TranscoderRemux, CancelEndsAStalledNetworkInput)
{
    const std::string film = readFile(fixture("stream-30s.mkv"));
    StallingHttpServer server(film, film.size() / 2);
    const fs::path out = scratch("stalled.mkv");
    fs::remove(out);
    TranscodeOptions o = remux(server.url(), out, "mkv");
    std::atomic<bool> cancel { false };
    std::atomic<bool> muxing { false };
    const TranscodeProgressCallback progress = [&](const TranscodeProgress&) { muxing = true; };
    std::atomic<bool> returned { false };
    TranscodeResult result;
    std::thread job([&] {
        result = Transcoder::transcode(o, &progress, &cancel);
        returned = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!(server.sentAll && muxing) && !returned && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(server.sentAll.load());
    EXPECT_TRUE(muxing.load());
    EXPECT_FALSE(returned.load()) << result.message;
    cancel = true;
    job.join(); // the server still stalls: only the cancel can end the read
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.message, "cancelled");
    EXPECT_TRUE(result.outputOpened);
    EXPECT_TRUE(fs::exists(out));
}

// Stalled before the input could even be opened: the cancel ends the open, and no output was made.
TEST(TranscoderRemux, CancelEndsAStalledOpen)
{
    StallingHttpServer server(readFile(fixture("stream-30s.mkv")), 0);
    const fs::path out = scratch("never-opened.mkv");
    fs::remove(out);
    const TranscodeOptions o = remux(server.url(), out, "mkv");
    std::atomic<bool> cancel { false };
    std::atomic<bool> returned { false };
    TranscodeResult result;
    std::thread job([&] {
        result = Transcoder::transcode(o, nullptr, &cancel);
        returned = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!server.sentAll && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(server.sentAll.load());
    EXPECT_FALSE(returned.load()) << result.message;
    cancel = true;
    job.join();
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.message, "cancelled");
    EXPECT_FALSE(result.outputOpened);
    EXPECT_FALSE(fs::exists(out));
}
