// Conversions that re-encode video, end to end on generated media, and the settings worked out before the
// encoder opens; every output is read back with libavformat and decoded by the ffmpeg tool.
#include "engine/convert/Transcoder.h"
#include "tests/engine/convert/TranscoderTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <atomic>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <thread>
#include <vector>
#include <algorithm>

namespace fs = std::filesystem;
using namespace kvr::engine;
using kvr::test::convert;
using kvr::test::decodeErrors;
using kvr::test::fixture;
using Probe = kvr::test::OutputProbe;

namespace {

fs::path scratch(const std::string& name)
{
    return kvr::test::transcodeScratch("video", name);
}

TEST(TranscoderVideo, DefaultsGiveH264AndAacWithChaptersAndTheIndexFirst)
{
    const fs::path out = scratch("multi.mp4");
    TranscodeOptions o;
    o.input = fixture("multi.mkv").string();
    o.output = out.string();
    const TranscodeResult result = convert(o);
    ASSERT_TRUE(result.ok) << result.message;
    Probe probe(out);
    const AVCodecParameters* video = probe.params(AVMEDIA_TYPE_VIDEO);
    const AVCodecParameters* audio = probe.params(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(video, nullptr);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(video->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(video->format, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(video->width, 320);
    EXPECT_EQ(audio->codec_id, AV_CODEC_ID_AAC);
    EXPECT_GT(probe.ctx->nb_chapters, 0u);
    std::ifstream file(out, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_NE(bytes.find("mdat"), std::string::npos);
    EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));
    EXPECT_EQ(decodeErrors(out), "");
}

// Each case is a CTest entry of its own: the AV1 and VP9 encodes alone take most of a minute on a busy machine.
struct CodecCase {
    const char* name;
    const char* input;
    const char* container;
    const char* videoCodec;
    const char* audioCodec;
    int maxHeight;
    AVCodecID wantedVideo;
    AVPixelFormat wantedFormat; // AV_PIX_FMT_NONE: not checked
    int wantedWidth; // 0: not checked
    int wantedHeight;
};

void PrintTo(const CodecCase& c, std::ostream* os)
{
    *os << c.name;
}

class TranscoderVideoCodecs : public testing::TestWithParam<CodecCase> { };

TEST_P(TranscoderVideoCodecs, DecodesCleanly)
{
    const CodecCase& c = GetParam();
    const fs::path out = scratch(fs::path(c.input).stem().string() + "-" + c.videoCodec + "." + c.container);
    TranscodeOptions o;
    o.input = fixture(c.input).string();
    o.output = out.string();
    o.container = c.container;
    o.videoCodec = c.videoCodec;
    o.audioCodec = c.audioCodec;
    o.maxHeight = c.maxHeight;
    o.quality = 0;
    const TranscodeResult result = convert(o);
    ASSERT_TRUE(result.ok) << result.message;
    Probe probe(out);
    const AVCodecParameters* video = probe.params(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->codec_id, c.wantedVideo);
    if (c.wantedFormat != AV_PIX_FMT_NONE) {
        EXPECT_EQ(video->format, c.wantedFormat) << av_get_pix_fmt_name(static_cast<AVPixelFormat>(video->format));
    }
    if (c.wantedWidth > 0) {
        EXPECT_EQ(video->width, c.wantedWidth);
        EXPECT_EQ(video->height, c.wantedHeight);
    }
    EXPECT_EQ(probe.params(AVMEDIA_TYPE_AUDIO) != nullptr, std::string(c.audioCodec) != "none");
    EXPECT_EQ(decodeErrors(out), "");
}

INSTANTIATE_TEST_SUITE_P(TranscoderVideo, TranscoderVideoCodecs,
    testing::Values(
        CodecCase { "Vp9OpusInWebm", "clip.mp4", "webm", "vp9", "opus", 120, AV_CODEC_ID_VP9, AV_PIX_FMT_NONE, 0, 0 },
        CodecCase { "Av1InMkv", "clip.mp4", "mkv", "av1", "none", 120, AV_CODEC_ID_AV1, AV_PIX_FMT_NONE, 0, 0 },
        CodecCase { "Mpeg4Mp3InAvi", "clip.mp4", "avi", "mpeg4", "mp3", 0, AV_CODEC_ID_MPEG4, AV_PIX_FMT_NONE, 0, 0 },
        CodecCase {
            "Mpeg2Ac3InTs", "clip.mp4", "ts", "mpeg2", "ac3", 0, AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_NONE, 0, 0 },
        CodecCase { "HevcAacInMp4", "clip.mp4", "mp4", "hevc", "aac", 120, AV_CODEC_ID_HEVC, AV_PIX_FMT_NONE, 0, 0 },
        CodecCase {
            "TenBitIntoH264", "yuv420p10le.mkv", "mp4", "h264", "none", 0, AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, 0, 0 },
        CodecCase {
            "FullRangeIntoH264", "yuvj420p.mkv", "mkv", "h264", "none", 0, AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, 0, 0 },
        CodecCase {
            "H264ScaledTo120", "clip.mp4", "mp4", "h264", "aac", 120, AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, 160, 120 }),
    [](const testing::TestParamInfo<CodecCase>& info) { return std::string(info.param.name); });

// Live settings ask libaom for its fastest speed, above what this libaom's option takes.
TEST(TranscoderVideo, LiveAv1Opens)
{
    const fs::path out = scratch("live-av1.mkv");
    TranscodeOptions o;
    o.input = fixture("clip.mp4").string();
    o.output = out.string();
    o.container = "mkv";
    o.videoCodec = "av1";
    o.audioCodec = "none";
    o.maxHeight = 120;
    o.live = true;
    const TranscodeResult result = convert(o);
    ASSERT_TRUE(result.ok) << result.message;
    Probe probe(out);
    const AVCodecParameters* video = probe.params(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->codec_id, AV_CODEC_ID_AV1);
    EXPECT_EQ(decodeErrors(out), "");
}

TEST(TranscoderVideo, OneFrameKeepsItsSound)
{
    const fs::path out = scratch("one-frame.mp4");
    TranscodeOptions o;
    o.input = fixture("one-frame-sound.mkv").string();
    o.output = out.string();
    const TranscodeResult result = convert(o);
    ASSERT_TRUE(result.ok) << result.message;
    Probe probe(out);
    ASSERT_NE(probe.params(AVMEDIA_TYPE_VIDEO), nullptr);
    ASSERT_NE(probe.params(AVMEDIA_TYPE_AUDIO), nullptr);
    EXPECT_GT(probe.ctx->duration, 1'800'000) << "the sound was dropped";
    EXPECT_EQ(decodeErrors(out), "");
}

TEST(TranscoderVideo, VariableFrameRateIntoMpeg4)
{
    const fs::path out = scratch("vfr.avi");
    TranscodeOptions o;
    o.input = fixture("vfr-pairs.mkv").string();
    o.output = out.string();
    o.container = "avi";
    o.videoCodec = "mpeg4";
    o.audioCodec = "none";
    const TranscodeResult result = convert(o);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(decodeErrors(out), "");
}

TEST(TranscoderVideo, TwoPassesReportEachPassAndWriteOnlyInTheSecond)
{
    const fs::path out = scratch("two-pass.webm");
    fs::remove(out);
    TranscodeOptions o;
    o.input = fixture("two-tones-20s.mkv").string();
    o.output = out.string();
    o.container = "webm";
    o.videoCodec = "vp9";
    o.audioCodec = "opus";
    o.rateMode = 2;
    o.videoKbps = 300;
    std::vector<TranscodeProgress> reports;
    bool outputDuringPass1 = false;
    const TranscodeProgressCallback progress = [&](const TranscodeProgress& p) {
        reports.push_back(p);
        if (p.pass == 1 && fs::exists(out))
            outputDuringPass1 = true;
    };
    const std::atomic<bool> never { false };
    TranscodeResult result;
    std::thread([&] { result = Transcoder::transcode(o, &progress, &never); }).join();
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_FALSE(outputDuringPass1);
    double lowestPass1 = 1;
    double highestPass1 = 0;
    double last = 0;
    for (const TranscodeProgress& p : reports) {
        EXPECT_EQ(p.passes, 2);
        if (p.pass == 1) {
            EXPECT_EQ(p.bytes, 0);
            lowestPass1 = std::min(lowestPass1, p.fraction);
            highestPass1 = std::max(highestPass1, p.fraction);
        }
        last = p.fraction;
    }
    EXPECT_LT(lowestPass1, 0.25);
    EXPECT_DOUBLE_EQ(highestPass1, 0.5);
    EXPECT_DOUBLE_EQ(last, 1.0);
    Probe probe(out);
    ASSERT_NE(probe.params(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_EQ(probe.params(AVMEDIA_TYPE_VIDEO)->codec_id, AV_CODEC_ID_VP9);
    EXPECT_EQ(decodeErrors(out), "");
}

TEST(TranscoderVideo, FilterChainTexts)
{
    struct Case {
        const char* user;
        int maxHeight;
        double fps;
        int frameHeight;
        const char* wanted;
    };
    const Case cases[] = {
        { "hflip", 480, 25, 1080, "hflip,scale=-2:480:flags=bicubic,fps=25.000" },
        { "", 720, 0, 1080, "scale=-2:720:flags=bicubic" },
        { "", 720, 0, 720, "null" },
        { "", 0, 0, 1080, "null" },
        { "", 0, 29.97, 480, "fps=29.970" },
    };
    // A decimal comma would end the fps filter's argument.
    const std::string before = std::setlocale(LC_ALL, nullptr);
    for (const char* locale : { "C", "de_DE.UTF-8" }) {
        if (!std::setlocale(LC_ALL, locale))
            continue;
        for (const Case& c : cases)
            EXPECT_EQ(videoFilterChain(c.user, c.maxHeight, c.fps, c.frameHeight), c.wanted) << locale;
    }
    std::setlocale(LC_ALL, before.c_str());
}

TEST(TranscoderVideo, GraphTextAndSourceAspect)
{
    EXPECT_EQ(videoGraphText(videoFilterChain("hflip", 480, 25, 1080), "yuv420p"),
        "[in]hflip,scale=-2:480:flags=bicubic,fps=25.000,format=yuv420p[out]");
    EXPECT_EQ(videoGraphText(videoFilterChain("", 0, 0, 720), "nv12"), "[in]null,format=nv12[out]");
    EXPECT_EQ(videoGraphText("", "yuv420p"), "[in]null,format=yuv420p[out]");
    const std::pair<int, int> square { 1, 1 };
    EXPECT_EQ(sourceAspect(0, 0), square);
    EXPECT_EQ(sourceAspect(0, 1), square);
    EXPECT_EQ(sourceAspect(-4, 3), square);
    EXPECT_EQ(sourceAspect(64, 45), std::make_pair(64, 45));
}

// A VA-API encoder's pictures are uploaded last, after every software step.
TEST(TranscoderVideo, HardwareGraphEndsInTheUpload)
{
    EXPECT_EQ(videoGraphText(videoFilterChain("", 120, 25, 240), "nv12", false, true),
        "[in]scale=-2:120:flags=bicubic,fps=25.000,format=nv12,hwupload[out]");
    EXPECT_EQ(videoGraphText("null", "nv12", true, true),
        "[in]null[base];[sub]format=rgba[s];[base][s]overlay=format=auto:eof_action=repeat:alpha=premultiplied,"
        "format=nv12,hwupload[out]");
}

TEST(TranscoderVideo, DefaultBitRatesFollowTheHeightRows)
{
    EXPECT_EQ(Transcoder::defaultVideoBitrate("h264", 1080), 8000);
    EXPECT_EQ(Transcoder::defaultVideoBitrate("h264", 1000), 8000);
    EXPECT_EQ(Transcoder::defaultVideoBitrate("h264", 971), 4000);
    EXPECT_EQ(Transcoder::defaultVideoBitrate("h264", 640), 1500);
    EXPECT_EQ(Transcoder::defaultVideoBitrate("h264", 120), 1500);
    EXPECT_EQ(Transcoder::defaultVideoBitrate("mpeg2", 720), 6000);
    EXPECT_EQ(Transcoder::defaultVideoBitrate("hevc", 2160), 18000);
    EXPECT_EQ(Transcoder::defaultVideoBitrate("vp9", 1440), 6000);
}

std::string option(const VideoEncoderSettings& s, const std::string& key)
{
    for (const auto& [k, v] : s.options)
        if (k == key)
            return v;
    return "(unset)";
}

TEST(TranscoderVideo, HardwareEncoderSettings)
{
    TranscodeOptions o;
    o.videoCodec = "h264";
    const int qp[] = { 30, 27, 24, 21 };
    for (int q = 0; q <= 3; ++q) {
        o.quality = q;
        const VideoEncoderSettings s = videoEncoderSettings(o, "h264_vaapi", 720, 25);
        EXPECT_FALSE(s.rateDriven);
        EXPECT_EQ(option(s, "rc_mode"), "CQP");
        EXPECT_EQ(option(s, "qp"), std::to_string(qp[q]));
    }
    o.quality = 2;
    o.rateMode = 1;
    o.videoKbps = 2000;
    VideoEncoderSettings s = videoEncoderSettings(o, "hevc_vaapi", 720, 25);
    EXPECT_EQ(option(s, "rc_mode"), "VBR");
    EXPECT_EQ(option(s, "qp"), "(unset)");
    EXPECT_EQ(s.bitRate, 2'000'000);
    EXPECT_EQ(s.maxRate, 4'000'000);
    EXPECT_EQ(s.bufferSize, 4'000'000);
    EXPECT_EQ(s.gopSize, 125);
    EXPECT_EQ(s.maxBFrames, -1);
    o.live = true;
    s = videoEncoderSettings(o, "h264_vaapi", 720, 25);
    EXPECT_EQ(option(s, "rc_mode"), "CBR");
    EXPECT_EQ(s.maxBFrames, 0);
    EXPECT_EQ(s.gopSize, 50);
}

TEST(TranscoderVideo, EncoderSettingsBeforeOpen)
{
    TranscodeOptions o;
    o.videoCodec = "h264";
    o.rateMode = 1;
    VideoEncoderSettings s = videoEncoderSettings(o, "libx264", 1080, 25);
    EXPECT_TRUE(s.rateDriven);
    EXPECT_EQ(s.bitRate, 8'000'000);
    EXPECT_EQ(s.maxRate, 16'000'000);
    EXPECT_EQ(s.bufferSize, 16'000'000);
    EXPECT_EQ(option(s, "preset"), "medium");
    o.quality = 0;
    EXPECT_EQ(videoEncoderSettings(o, "libx264", 1080, 25).bitRate, 6'000'000);
    o.quality = 3;
    EXPECT_EQ(videoEncoderSettings(o, "libx264", 1080, 25).bitRate, 10'000'000);

    // A bit rate far past any real one stays positive and within the encoder's buffer field.
    o.videoKbps = 2'000'000'000;
    s = videoEncoderSettings(o, "libx264", 1080, 25);
    EXPECT_GT(s.bitRate, 0);
    EXPECT_LE(s.bufferSize, INT32_MAX);

    TranscodeOptions mpeg2;
    mpeg2.videoCodec = "mpeg2";
    mpeg2.rateMode = 1;
    s = videoEncoderSettings(mpeg2, "mpeg2video", 720, 25);
    EXPECT_EQ(s.kbps, 6000);
    EXPECT_EQ(s.maxBFrames, 2);

    TranscodeOptions vp9;
    vp9.videoCodec = "vp9";
    vp9.quality = 3;
    s = videoEncoderSettings(vp9, "libvpx-vp9", 720, 25);
    EXPECT_FALSE(s.rateDriven);
    EXPECT_EQ(s.bitRate, 0);
    EXPECT_EQ(option(s, "crf"), "24");
    EXPECT_EQ(option(s, "cpu-used"), "1");
    EXPECT_EQ(option(s, "deadline"), "good");

    TranscodeOptions x264;
    EXPECT_EQ(option(videoEncoderSettings(x264, "libx264", 240, 25), "crf"), "22");
    EXPECT_EQ(videoEncoderSettings(x264, "libx264", 240, 29.97).gopSize, 149);
    EXPECT_EQ(videoEncoderSettings(x264, "libx264", 240, 2).gopSize, 12);
    x264.live = true;
    EXPECT_EQ(videoEncoderSettings(x264, "libx264", 240, 0.4).gopSize, 1);
    EXPECT_EQ(option(videoEncoderSettings(x264, "libx264", 240, 25), "tune"), "zerolatency");
}

} // namespace
