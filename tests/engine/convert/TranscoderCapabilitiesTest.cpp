// The capability record is made once per process, so the test that watches the first probe comes first and
// the others read the record it made.
#include "engine/Logging.h"
#include "engine/convert/Transcoder.h"

#include "tests/support/TestSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <thread>

using namespace kvr::engine;

namespace {

class CollectingSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<std::string> lines(spdlog::level::level_enum level)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> found;
        for (const auto& [l, text] : collected)
            if (l == level)
                found.push_back(text);
        return found;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        collected.emplace_back(msg.level, std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override { }

private:
    std::vector<std::pair<spdlog::level::level_enum, std::string>> collected;
};

// Points standard error at a file while alive, so what encoders print past FFmpeg's log can be read back.
class StderrCapture {
public:
    explicit StderrCapture(const std::filesystem::path& file)
        : path(file)
    {
        std::fflush(stderr);
        saved = dup(STDERR_FILENO);
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string finish()
    {
        restore();
        return kvr::test::readFile(path);
    }

private:
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        saved = -1;
    }
    std::filesystem::path path;
    int saved = -1;
};

using Names = std::vector<std::string>;

} // namespace

TEST(TranscoderCapabilities, ConcurrentFirstUseRunsOneProbe)
{
    init_logging();
    auto sink = std::make_shared<CollectingSink>();
    auto& sinks = defaultLogger()->sinks();
    sinks.push_back(sink);

    StderrCapture capture(kvr::test::scratchDirectory() / "probe-stderr.txt");
    constexpr int threadCount = 8;
    std::vector<const TranscodeCapabilities*> seen(threadCount, nullptr);
    std::atomic<int> ready { 0 };
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i)
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < threadCount)
                std::this_thread::yield();
            seen[i] = &Transcoder::capabilities();
        });
    for (auto& t : threads)
        t.join();
    const std::string stderrText = capture.finish();
    sinks.erase(std::find(sinks.begin(), sinks.end(), sink));

    for (const auto* caps : seen)
        EXPECT_EQ(caps, seen[0]);

    // One probe: each VA-API candidate failed exactly once, without a GPU device to encode on, and said why.
    Names failures;
    for (const std::string& line : sink->lines(spdlog::level::warn))
        if (line.find("failed its test encode") != std::string::npos)
            failures.push_back(line);
    EXPECT_EQ(failures,
        (Names { "Transcoder: h264_vaapi failed its test encode; not offered",
            "Transcoder: hevc_vaapi failed its test encode; not offered" }));
    Names reasons;
    for (const std::string& line : sink->lines(spdlog::level::info))
        if (line.find("VA-API") != std::string::npos)
            reasons.push_back(line.substr(0, line.find(':', line.find(' ') + 1)));
    EXPECT_EQ(reasons,
        (Names { "Transcoder: h264_vaapi has no VA-API device", "Transcoder: hevc_vaapi has no VA-API device" }));
    EXPECT_EQ(stderrText.find("x265 [info]"), std::string::npos) << stderrText;
}

TEST(TranscoderCapabilities, OffersWhatThisBuildEncodes)
{
    const TranscodeCapabilities& caps = Transcoder::capabilities();
    EXPECT_EQ(caps.videoCodecs, (Names { "h264", "hevc", "vp9", "av1", "mpeg4", "mpeg2" }));
    EXPECT_EQ(caps.audioCodecs, (Names { "aac", "opus", "mp3", "flac", "alac", "ac3", "pcm" }));
    EXPECT_EQ(caps.containers,
        (Names { "mp4", "mkv", "webm", "mov", "avi", "ts", "mp3", "m4a", "ogg", "opus", "flac", "wav" }));
    EXPECT_TRUE(caps.hardwareEncoders.empty());
    EXPECT_EQ(
        caps.chosenEncoders, (std::map<std::string, std::string> { { "h264", "libx264" }, { "hevc", "libx265" } }));
    EXPECT_EQ(&Transcoder::capabilities(), &caps);
}

TEST(TranscoderCapabilities, FindEncoderGivesTheTestedChoice)
{
    const struct {
        const char* codec;
        const char* encoder;
    } cases[] = {
        { "h264", "libx264" },
        { "hevc", "libx265" },
        { "vp9", "libvpx-vp9" },
        { "av1", "libaom-av1" },
        { "mpeg2", "mpeg2video" },
        { "opus", "libopus" },
        { "pcm", "pcm_s16le" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec);
        const AVCodec* encoder = Transcoder::findEncoder(c.codec);
        ASSERT_NE(encoder, nullptr);
        EXPECT_STREQ(encoder->name, c.encoder);
    }
}

TEST(TranscoderCapabilities, TestEncodeNeedsAWorkingEncoder)
{
    EXPECT_TRUE(Transcoder::testEncode(avcodec_find_encoder_by_name("libx264")));
    // An encoder without delay hands out a packet per frame; the test must still take all four frames.
    EXPECT_TRUE(Transcoder::testEncode(avcodec_find_encoder_by_name("mpeg2video")));
    EXPECT_FALSE(Transcoder::testEncode(avcodec_find_encoder_by_name("h264_vaapi")));
    EXPECT_FALSE(Transcoder::testEncode(nullptr));
}
