#include "engine/convert/Transcoder.h"

#include <gtest/gtest.h>

#include <utility>

using namespace kvr::engine;

TEST(TranscoderRecords, OptionsStartWithTheirDefaults)
{
    const TranscodeOptions o;
    EXPECT_EQ(o.input, "");
    EXPECT_EQ(o.output, "");
    EXPECT_EQ(o.container, "mp4");
    EXPECT_EQ(o.videoCodec, "h264");
    EXPECT_EQ(o.quality, 2);
    EXPECT_EQ(o.rateMode, 0);
    EXPECT_EQ(o.videoKbps, 0);
    EXPECT_EQ(o.maxHeight, 0);
    EXPECT_EQ(o.fps, 0.0);
    EXPECT_EQ(o.videoFilters, "");
    EXPECT_TRUE(o.audioStreams.empty());
    EXPECT_EQ(o.audioCodec, "aac");
    EXPECT_EQ(o.audioKbps, 0);
    EXPECT_EQ(o.audioChannels, 0);
    EXPECT_EQ(o.sampleRate, 0);
    EXPECT_EQ(o.subtitles, 0);
    EXPECT_EQ(o.subtitleStream, -1);
    EXPECT_EQ(o.subtitleFile, "");
    EXPECT_TRUE(o.keepMetadata);
    EXPECT_TRUE(o.keepCover);
    EXPECT_FALSE(o.live);
    EXPECT_EQ(o.startUs, 0);
    EXPECT_FALSE(o.outputSink);

    const TranscodeResult r;
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.cancelled);
    EXPECT_EQ(r.message, "");
    EXPECT_FALSE(r.outputOpened);

    const TranscodeProgress p;
    EXPECT_EQ(p.fraction, 0.0);
    EXPECT_EQ(p.etaSeconds, -1.0);
    EXPECT_EQ(p.bytes, 0);
}

TEST(TranscoderRecords, CopyCallsTheSameSinkAndMoveEmptiesTheSource)
{
    int taken = 0;
    TranscodeOptions o;
    o.input = "in.mkv";
    o.output = "out.mp4";
    o.videoFilters = "hflip";
    o.subtitleFile = "subs.srt";
    o.audioStreams = { 1, 2 };
    o.outputSink = [&taken](const uint8_t*, int size) {
        taken += size;
        return true;
    };

    const TranscodeOptions copy = o;
    const uint8_t bytes[3] = { 1, 2, 3 };
    ASSERT_TRUE(copy.outputSink);
    EXPECT_TRUE(copy.outputSink(bytes, 3));
    EXPECT_EQ(taken, 3);
    EXPECT_EQ(copy.input, "in.mkv");
    EXPECT_EQ(copy.audioStreams, (std::vector<int> { 1, 2 }));

    const TranscodeOptions moved = std::move(o);
    EXPECT_EQ(moved.input, "in.mkv");
    EXPECT_EQ(moved.subtitleFile, "subs.srt");
    ASSERT_TRUE(moved.outputSink);
    EXPECT_TRUE(moved.outputSink(bytes, 2));
    EXPECT_EQ(taken, 5);
    // The moved-from record must not still name the files: a queue that reuses it would convert them again.
    EXPECT_EQ(o.input, "");
    EXPECT_EQ(o.output, "");
    EXPECT_EQ(o.container, "");
    EXPECT_EQ(o.videoCodec, "");
    EXPECT_EQ(o.videoFilters, "");
    EXPECT_EQ(o.audioCodec, "");
    EXPECT_EQ(o.subtitleFile, "");
}
