#include "engine/convert/Transcoder.h"

extern "C" {
#include <libavutil/error.h>
}

#include <gtest/gtest.h>

#include <cerrno>

using namespace kvr::engine;

namespace {

struct RuleCase {
    const char* container;
    const char* video;
    const char* audio;
    const char* message; // empty = allowed
};

// One row per rule (each refused and, where it matters, its nearest allowed neighbour), then the edge cases.
const RuleCase ruleCases[] = {
    // 1: audio-only containers take no video.
    { "mp3", "h264", "mp3", "mp3 holds audio only \u2014 choose \"No video\"" },
    { "m4a", "copy", "aac", "m4a holds audio only \u2014 choose \"No video\"" },
    { "wav", "none", "pcm", "" },
    // 2, 3: webm reports the video before the audio.
    { "webm", "h264", "aac", "WebM allows only VP9 or AV1 video" },
    { "webm", "vp9", "aac", "WebM allows only Opus audio" },
    { "webm", "av1", "opus", "" },
    { "webm", "copy", "none", "" },
    // 4..9: audio-only containers take their own audio and refuse "none".
    { "mp3", "none", "copy", "" },
    { "mp3", "none", "none", "MP3 files hold MP3 audio only" },
    { "mp3", "none", "aac", "MP3 files hold MP3 audio only" },
    { "m4a", "none", "alac", "" },
    { "m4a", "none", "mp3", "M4A holds AAC or ALAC audio" },
    { "ogg", "none", "flac", "" },
    { "ogg", "none", "aac", "Ogg holds Opus or FLAC audio" },
    { "opus", "none", "flac", ".opus files hold Opus audio only" },
    { "flac", "none", "none", ".flac files hold FLAC audio only" },
    { "wav", "none", "aac", "WAV holds PCM audio" },
    // 10, 11.
    { "avi", "vp9", "mp3", "AVI supports MPEG-4 or H.264 video here" },
    { "avi", "mpeg4", "aac", "AVI supports MP3, AC-3 or PCM audio" },
    { "avi", "h264", "ac3", "" },
    // 12, 13.
    { "ts", "vp9", "aac", "MPEG-TS supports H.264, HEVC or MPEG-2 video" },
    { "ts", "hevc", "flac", "MPEG-TS supports AAC, MP3, AC-3 or Opus audio" },
    { "ts", "mpeg2", "opus", "" },
    // 14 and the two rows after it: what FFmpeg's mov muxer refuses at the header.
    { "mov", "vp9", "aac", "MOV does not support VP9" },
    { "mov", "av1", "aac", "MOV does not support AV1" },
    { "mov", "h264", "opus", "MOV does not support Opus or FLAC audio \u2014 use MP4 or MKV" },
    { "mov", "none", "flac", "MOV does not support Opus or FLAC audio \u2014 use MP4 or MKV" },
    { "mov", "hevc", "pcm", "" },
    // 15.
    { "mp4", "h264", "pcm", "MP4 does not support PCM audio \u2014 use MOV or MKV" },
    { "mp4", "vp9", "flac", "" },
    { "mp4", "av1", "opus", "" },
    // 16, and containers without rules of their own.
    { "mkv", "none", "none", "Choose at least one of audio or video" },
    { "mkv", "vp9", "pcm", "" },
    { "mkv", "copy", "alac", "" },
    { "mkv", "none", "opus", "" },
    { "xyz", "vp9", "pcm", "" },
    { "xyz", "none", "none", "Choose at least one of audio or video" },
    { "MP3", "h264", "aac", "" },
};

} // namespace

TEST(TranscoderRules, ValidateGivesTheFirstFailingRule)
{
    for (const RuleCase& c : ruleCases) {
        SCOPED_TRACE(std::string(c.container) + " / " + c.video + " / " + c.audio);
        EXPECT_EQ(Transcoder::validate(c.container, c.video, c.audio), c.message);
    }
}

TEST(TranscoderRules, AudioOnlyContainersAndMuxerNames)
{
    const struct {
        const char* container;
        const char* muxer;
        bool audioOnly;
    } cases[] = {
        { "mp4", "mp4", false },
        { "mkv", "matroska", false },
        { "webm", "webm", false },
        { "mov", "mov", false },
        { "avi", "avi", false },
        { "ts", "mpegts", false },
        { "mp3", "mp3", true },
        { "m4a", "mp4", true },
        { "ogg", "ogg", true },
        { "opus", "opus", true },
        { "flac", "flac", true },
        { "wav", "wav", true },
        { "MP3", nullptr, false },
        { "", nullptr, false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.container);
        EXPECT_EQ(isAudioOnlyContainer(c.container), c.audioOnly);
        const char* muxer = Transcoder::muxerNameFor(c.container);
        EXPECT_STREQ(muxer, c.muxer);
    }
}

TEST(TranscoderRules, EncoderCandidatesInOrder)
{
    using Names = std::vector<std::string>;
    EXPECT_EQ(Transcoder::encoderNameFor("h264"), (Names { "h264_vaapi", "libx264" }));
    EXPECT_EQ(Transcoder::encoderNameFor("hevc"), (Names { "hevc_vaapi", "libx265" }));
    EXPECT_EQ(Transcoder::encoderNameFor("vp9"), (Names { "libvpx-vp9" }));
    EXPECT_EQ(Transcoder::encoderNameFor("av1"), (Names { "libaom-av1" }));
    EXPECT_EQ(Transcoder::encoderNameFor("mpeg4"), (Names { "mpeg4" }));
    EXPECT_EQ(Transcoder::encoderNameFor("mpeg2"), (Names { "mpeg2video" }));
    EXPECT_EQ(Transcoder::encoderNameFor("aac"), (Names { "aac" }));
    EXPECT_EQ(Transcoder::encoderNameFor("opus"), (Names { "libopus", "opus" }));
    EXPECT_EQ(Transcoder::encoderNameFor("mp3"), (Names { "libmp3lame" }));
    EXPECT_EQ(Transcoder::encoderNameFor("flac"), (Names { "flac" }));
    EXPECT_EQ(Transcoder::encoderNameFor("alac"), (Names { "alac" }));
    EXPECT_EQ(Transcoder::encoderNameFor("ac3"), (Names { "ac3" }));
    EXPECT_EQ(Transcoder::encoderNameFor("pcm"), (Names { "pcm_s16le" }));
    EXPECT_TRUE(Transcoder::encoderNameFor("copy").empty());
    EXPECT_TRUE(Transcoder::encoderNameFor("H264").empty());
    EXPECT_EQ(Transcoder::findEncoder("none"), nullptr);
}

TEST(TranscoderRules, ErrorStringIsFfmpegsText)
{
    char expected[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(AVERROR(ENOENT), expected, sizeof expected);
    EXPECT_EQ(errorString(AVERROR(ENOENT)), expected);
    EXPECT_EQ(errorString(AVERROR_EOF), "End of file");
}
