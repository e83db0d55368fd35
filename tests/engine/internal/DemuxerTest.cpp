#include "engine/internal/Demuxer.h"

#include "engine/Logging.h"
#include "engine/PrivateDirectory.h"
#include "tests/support/TestSupport.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/display.h>
#include <libavutil/mathematics.h>
}
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>

using namespace kvr::engine;
using namespace kvr::engine::internal;
using kvr::test::fixture;
namespace fs = std::filesystem;

namespace {

int64_t toUs(int64_t ts, AVRational tb)
{
    return av_rescale_q(ts, tb, AVRational { 1, 1000000 });
}

// Drains one queue on a thread of its own, as a decoder would.
struct Drain {
    std::vector<int64_t> ptsUs;
    bool firstKey = false;
    std::thread thread;
    void run(PacketQueue& q, AVRational tb, std::function<void()> beforeFirst = {})
    {
        thread = std::thread([this, &q, tb, beforeFirst] {
            if (beforeFirst)
                beforeFirst();
            AVPacket* p = nullptr;
            while (q.pop(p)) {
                if (ptsUs.empty())
                    firstKey = (p->flags & AV_PKT_FLAG_KEY) != 0;
                ptsUs.push_back(p->pts == AV_NOPTS_VALUE ? INT64_MIN : toUs(p->pts, tb));
                av_packet_free(&p);
            }
        });
    }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }
};

// Reads the whole medium through both queues on their own threads, as the decoders would.
void readAll(Demuxer& d, Drain& v, Drain& a)
{
    v.run(d.videoQueue, d.video.timeBase);
    a.run(d.audioQueue, d.audio.timeBase);
    d.start(nullptr);
    v.join();
    a.join();
}

// A display matrix for which av_display_rotation_get gives `angle` (the sign convention of
// av_display_rotation_set changed between FFmpeg versions).
void matrixFor(double angle, int32_t m[9])
{
    av_display_rotation_set(m, angle);
    if (std::fabs(av_display_rotation_get(m) - angle) > 0.01)
        av_display_rotation_set(m, -angle);
}

std::string logText()
{
    return kvr::test::readFile(privateDirectory() / "kvr.log");
}

} // namespace

TEST(Demuxer, ChoosesStreamsBySelection)
{
    // tracks.mkv: 0 video; 1 audio eng; 2 audio ger (default); 3 sub eng (default); 4 sub fre (forced); 5 sub ger.
    struct Row {
        const char* what;
        StreamSelection selection;
        int audio, subtitle;
    };
    auto sel = [](int a, int s, const char* pa, const char* ps) { return StreamSelection { a, s, pa, ps }; };
    const Row rows[] = {
        { "automatic: default audio, forced before default subtitle", sel(-1, -2, "", ""), 2, 4 },
        { "preferred audio by English name", sel(-1, -2, "English", ""), 1, 4 },
        { "preferred audio GER", sel(-1, -2, "GER", ""), 2, 4 },
        { "preferred audio nobody has", sel(-1, -2, "ja", ""), 2, 4 },
        { "audioTrack naming the video stream falls back", sel(0, -2, "", ""), 2, 4 },
        { "audioTrack naming a subtitle stream falls back", sel(3, -2, "eng", ""), 1, 4 },
        { "audioTrack out of range falls back", sel(99, -2, "", ""), 2, 4 },
        { "explicit audioTrack", sel(1, -2, "ger", ""), 1, 4 },
        { "preferred subtitle language", sel(-1, -2, "", "German"), 2, 5 },
        { "preferred subtitle eng", sel(-1, -2, "", "en"), 2, 3 },
        { "preferred language only on a forced track", sel(-1, -2, "", "fre"), 2, 4 },
        { "no subtitles", sel(-1, -1, "", "eng"), 2, -1 },
        { "explicit subtitle", sel(-1, 5, "", ""), 2, 5 },
        { "explicit subtitle that is audio", sel(-1, 1, "", ""), 2, -1 },
        { "explicit subtitle out of range", sel(-1, 42, "", ""), 2, -1 },
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Demuxer d;
        ASSERT_TRUE(d.open(fixture("tracks.mkv"), 0, r.selection)) << d.lastError;
        EXPECT_EQ(d.video.index, 0);
        EXPECT_EQ(d.audio.index, r.audio);
        EXPECT_EQ(d.subtitle.index, r.subtitle);
        if (r.subtitle >= 0) {
            ASSERT_NE(d.subtitle.codecParameters, nullptr);
            EXPECT_EQ(d.subtitle.codecParameters->codec_id, AV_CODEC_ID_SUBRIP);
            EXPECT_EQ(d.subtitle.timeBase.num, 1);
            EXPECT_EQ(d.subtitle.timeBase.den, 1000);
        } else {
            EXPECT_EQ(d.subtitle.codecParameters, nullptr);
        }
    }
}

TEST(Demuxer, DescribesTheMedium)
{
    Demuxer d;
    ASSERT_TRUE(d.open(fixture("clip.mp4"), 0, {}));
    const MediaInfo& m = d.mediaInfo;
    EXPECT_EQ(m.path, fixture("clip.mp4").string());
    EXPECT_EQ(m.formatName, "mov,mp4,m4a,3gp,3g2,mj2");
    EXPECT_FALSE(m.formatLongName.empty());
    EXPECT_NEAR(m.durationUs, 3000000, 100000);
    EXPECT_EQ(m.durationUs, d.durationUs());
    EXPECT_GT(m.bitRate, 0);
    EXPECT_EQ(m.fileSize, static_cast<int64_t>(fs::file_size(fixture("clip.mp4"))));
    ASSERT_EQ(m.tracks.size(), 2u);
    const TrackInfo& v = m.tracks[0];
    EXPECT_EQ(v.kind, 0);
    EXPECT_EQ(v.codec, "h264");
    EXPECT_FALSE(v.codecLongName.empty());
    EXPECT_FALSE(v.profile.empty());
    EXPECT_EQ(v.language, ""); // "und"
    EXPECT_EQ(v.title, ""); // "VideoHandler"
    EXPECT_EQ(v.width, 320);
    EXPECT_EQ(v.height, 240);
    EXPECT_DOUBLE_EQ(v.frameRate, 25.0);
    EXPECT_EQ(v.pixelFormat, "yuv420p");
    const TrackInfo& a = m.tracks[1];
    EXPECT_EQ(a.kind, 1);
    EXPECT_EQ(a.streamIndex, 1);
    EXPECT_EQ(a.codec, "aac");
    EXPECT_EQ(a.title, ""); // "SoundHandler"
    EXPECT_EQ(a.sampleRate, 48000);
    EXPECT_EQ(a.channels, 2);
    EXPECT_EQ(a.channelLayout, "stereo");
    EXPECT_EQ(a.sampleFormat, "fltp");
    EXPECT_GT(a.bitRate, 0);
    EXPECT_DOUBLE_EQ(d.frameRate, 25.0);
    EXPECT_EQ(d.rotation, 0);
    EXPECT_EQ(d.sarNum, 1);
    EXPECT_EQ(d.sarDen, 1);
    EXPECT_EQ(d.coverStreamIndex, -1);
    EXPECT_EQ(d.coverPicture(), nullptr);

    Demuxer multi;
    ASSERT_TRUE(multi.open(fixture("multi.mkv"), 0, {}));
    ASSERT_EQ(multi.mediaInfo.tracks.size(), 4u);
    EXPECT_EQ(multi.mediaInfo.tracks[3].kind, 2);
    EXPECT_FALSE(multi.mediaInfo.tracks[3].bitmap);
    EXPECT_EQ(multi.mediaInfo.tracks[1].language, "eng");
    ASSERT_EQ(multi.mediaInfo.chapters.size(), 2u);
    EXPECT_EQ(multi.mediaInfo.chapters[1].startUs, 1500000);
    EXPECT_EQ(multi.mediaInfo.chapters[1].title, "Closing");
}

TEST(Demuxer, OggCommentsBecomeMediumTags)
{
    Demuxer d;
    ASSERT_TRUE(d.open(fixture("tags.ogg"), 0, {}));
    EXPECT_EQ(d.mediaInfo.formatName, "ogg");
    std::map<std::string, std::string> tags;
    for (const auto& t : d.mediaInfo.tags) {
        EXPECT_TRUE(tags.emplace(t.key, t.value).second) << "twice: " << t.key;
    }
    EXPECT_EQ(tags["title"], "Ogg Title");
    EXPECT_EQ(tags["artist"], "Ogg Artist");
    EXPECT_EQ(tags["REPLAYGAIN_TRACK_GAIN"], "-3.50 dB");
    EXPECT_EQ(tags.count("encoder"), 0u);
}

TEST(Demuxer, ChaptersBeforeTheStartAreClampedAndFontsCollected)
{
    Demuxer d;
    ASSERT_TRUE(d.open(fixture("late-chapters.mkv"), 0, {}));
    const auto& ch = d.mediaInfo.chapters;
    ASSERT_EQ(ch.size(), 2u);
    // The container starts about 1 s in: the first chapter's start lies before it.
    EXPECT_EQ(ch[0].startUs, 0);
    EXPECT_GT(ch[0].endUs, 300000);
    EXPECT_LT(ch[0].endUs, 700000);
    EXPECT_EQ(ch[0].title, "Before");
    EXPECT_EQ(ch[1].startUs, ch[0].endUs);
    EXPECT_EQ(ch[1].endUs - ch[1].startUs, 1000000);
    EXPECT_EQ(ch[1].title, "After");

    ASSERT_EQ(d.fonts.size(), 1u); // the text attachment is no font
    EXPECT_EQ(d.fonts[0].filename, "tiny.ttf");
    const std::string bytes = kvr::test::readFile(fixture("inputs/tiny.ttf"));
    EXPECT_EQ(std::string(d.fonts[0].data.begin(), d.fonts[0].data.end()), bytes);
    ASSERT_EQ(d.mediaInfo.tracks.size(), 1u); // attachments are no tracks
    EXPECT_EQ(d.audio.index, 0);
}

TEST(Demuxer, RotationFromDisplayMatrix)
{
    struct Row {
        double angle;
        int rotation;
    };
    const Row rows[] = { { -90, 90 }, { 90, 270 }, { 45, 0 }, { -180, 180 }, { 0, 0 }, { -135, 180 }, { 10, 0 } };
    for (const auto& r : rows) {
        int32_t m[9];
        matrixFor(r.angle, m);
        ASSERT_NEAR(av_display_rotation_get(m), r.angle, 0.01);
        EXPECT_EQ(Demuxer::rotationFromDisplayMatrix(reinterpret_cast<const uint8_t*>(m), sizeof m), r.rotation)
            << r.angle;
    }
    const int32_t degenerate[9] = {};
    EXPECT_TRUE(std::isnan(av_display_rotation_get(degenerate)));
    EXPECT_EQ(Demuxer::rotationFromDisplayMatrix(reinterpret_cast<const uint8_t*>(degenerate), 36), 0);
    int32_t m[9];
    matrixFor(-90, m);
    EXPECT_EQ(Demuxer::rotationFromDisplayMatrix(reinterpret_cast<const uint8_t*>(m), 35), 0);
    EXPECT_EQ(Demuxer::rotationFromDisplayMatrix(nullptr, 36), 0);

    // A portrait phone clip: display matrix "rotation of -90 degrees".
    Demuxer d;
    ASSERT_TRUE(d.open(fixture("rotated.mp4"), 0, {}));
    EXPECT_EQ(d.rotation, 90);
}

TEST(Demuxer, CoverPictureIsNoTrackAndNeverRead)
{
    Demuxer d;
    ASSERT_TRUE(d.open(fixture("cover.mp3"), 0, {}));
    EXPECT_EQ(d.video.index, -1);
    EXPECT_EQ(d.audio.index, 0);
    EXPECT_EQ(d.coverStreamIndex, 1);
    ASSERT_EQ(d.mediaInfo.tracks.size(), 1u);
    EXPECT_EQ(d.mediaInfo.tracks[0].kind, 1);
    ASSERT_NE(d.coverCodecParameters(), nullptr);
    EXPECT_EQ(d.coverCodecParameters()->codec_id, AV_CODEC_ID_MJPEG);
    ASSERT_NE(d.coverPicture(), nullptr);
    EXPECT_GT(d.coverPicture()->size, 0);

    std::atomic<int64_t> counter { 0 };
    Drain audio;
    audio.run(d.audioQueue, d.audio.timeBase);
    d.start(&counter);
    audio.join();
    EXPECT_TRUE(d.finished);
    EXPECT_GT(audio.ptsUs.size(), 0u);
    // Besides the audio, at most the one picture libavformat queues while opening was read (and dropped):
    // the cover stream is discarded inside libavformat.
    EXPECT_GE(counter.load(), static_cast<int64_t>(audio.ptsUs.size()));
    EXPECT_LE(counter.load(), static_cast<int64_t>(audio.ptsUs.size()) + 1);
    EXPECT_EQ(d.videoQueue.size(), 0u);
}

TEST(Demuxer, RemovesTheContainerStartAndSeeksAtOpen)
{
    init_logging();
    Demuxer plain;
    ASSERT_TRUE(plain.open(fixture("start-offset.ts"), 0, {}));
    EXPECT_GT(plain.durationUs(), 2900000);
    Drain v, a;
    readAll(plain, v, a);
    ASSERT_FALSE(v.ptsUs.empty());
    ASSERT_FALSE(a.ptsUs.empty());
    // The container starts near 1.4 s; downstream everything starts near 0.
    EXPECT_GE(std::min(v.ptsUs[0], a.ptsUs[0]), 0);
    EXPECT_LT(std::min(v.ptsUs[0], a.ptsUs[0]), 50000);
    EXPECT_NEAR(v.ptsUs.back(), 2960000, 100000);

    Demuxer seeking;
    ASSERT_TRUE(seeking.open(fixture("start-offset.ts"), 2000000, {}));
    AVPacket* p = nullptr;
    seeking.start(nullptr);
    ASSERT_TRUE(seeking.videoQueue.pop(p));
    const int64_t firstVideo = toUs(p->pts, seeking.video.timeBase);
    av_packet_free(&p);
    // The key frame at or before the target; they come once a second.
    EXPECT_LE(firstVideo, 2000000);
    EXPECT_GE(firstVideo, 1000000);
    seeking.join();
    EXPECT_EQ(logText().find("av_seek_frame"), std::string::npos);
    EXPECT_NE(logText().find("start_us=2000000"), std::string::npos);
}

TEST(Demuxer, SeekAtOpenStartsAtAKeyFrameAtOrBeforeTheTarget)
{
    // MPEG-TS has no index: a plain seek lands on whatever frame is nearest, mostly one that cannot be decoded
    // on its own. seek-gop2.ts has a key frame every 2 s; seek-wrap.ts too, and its time stamps pass 2^33 at
    // about 5.7 s (libavformat takes 2^33 off those before); seek-wrap-late.ts (64x48, 10 fps) has them every 2 s
    // and passes 2^33 at about 63.6 s (libavformat adds 2^33 to those after).
    struct Case {
        const char* fixture;
        int64_t targetUs;
    };
    const Case cases[] = { { "seek-gop2.ts", 1'000'000 }, { "seek-gop2.ts", 3'000'000 }, { "seek-gop2.ts", 5'500'000 },
        { "seek-wrap.ts", 3'000'000 }, { "seek-wrap.ts", 6'000'000 }, { "seek-wrap.ts", 10'000'000 },
        { "seek-wrap-late.ts", 3'000'000 }, { "seek-wrap-late.ts", 63'000'000 }, { "seek-wrap-late.ts", 66'000'000 },
        { "seek-wrap-late.ts", 70'000'000 }, { "clip.mp4", 1'500'000 } };
    init_logging();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " " + std::to_string(c.targetUs));
        Demuxer d;
        ASSERT_TRUE(d.open(fixture(c.fixture), c.targetUs, {}));
        Drain v, a;
        readAll(d, v, a);
        ASSERT_FALSE(v.ptsUs.empty());
        ASSERT_FALSE(a.ptsUs.empty());
        // The first video packet is a key frame at most one key-frame interval before the target, and the packets
        // go on through the target to the end.
        EXPECT_LE(v.ptsUs.front(), c.targetUs);
        EXPECT_GT(v.ptsUs.front(), c.targetUs - 2'100'000);
        EXPECT_TRUE(v.firstKey);
        EXPECT_GT(v.ptsUs.back(), c.targetUs + 1'000'000);
        EXPECT_LT(a.ptsUs.front(), c.targetUs + 200'000);
    }
}

TEST(Demuxer, FailedSeekWarnsAndReadsFromTheStart)
{
    init_logging();
    // A named pipe cannot seek.
    const fs::path fifo = kvr::test::scratchDirectory() / "stream.ts";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        std::ofstream out(fifo, std::ios::binary);
        out << kvr::test::readFile(fixture("start-offset.ts"));
    });
    Demuxer d;
    ASSERT_TRUE(d.open(fifo, 2000000, {}));
    EXPECT_EQ(d.mediaInfo.fileSize, -1);
    Drain v, a;
    readAll(d, v, a);
    writer.join();
    ASSERT_FALSE(v.ptsUs.empty());
    EXPECT_LT(v.ptsUs[0], 100000);
    const std::string log = logText();
    EXPECT_NE(
        log.find("[warning] Demuxer: av_seek_frame(stream=" + std::to_string(d.video.index) + " 2000000us) failed: "),
        std::string::npos)
        << log;
}

// The video decoder takes nothing until audio has begun (it waits for the audio clock); the audio of this
// file starts 3 s after its video, behind more video packets than the video queue holds.
TEST(Demuxer, LateAudioDoesNotDeadlock)
{
    init_logging();
    Demuxer d;
    ASSERT_TRUE(d.open(fixture("late-audio.mkv"), 0, {}));
    ASSERT_GE(d.audio.index, 0);
    ASSERT_GE(d.video.index, 0);
    std::promise<void> firstAudio;
    auto audioBegun = firstAudio.get_future().share();
    std::atomic<int64_t> audioPackets { 0 };
    std::thread audio([&] {
        AVPacket* p = nullptr;
        bool first = true;
        while (d.audioQueue.pop(p)) {
            if (first)
                firstAudio.set_value();
            first = false;
            ++audioPackets;
            av_packet_free(&p);
        }
        if (first)
            firstAudio.set_value();
    });
    Drain video;
    video.run(d.videoQueue, d.video.timeBase, [audioBegun] { audioBegun.wait_for(std::chrono::seconds(20)); });
    std::atomic<int64_t> counter { 0 };
    d.start(&counter);
    const bool arrived = audioBegun.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!arrived)
        d.join(); // let the test end
    audio.join();
    video.join();
    ASSERT_TRUE(arrived);
    EXPECT_GT(audioPackets.load(), 0);
    EXPECT_EQ(video.ptsUs.size(), 100u);
    EXPECT_EQ(counter.load(), audioPackets.load() + 100);
    EXPECT_TRUE(d.finished);
    EXPECT_NE(logText().find("Demuxer: EOF"), std::string::npos);
}

TEST(Demuxer, VideoOnlyKeepsItsBackPressureAndJoinEndsAFullQueue)
{
    Demuxer d;
    ASSERT_TRUE(d.open(fixture("video-only.mkv"), 0, {}));
    EXPECT_EQ(d.audio.index, -1);
    d.start(nullptr);
    for (int i = 0; i < 100 && d.videoQueue.size() < Demuxer::videoQueueCapacity; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(d.videoQueue.size(), Demuxer::videoQueueCapacity);
    EXPECT_FALSE(d.finished);
    d.join(); // wakes the read thread blocked in push
    EXPECT_TRUE(d.finished);
    EXPECT_EQ(d.videoQueue.size(), Demuxer::videoQueueCapacity); // freed by the destructor
}

TEST(Demuxer, BrokenFilesFailOrReadCleanly)
{
    for (const char* name : { "garbage.mp4", "truncated.mp4", "subtitle-only.mkv" }) {
        SCOPED_TRACE(name);
        Demuxer d;
        if (!d.open(fixture(name), 500000, {})) {
            EXPECT_EQ(d.lastError.rfind("avformat_", 0), 0u) << d.lastError;
            d.start(nullptr); // ends at once without an input
            EXPECT_TRUE(d.finished);
            continue;
        }
        Drain v, a;
        readAll(d, v, a);
        EXPECT_TRUE(d.finished);
    }
    Demuxer missing;
    EXPECT_FALSE(missing.open(kvr::test::scratchDirectory() / "nothing.mp4", 0, {}));
    EXPECT_EQ(missing.lastError, "avformat_open_input: No such file or directory");
}

TEST(Demuxer, FileNameThatIsNotUtf8Opens)
{
    const fs::path odd = kvr::test::scratchDirectory() / std::string("clip-\xff\xfe.mp4");
    fs::copy_file(fixture("clip.mp4"), odd);
    Demuxer d;
    ASSERT_TRUE(d.open(odd, 0, {})) << d.lastError;
    EXPECT_EQ(d.mediaInfo.path, odd.native());
    EXPECT_EQ(d.mediaInfo.fileSize, static_cast<int64_t>(fs::file_size(odd)));
}

TEST(Demuxer, InterruptCallbackReadsItsFlag)
{
    std::atomic<bool> flag { false };
    EXPECT_EQ(Demuxer::interruptCallback(nullptr), 0);
    EXPECT_EQ(Demuxer::interruptCallback(&flag), 0);
    flag = true;
    EXPECT_EQ(Demuxer::interruptCallback(&flag), 1);
}

TEST(Demuxer, ReopenReusesStreamInformationOnlyWhileTheFileIsUnchanged)
{
    // A reopen that starts from what an earlier open learned must describe, position and read the medium exactly
    // as one that reads the stream information itself.
    struct Case {
        const char* fixture;
        bool kept; // whose header describes every stream
    };
    const Case cases[] = { { "clip.mp4", true }, { "rotated.mp4", true }, { "landscape.mov", true },
        { "cast-two-audio.mp4", true }, { "multi.mkv", false }, { "seek-gop2.ts", false } };
    init_logging();
    auto packets = [](Demuxer& d) {
        Drain v, a;
        readAll(d, v, a);
        return std::pair { v.ptsUs, a.ptsUs };
    };
    auto expectSame = [&](Demuxer& reused, Demuxer& read) {
        EXPECT_EQ(reused.durationUs(), read.durationUs());
        EXPECT_EQ(reused.startTimeUs(), read.startTimeUs());
        EXPECT_EQ(reused.video.index, read.video.index);
        EXPECT_EQ(reused.audio.index, read.audio.index);
        EXPECT_EQ(reused.frameRate, read.frameRate);
        EXPECT_EQ(reused.rotation, read.rotation);
        EXPECT_EQ(reused.sarNum, read.sarNum);
        EXPECT_EQ(reused.sarDen, read.sarDen);
        EXPECT_EQ(reused.mediaInfo.bitRate, read.mediaInfo.bitRate);
        ASSERT_EQ(reused.mediaInfo.tracks.size(), read.mediaInfo.tracks.size());
        for (size_t i = 0; i < read.mediaInfo.tracks.size(); ++i) {
            const TrackInfo& x = reused.mediaInfo.tracks[i];
            const TrackInfo& y = read.mediaInfo.tracks[i];
            EXPECT_EQ(std::tie(x.codec, x.profile, x.width, x.height, x.frameRate, x.pixelFormat, x.sampleRate,
                          x.channels, x.channelLayout, x.sampleFormat, x.bitRate),
                std::tie(y.codec, y.profile, y.width, y.height, y.frameRate, y.pixelFormat, y.sampleRate, y.channels,
                    y.channelLayout, y.sampleFormat, y.bitRate));
        }
        const auto reusedPackets = packets(reused);
        const auto readPackets = packets(read);
        EXPECT_FALSE(readPackets.first.empty());
        EXPECT_EQ(reusedPackets, readPackets);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        Demuxer first;
        ASSERT_TRUE(first.open(fixture(c.fixture), 0, {}));
        const std::shared_ptr<const StreamInfo> learned = first.streamInfo;
        EXPECT_EQ(learned != nullptr, c.kept);
        for (const int64_t startUs : { int64_t(0), int64_t(500'000) }) {
            Demuxer reused;
            Demuxer read;
            ASSERT_TRUE(reused.open(fixture(c.fixture), startUs, {}, learned));
            ASSERT_TRUE(read.open(fixture(c.fixture), startUs, {}));
            EXPECT_EQ(reused.streamInfo, learned); // taken as it was, not read again
            expectSame(reused, read);
        }
    }

    // Another file in the same place (a download finished, a recording replaced): what was learned of the old one
    // is left alone.
    const fs::path path = kvr::test::scratchDirectory() / "replaced.mp4";
    fs::copy_file(fixture("clip.mp4"), path, fs::copy_options::overwrite_existing);
    Demuxer first;
    ASSERT_TRUE(first.open(path, 0, {}));
    ASSERT_TRUE(first.streamInfo);
    fs::copy_file(fixture("frame-1080.mp4"), path, fs::copy_options::overwrite_existing);
    Demuxer reused;
    Demuxer read;
    ASSERT_TRUE(reused.open(path, 0, {}, first.streamInfo));
    ASSERT_TRUE(read.open(path, 0, {}));
    EXPECT_NE(reused.streamInfo, first.streamInfo);
    ASSERT_FALSE(reused.mediaInfo.tracks.empty());
    EXPECT_EQ(reused.mediaInfo.tracks[0].width, 1920);
    expectSame(reused, read);
}
