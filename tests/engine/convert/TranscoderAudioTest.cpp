// Conversions that re-encode audio and convert text subtitles, end to end on generated media; every output is
// read back with libavformat and decoded by the ffmpeg tool.
#include "engine/Logging.h"
#include "engine/convert/Transcoder.h"
#include "tests/engine/convert/TranscoderTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace kvr::engine;
using kvr::test::convert;
using kvr::test::decodeErrors;
using kvr::test::fixture;
using kvr::test::freePackets;
using kvr::test::Warnings;
using Probe = kvr::test::OutputProbe;

namespace {

fs::path scratch(const std::string& name)
{
    return kvr::test::transcodeScratch("encode", name);
}

TranscodeOptions audioOnly(
    const fs::path& input, const fs::path& output, const std::string& container, const std::string& audioCodec)
{
    TranscodeOptions o;
    o.input = input.string();
    o.output = output.string();
    o.container = container;
    o.videoCodec = "none";
    o.audioCodec = audioCodec;
    return o;
}

} // namespace

TEST(TranscoderAudio, EncodesEachCodecIntoItsContainer)
{
    struct Case {
        const char* input;
        const char* output;
        const char* container;
        const char* codec;
        AVCodecID id;
        int channels;
        int sampleRate;
        int64_t bitRate = 0; // checked when above 0
    };
    const Case table[] = {
        { "multi.mkv", "aac.m4a", "m4a", "aac", AV_CODEC_ID_AAC, 2, 48000 },
        { "surround51.wav", "surround.opus", "opus", "opus", AV_CODEC_ID_OPUS, 6, 48000 },
        { "surround51.wav", "surround.mp3", "mp3", "mp3", AV_CODEC_ID_MP3, 2, 48000 },
        { "surround51.wav", "surround.mkv", "mkv", "ac3", AV_CODEC_ID_AC3, 6, 48000, 448000 },
        // Six channels of no known order ("6 channels" to the graph) are taken as the default 5.1.
        { "six-nomask.wav", "six.mkv", "mkv", "ac3", AV_CODEC_ID_AC3, 6, 48000, 448000 },
        { "tone44k.flac", "tone.flac", "flac", "flac", AV_CODEC_ID_FLAC, 1, 44100 },
        { "tone44k.flac", "alac.m4a", "m4a", "alac", AV_CODEC_ID_ALAC, 1, 44100 },
        { "tone44k.flac", "tone.wav", "wav", "pcm", AV_CODEC_ID_PCM_S16LE, 1, 44100 },
        { "tone44k.flac", "flac.mp4", "mp4", "flac", AV_CODEC_ID_FLAC, 1, 44100 },
        // 24000 and 48000 are equally near 36000: the rate listed first wins.
        { "tone36k.wav", "tone36k.opus", "opus", "opus", AV_CODEC_ID_OPUS, 1, 48000 },
    };
    for (const Case& c : table) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output);
        const fs::path out = scratch(c.output);
        const TranscodeResult r = convert(audioOnly(fixture(c.input), out, c.container, c.codec));
        ASSERT_TRUE(r.ok) << r.message;
        Probe p(out);
        ASSERT_EQ(p.count(AVMEDIA_TYPE_AUDIO), 1);
        EXPECT_EQ(p.count(AVMEDIA_TYPE_VIDEO), 0);
        const AVStream* a = p.first(AVMEDIA_TYPE_AUDIO);
        EXPECT_EQ(a->codecpar->codec_id, c.id);
        EXPECT_EQ(a->codecpar->ch_layout.nb_channels, c.channels);
        EXPECT_EQ(a->codecpar->sample_rate, c.sampleRate);
        if (c.bitRate > 0) {
            EXPECT_EQ(a->codecpar->bit_rate, c.bitRate);
        }
        if (c.id == AV_CODEC_ID_OPUS && c.channels > 2) {
            // OpusHead: the channel mapping family is byte 18.
            ASSERT_GT(a->codecpar->extradata_size, 18);
            EXPECT_EQ(a->codecpar->extradata[18], 1);
        }
        if (c.id == AV_CODEC_ID_AAC) {
            // Whole AAC frames of 1024 samples (the last may be short), at about the default 192 kb/s.
            EXPECT_EQ(a->codecpar->frame_size, 1024);
            std::vector<AVPacket*> packets = p.packets(a);
            ASSERT_GT(packets.size(), 100u);
            // The input's own first timestamps may move the start by a few samples; after that, no gaps.
            for (size_t i = 4; i + 1 < packets.size(); ++i)
                EXPECT_EQ(av_rescale_q(packets[i]->duration, a->time_base, AVRational { 1, 48000 }), 1024) << i;
            freePackets(packets);
        }
        EXPECT_EQ(decodeErrors(out), "");
    }
}

TEST(TranscoderAudio, CoverPictureStaysWithTheEncodedAudio)
{
    const fs::path out = scratch("cover.m4a");
    const TranscodeResult r = convert(audioOnly(fixture("cover.mp3"), out, "m4a", "aac"));
    ASSERT_TRUE(r.ok) << r.message;
    Probe p(out);
    EXPECT_EQ(p.first(AVMEDIA_TYPE_AUDIO)->codecpar->codec_id, AV_CODEC_ID_AAC);
    const AVStream* cover = p.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(cover, nullptr);
    EXPECT_TRUE(cover->disposition & AV_DISPOSITION_ATTACHED_PIC);
    EXPECT_GT(cover->attached_pic.size, 1000);
    EXPECT_EQ(decodeErrors(out), "");
}

TEST(TranscoderAudio, EncoderSettingsArithmetic)
{
    // Nearest listed rate, the earlier one on a tie; an empty list keeps the wanted rate.
    const std::vector<int> opusRates { 48000, 24000, 16000, 12000, 8000 };
    EXPECT_EQ(nearestSampleRate(opusRates, 36000), 48000);
    EXPECT_EQ(nearestSampleRate({ 24000, 48000 }, 36000), 24000);
    EXPECT_EQ(nearestSampleRate(opusRates, 44100), 48000);
    EXPECT_EQ(nearestSampleRate(opusRates, 11025), 12000);
    EXPECT_EQ(nearestSampleRate({}, 22050), 22050);

    struct Channels {
        const char* codec;
        const char* encoder;
        int wanted;
        int count;
    };
    for (const Channels& c : std::initializer_list<Channels> { { "opus", "libopus", 6, 6 }, { "opus", "opus", 6, 2 },
             { "mp3", "libmp3lame", 6, 2 }, { "ac3", "ac3", 8, 6 }, { "aac", "aac", 12, 8 }, { "flac", "flac", 0, 1 } })
        EXPECT_EQ(audioChannelCount(c.codec, c.encoder, c.wanted), c.count) << c.codec << " " << c.encoder;

    // A user's rate beyond what an int holds in bit/s stays positive.
    EXPECT_EQ(audioBitRate("aac", 2, 3000000), int64_t { 3000000000 });
    EXPECT_EQ(audioBitRate("aac", 6, 0), 384000);
    EXPECT_EQ(audioBitRate("opus", 2, 0), 128000);
    EXPECT_EQ(audioBitRate("flac", 2, 0), 0);
}

TEST(TranscoderAudio, TextSubtitlesAreConvertedCopiedOrDropped)
{
    struct Case {
        const char* input;
        const char* output;
        const char* container;
        const char* videoCodec;
        const char* audioCodec;
        AVCodecID subtitle; // AV_CODEC_ID_NONE: no subtitle stream
        std::string warning; // empty: none expected
    };
    const Case table[] = {
        { "multi.mkv", "subs.mp4", "mp4", "copy", "copy", AV_CODEC_ID_MOV_TEXT, "" },
        { "ass-subs.mkv", "ass.mkv", "mkv", "copy", "none", AV_CODEC_ID_ASS, "" },
        { "dvb-subs.mkv", "dvb.mp4", "mp4", "copy", "copy", AV_CODEC_ID_NONE,
            "Transcoder: bitmap subtitle stream 2 cannot be converted to text (no OCR); dropped" },
        { "multi.mkv", "subs.avi", "avi", "copy", "mp3", AV_CODEC_ID_NONE,
            "Transcoder: dropping subtitle stream 3 (subrip not allowed in avi)" },
        { "multi.mkv", "subs.webm", "webm", "none", "opus", AV_CODEC_ID_WEBVTT, "" },
    };
    for (const Case& c : table) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.output);
        Warnings warnings;
        const fs::path out = scratch(c.output);
        TranscodeOptions o = audioOnly(fixture(c.input), out, c.container, c.audioCodec);
        o.videoCodec = c.videoCodec;
        o.subtitles = 2;
        const TranscodeResult r = convert(o);
        ASSERT_TRUE(r.ok) << r.message;
        if (!c.warning.empty()) {
            EXPECT_TRUE(warnings.saw(c.warning)) << c.warning;
        }
        Probe p(out);
        const AVStream* s = p.first(AVMEDIA_TYPE_SUBTITLE);
        if (c.subtitle == AV_CODEC_ID_NONE) {
            EXPECT_EQ(s, nullptr);
        } else {
            ASSERT_EQ(p.count(AVMEDIA_TYPE_SUBTITLE), 1);
            EXPECT_EQ(s->codecpar->codec_id, c.subtitle);
        }
        if (std::string(c.audioCodec) != "none") {
            EXPECT_EQ(p.count(AVMEDIA_TYPE_AUDIO), 1);
        }
        EXPECT_EQ(decodeErrors(out), "");
    }
}

TEST(TranscoderAudio, ConvertedCuesKeepTheInputsTimes)
{
    const fs::path out = scratch("cues.mp4");
    TranscodeOptions o = audioOnly(fixture("multi.mkv"), out, "mp4", "copy");
    o.videoCodec = "copy";
    o.subtitles = 2;
    ASSERT_TRUE(convert(o).ok);
    Probe in(fixture("multi.mkv"));
    Probe p(out);
    const AVStream* inSubs = in.first(AVMEDIA_TYPE_SUBTITLE);
    const AVStream* outSubs = p.first(AVMEDIA_TYPE_SUBTITLE);
    ASSERT_NE(inSubs, nullptr);
    ASSERT_NE(outSubs, nullptr);
    std::vector<AVPacket*> before = in.packets(inSubs);
    std::vector<AVPacket*> after = p.packets(outSubs);
    // mov_text fills the gaps between cues with empty samples: compare the cues that carry text.
    std::vector<int64_t> cueTimes;
    for (const AVPacket* packet : after)
        if (packet->size > 2)
            cueTimes.push_back(av_rescale_q(packet->pts, outSubs->time_base, AVRational { 1, 1000 }));
    ASSERT_EQ(cueTimes.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(cueTimes[i], av_rescale_q(before[i]->pts, inSubs->time_base, AVRational { 1, 1000 })) << i;
    freePackets(before);
    freePackets(after);
}

TEST(TranscoderAudio, CopiedAssTrackKeepsItsPackets)
{
    const fs::path out = scratch("ass-copy.mkv");
    TranscodeOptions o = audioOnly(fixture("ass-subs.mkv"), out, "mkv", "none");
    o.videoCodec = "copy";
    o.subtitles = 2;
    ASSERT_TRUE(convert(o).ok);
    Probe in(fixture("ass-subs.mkv"));
    Probe p(out);
    std::vector<AVPacket*> before = in.packets(in.first(AVMEDIA_TYPE_SUBTITLE));
    std::vector<AVPacket*> after = p.packets(p.first(AVMEDIA_TYPE_SUBTITLE));
    ASSERT_EQ(after.size(), before.size());
    ASSERT_EQ(before.size(), 2u);
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(after[i]->data), static_cast<size_t>(after[i]->size)),
            std::string(reinterpret_cast<const char*>(before[i]->data), static_cast<size_t>(before[i]->size)));
        EXPECT_EQ(after[i]->pts, before[i]->pts);
    }
    freePackets(before);
    freePackets(after);
}

// A later start moves converted cues with everything else: a cue before the start is dropped, the next one
// comes that much earlier. The input's own start time (5.5 s in this fixture) is part of the shift.
TEST(TranscoderAudio, LaterStartShiftsConvertedCuesFromTheContainerStart)
{
    const fs::path out = scratch("late-cues.mp4");
    TranscodeOptions o = audioOnly(fixture("late-start-subs.mkv"), out, "mp4", "none");
    o.videoCodec = "copy";
    o.subtitles = 2;
    o.startUs = 1000000;
    ASSERT_TRUE(convert(o).ok);
    Probe in(fixture("late-start-subs.mkv"));
    ASSERT_NE(in.ctx, nullptr);
    const int64_t inputStartMs = in.ctx->start_time / 1000;
    ASSERT_GT(inputStartMs, 4000);
    Probe p(out);
    const AVStream* s = p.first(AVMEDIA_TYPE_SUBTITLE);
    ASSERT_NE(s, nullptr);
    std::vector<AVPacket*> packets = p.packets(s);
    std::vector<int64_t> cueTimes;
    for (const AVPacket* packet : packets)
        if (packet->size > 2)
            cueTimes.push_back(av_rescale_q(packet->pts, s->time_base, AVRational { 1, 1000 }));
    freePackets(packets);
    // Cues at 5.5 s and 7.0 s of the input: only the second is at or after the start.
    ASSERT_EQ(cueTimes.size(), 1u);
    EXPECT_EQ(cueTimes[0], 7000 - (inputStartMs + 1000));
}
