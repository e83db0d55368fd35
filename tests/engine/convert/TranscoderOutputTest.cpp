// The output writer's deferred header, driven by an H.264 encoder opened without the global-header flag: its
// parameter sets come in band, with key frames only, so the packets before one are held until the header.
#include "engine/convert/Transcoder.h"
#include "engine/internal/TranscoderJob.h"
#include "tests/engine/convert/TranscoderTestSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace kvr::engine;

namespace {

// Encodes `count` small frames with libx264 as an encoder without global header sees them; key frames every
// `gop` frames, no B-frames, so packets come in display order.
std::vector<AVPacket*> encodeInBand(AVCodecContext* enc, int count)
{
    std::vector<AVPacket*> packets;
    AVFrame* frame = av_frame_alloc();
    frame->format = enc->pix_fmt;
    frame->width = enc->width;
    frame->height = enc->height;
    if (av_frame_get_buffer(frame, 0) < 0)
        return packets;
    AVPacket* packet = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(enc, packet) >= 0) {
            packets.push_back(av_packet_clone(packet));
            av_packet_unref(packet);
        }
    };
    for (int i = 0; i < count; ++i) {
        av_frame_make_writable(frame);
        for (int plane = 0; plane < 3; ++plane)
            for (int y = 0; y < (plane ? enc->height / 2 : enc->height); ++y)
                std::memset(frame->data[plane] + y * frame->linesize[plane], (i * 7 + plane * 40 + y) & 0xff,
                    frame->linesize[plane]);
        frame->pts = i;
        avcodec_send_frame(enc, frame);
        drain();
    }
    avcodec_send_frame(enc, nullptr);
    drain();
    av_packet_free(&packet);
    av_frame_free(&frame);
    return packets;
}

bool hasParameterSets(const AVPacket* p)
{
    // Annex B: an SPS is NAL type 7 after a start code.
    for (int i = 0; i + 3 < p->size; ++i)
        if (p->data[i] == 0 && p->data[i + 1] == 0 && p->data[i + 2] == 1 && (p->data[i + 3] & 0x1f) == 7)
            return true;
    return false;
}

TEST(TranscoderOutput, HeldPacketsFollowTheDeferredHeader)
{
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        GTEST_SKIP() << "no libx264 here";
    const fs::path out = kvr::test::transcodeScratch("output", "held.mp4");
    TranscodeOptions options;
    options.container = "mp4";
    options.output = out.string();

    Transcoder::Job job;
    job.options = &options;
    ASSERT_GE(avformat_alloc_output_context2(&job.outputContext, nullptr, "mp4", out.c_str()), 0);
    ASSERT_TRUE(job.outputContext->oformat->flags & AVFMT_GLOBALHEADER);
    ASSERT_GE(avio_open(&job.outputContext->pb, out.c_str(), AVIO_FLAG_WRITE), 0);

    auto owned = std::make_unique<Transcoder::OutputStream>();
    Transcoder::OutputStream& os = *owned;
    job.outputs.push_back(std::move(owned));
    job.videoOut = &os;
    os.kind = Transcoder::StreamKind::EncodeVideo;
    os.encoder = avcodec_alloc_context3(codec);
    AVCodecContext* enc = os.encoder;
    enc->width = 160;
    enc->height = 120;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->time_base = AVRational { 1, 25 };
    enc->gop_size = 10;
    enc->max_b_frames = 0;
    enc->thread_count = 1;
    av_opt_set(enc->priv_data, "preset", "ultrafast", 0);
    av_opt_set(enc->priv_data, "x264-params", "scenecut=0", 0);
    ASSERT_GE(avcodec_open2(enc, codec, nullptr), 0);
    ASSERT_EQ(enc->extradata_size, 0) << "the encoder put its parameter sets in extradata after all";

    os.stream = avformat_new_stream(job.outputContext, nullptr);
    ASSERT_NE(os.stream, nullptr);
    ASSERT_GE(avcodec_parameters_from_context(os.stream->codecpar, enc), 0);
    os.stream->time_base = enc->time_base;
    job.awaitingExtradata = true;

    std::vector<AVPacket*> packets = encodeInBand(enc, 25);
    ASSERT_EQ(packets.size(), 25u);
    ASSERT_TRUE(hasParameterSets(packets[0]));
    ASSERT_TRUE(hasParameterSets(packets[10]));
    ASSERT_FALSE(hasParameterSets(packets[3]));

    // Start after the first key frame: frames 3 to 9 carry no parameter sets and wait for frame 10's.
    int fed = 0;
    for (size_t i = 3; i < packets.size(); ++i) {
        EXPECT_TRUE(Transcoder::writePacket(job, os, packets[i], enc->time_base)) << job.error;
        ++fed;
        if (i < 10) {
            EXPECT_FALSE(job.headerWritten) << "frame " << i;
        }
    }
    for (AVPacket*& p : packets)
        av_packet_free(&p);
    EXPECT_TRUE(job.headerWritten);
    EXPECT_TRUE(job.heldVideoPackets.empty());
    ASSERT_GE(av_write_trailer(job.outputContext), 0);
    avio_closep(&job.outputContext->pb);

    kvr::test::OutputProbe probe(out);
    const AVCodecParameters* video = probe.params(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_GT(video->extradata_size, 0) << "the header went out without the parameter sets";
    int read = 0;
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(probe.ctx, packet) >= 0) {
        ++read;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    EXPECT_EQ(read, fed) << "held packets were lost";
}

} // namespace
