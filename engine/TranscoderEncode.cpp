// Between a re-encoded stream's decoder and its encoder: the filter graph, the encoder settings that follow from
// the user's choices, and the hand-over of encoded packets to the muxer.
#include "engine/FormatToBuffer.h"
#include "engine/Logging.h"
#include "engine/Transcoder.h"
#include "engine/internal/TranscoderJob.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdlib>
#include <string>

namespace kvr::engine {

namespace {

constexpr size_t audioArgsSize = 512;
constexpr size_t layoutTextSize = 128;

// A layout's description ("stereo", "5.1(side)", "6 channels" for one without a known order); false when it
// does not fit the buffer, so a cut-off description never reaches a filter.
bool describeLayout(const AVChannelLayout& layout, char (&text)[layoutTextSize])
{
    const int length = av_channel_layout_describe(&layout, text, sizeof text);
    return length > 0 && static_cast<size_t>(length) < sizeof text;
}

bool failCode(Transcoder::Job& job, const char* what, int code)
{
    if (code == AVERROR_EXIT)
        job.interrupted = true;
    return Transcoder::fail(job, what, errorString(code));
}

} // namespace

int nearestSampleRate(const std::vector<int>& rates, int wanted)
{
    if (rates.empty())
        return wanted;
    int best = rates.front();
    for (const int rate : rates)
        if (std::llabs(static_cast<long long>(rate) - wanted) < std::llabs(static_cast<long long>(best) - wanted))
            best = rate;
    return best;
}

int audioChannelCount(const std::string& codec, const std::string& encoderName, int wanted)
{
    int ceiling = 8;
    if (codec == "mp3")
        ceiling = 2;
    else if (codec == "ac3")
        ceiling = 6;
    else if (codec == "opus" && encoderName == "opus")
        ceiling = 2;
    return std::clamp(wanted, 1, ceiling);
}

int64_t audioBitRate(const std::string& codec, int channels, int userKbps)
{
    // 64 bits: the dialog takes any whole number, and 3 000 000 kb/s must not wrap to a negative rate.
    if (userKbps > 0)
        return static_cast<int64_t>(userKbps) * 1000;
    const bool surround = channels > 2;
    if (codec == "aac")
        return surround ? 384000 : 192000;
    if (codec == "opus")
        return surround ? 256000 : 128000;
    if (codec == "mp3")
        return 192000;
    if (codec == "ac3")
        return surround ? 448000 : 192000;
    return 0;
}

bool Transcoder::buildAudioGraph(Job& job, OutputStream& os)
{
    avfilter_graph_free(&os.graph);
    os.source = nullptr;
    os.sink = nullptr;
    const AVCodecContext* dec = os.decoder;
    const AVCodecContext* enc = os.encoder;
    if (dec->sample_rate < 1)
        return fail(job, "decoder", "no sample rate");
    os.graph = avfilter_graph_alloc();
    if (!os.graph)
        return fail(job, "filter", "audio buffers");

    char decoderLayout[layoutTextSize];
    char encoderLayout[layoutTextSize];
    AVChannelLayout fallback {};
    const AVChannelLayout* inLayout = &dec->ch_layout;
    if (dec->ch_layout.nb_channels < 1) {
        // A decoder that states no channels at all: take it as mono rather than give abuffer nothing.
        av_channel_layout_default(&fallback, 1);
        inLayout = &fallback;
    }
    if (!describeLayout(*inLayout, decoderLayout) || !describeLayout(enc->ch_layout, encoderLayout))
        return fail(job, "filter", "channel layout description too long");

    const char* decoderFormat = av_get_sample_fmt_name(dec->sample_fmt);
    const char* encoderFormat = av_get_sample_fmt_name(enc->sample_fmt);
    if (!decoderFormat || !encoderFormat)
        return fail(job, "filter", "unknown sample format");

    char sourceArgs[audioArgsSize];
    // Counted in samples rather than in the stream's time base: millisecond times (Matroska) would round every
    // frame's start by up to half a millisecond, and the encoder would get frames with gaps and overlaps.
    int length = formatToBuffer(sourceArgs, sizeof sourceArgs,
        "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s", 1, dec->sample_rate, dec->sample_rate,
        decoderFormat, decoderLayout);
    if (length < 0 || static_cast<size_t>(length) >= sizeof sourceArgs)
        return fail(job, "filter", "audio source arguments too long");

    const AVFilter* abuffer = avfilter_get_by_name("abuffer");
    const AVFilter* abuffersink = avfilter_get_by_name("abuffersink");
    if (!abuffer || !abuffersink
        || avfilter_graph_create_filter(&os.source, abuffer, "in", sourceArgs, nullptr, os.graph) < 0
        || avfilter_graph_create_filter(&os.sink, abuffersink, "out", nullptr, nullptr, os.graph) < 0)
        return fail(job, "filter", "audio buffers");

    char chain[audioArgsSize];
    length
        = formatToBuffer(chain, sizeof chain, "aresample=%d,aformat=sample_fmts=%s:sample_rates=%d:channel_layouts=%s",
            enc->sample_rate, encoderFormat, enc->sample_rate, encoderLayout);
    if (length < 0 || static_cast<size_t>(length) >= sizeof chain)
        return fail(job, "filter", "audio filter text too long");

    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    int r = AVERROR(ENOMEM);
    if (outputs && inputs) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = os.source;
        outputs->pad_idx = 0;
        outputs->next = nullptr;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = os.sink;
        inputs->pad_idx = 0;
        inputs->next = nullptr;
        r = avfilter_graph_parse_ptr(os.graph, chain, &inputs, &outputs, nullptr);
        if (r >= 0)
            r = avfilter_graph_config(os.graph, nullptr);
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    if (r < 0)
        return fail(job, "filter", std::string(chain) + ": " + errorString(r));

    if (!(enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) && enc->frame_size > 0)
        av_buffersink_set_frame_size(os.sink, static_cast<unsigned>(enc->frame_size));
    os.sinkTimeBase = av_buffersink_get_time_base(os.sink);
    return true;
}

bool Transcoder::processVideoFrame(Job& job, OutputStream& os, AVFrame* frame)
{
    if (os.kind == StreamKind::EncodeVideo && !os.encoder) {
        if (!frame)
            return true; // the stream ended before its first frame
        // The video encoder is set up from the first decoded frame; that set-up is not built yet.
        return fail(job, "encoder", "video encoding is not available yet; choose \"copy\" or \"none\"");
    }
    if (!os.graph || !os.source || !os.sink)
        return fail(job, "filter", "no filter graph");

    if (frame && os.kind == StreamKind::EncodeAudio && frame->pts != AV_NOPTS_VALUE) {
        const AVRational samples { 1, os.decoder->sample_rate };
        frame->pts = av_rescale_delta(job.inputContext->streams[os.inputIndex]->time_base, frame->pts, samples,
            frame->nb_samples, &os.sampleTimeCarry, samples);
    }
    int r = frame ? av_buffersrc_add_frame_flags(os.source, frame, AV_BUFFERSRC_FLAG_KEEP_REF)
                  : av_buffersrc_add_frame_flags(os.source, nullptr, 0);
    if (r < 0)
        return failCode(job, "filter", r);
    if (!frame && os.subtitleSource) {
        r = av_buffersrc_add_frame_flags(os.subtitleSource, nullptr, 0);
        if (r < 0)
            return failCode(job, "filter", r);
    }

    AVFrame* filtered = av_frame_alloc();
    if (!filtered)
        return failCode(job, "filter", AVERROR(ENOMEM));
    const AVRational sinkTimeBase = av_buffersink_get_time_base(os.sink);
    bool good = true;
    for (;;) {
        r = av_buffersink_get_frame(os.sink, filtered);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            break;
        if (r < 0) {
            good = failCode(job, "filter", r);
            break;
        }
        filtered->pict_type = AV_PICTURE_TYPE_NONE;
        if (os.kind == StreamKind::EncodeVideo)
            ++job.videoFrames;
        // The encoder counts in its own time base; the graph's may differ (audio: the input stream's).
        if (filtered->pts != AV_NOPTS_VALUE && sinkTimeBase.num > 0
            && av_cmp_q(sinkTimeBase, os.encoder->time_base) != 0)
            filtered->pts = av_rescale_q(filtered->pts, sinkTimeBase, os.encoder->time_base);
        good = encodeFrame(job, os, filtered);
        av_frame_unref(filtered);
        if (!good)
            break;
    }
    av_frame_free(&filtered);
    if (!good)
        return false;
    return frame ? true : encodeFrame(job, os, nullptr);
}

bool Transcoder::encodeFrame(Job& job, OutputStream& os, AVFrame* frame)
{
    AVCodecContext* enc = os.encoder;
    int r = avcodec_send_frame(enc, frame);
    if (r < 0 && r != AVERROR_EOF)
        return failCode(job, "encoder", r);
    AVPacket* packet = av_packet_alloc();
    if (!packet)
        return failCode(job, "encoder", AVERROR(ENOMEM));
    bool good = true;
    for (;;) {
        r = avcodec_receive_packet(enc, packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            break;
        if (r < 0) {
            good = failCode(job, "encoder", r);
            break;
        }
        if (job.pass == 1) {
            if (job.passLog && enc->stats_out)
                job.passLog->append(enc->stats_out);
            if (os.kind == StreamKind::EncodeVideo && packet->pts != AV_NOPTS_VALUE)
                reportProgress(job, av_rescale_q(packet->pts, enc->time_base, AVRational { 1, 1000000 }));
        } else if (!writePacket(job, os, packet, enc->time_base)) {
            good = false;
        }
        av_packet_unref(packet);
        if (!good)
            break;
    }
    av_packet_free(&packet);
    if (good && !frame && job.pass == 1 && job.passLog && enc->stats_out)
        *job.passLog = enc->stats_out;
    return good;
}

} // namespace kvr::engine
