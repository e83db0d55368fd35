// Between a re-encoded stream's decoder and its encoder: the filter graph, the encoder settings that follow from
// the user's choices, and the hand-over of encoded packets to the muxer.
#include "engine/FormatToBuffer.h"
#include "engine/Logging.h"
#include "engine/convert/Transcoder.h"
#include "engine/internal/EncoderSupport.h"
#include "engine/internal/FfmpegSupport.h"
#include "engine/internal/TranscoderJob.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kvr::engine {

namespace {

constexpr size_t audioArgsSize = 512;
constexpr size_t layoutTextSize = 128;
constexpr size_t videoArgsSize = 256;
constexpr size_t fpsTextSize = 64;

bool isOneOf(const char* name, std::initializer_list<const char*> names)
{
    for (const char* candidate : names)
        if (std::strcmp(name, candidate) == 0)
            return true;
    return false;
}

// The pixel formats a software encoder is given here: libx264 and libx265 list profiles (4:2:2, 4:4:4, 10-bit
// for x264) that the receivers of an ordinary H.264 or HEVC file cannot play.
std::vector<AVPixelFormat> usablePixelFormats(const AVCodec* encoder)
{
    std::vector<AVPixelFormat> formats = internal::supportedConfig(encoder).pixelFormats;
    std::vector<AVPixelFormat> allowed;
    if (std::strcmp(encoder->name, "libx264") == 0)
        allowed = { AV_PIX_FMT_YUV420P, AV_PIX_FMT_NV12 };
    else if (std::strcmp(encoder->name, "libx265") == 0)
        allowed = { AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P10LE };
    else
        return formats;
    std::vector<AVPixelFormat> kept;
    for (const AVPixelFormat format : formats)
        if (std::find(allowed.begin(), allowed.end(), format) != allowed.end())
            kept.push_back(format);
    return kept.empty() ? allowed : kept;
}

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

std::string videoFilterChain(const std::string& userFilters, int maxHeight, double fps, int frameHeight)
{
    std::string chain = userFilters;
    auto add = [&chain](const std::string& part) {
        if (!chain.empty())
            chain += ',';
        chain += part;
    };
    if (maxHeight > 0 && maxHeight < frameHeight)
        add("scale=-2:" + std::to_string(maxHeight) + ":flags=bicubic");
    if (fps > 0) {
        // Formatted in the C locale: a decimal comma would end the filter's argument.
        char text[fpsTextSize];
        const int length = formatToBuffer(text, sizeof text, "fps=%.3f", fps);
        if (length > 0 && static_cast<size_t>(length) < sizeof text)
            add(text);
    }
    return chain.empty() ? "null" : chain;
}

int Transcoder::defaultVideoBitrate(const std::string& codec, int height)
{
    struct Row {
        int height;
        int h264;
        int hevc;
        int av1;
    };
    static constexpr Row rows[] = { { 480, 1500, 800, 600 }, { 720, 4000, 2000, 1500 }, { 1080, 8000, 4000, 3000 },
        { 1440, 16000, 8000, 6000 }, { 2160, 35000, 18000, 12000 } };
    const Row* row = &rows[0];
    for (const Row& candidate : rows)
        if (candidate.height * 9 <= height * 10LL)
            row = &candidate;
    if (codec == "hevc")
        return row->hevc;
    if (codec == "av1" || codec == "vp9")
        return row->av1;
    if (codec == "mpeg4" || codec == "mpeg2")
        return row->h264 * 3 / 2;
    return row->h264;
}

VideoEncoderSettings videoEncoderSettings(
    const TranscodeOptions& o, const std::string& encoderName, int height, double fps)
{
    VideoEncoderSettings s;
    const int q = std::clamp(o.quality, 0, 3);
    // 64 bits and a ceiling of 1 Gb/s: any whole number the user types must give a sane, positive rate, and the
    // buffer (twice the rate, in bits) must still fit the encoder's int field.
    int64_t kbps = o.videoKbps > 0 ? o.videoKbps : Transcoder::defaultVideoBitrate(o.videoCodec, height);
    if (q == 0)
        kbps = kbps * 3 / 4;
    else if (q == 3)
        kbps = kbps * 5 / 4;
    s.kbps = std::clamp<int64_t>(kbps, 1, 1'000'000);
    s.rateDriven = o.rateMode != 0 || o.live;
    if (s.rateDriven) {
        s.bitRate = s.kbps * 1000;
        if (o.live) {
            s.maxRate = s.bitRate;
            s.minRate = s.bitRate;
            s.bufferSize = s.kbps * 1000;
        } else {
            s.maxRate = s.kbps * 2000;
            s.bufferSize = s.kbps * 2000;
        }
    }
    s.gopSize = o.live ? std::max(1, static_cast<int>(2 * fps)) : std::max(12, static_cast<int>(5 * fps));

    auto set = [&s](const char* key, const std::string& value) { s.options.emplace_back(key, value); };
    static constexpr const char* presets[] = { "veryfast", "faster", "medium", "slow" };
    if (encoderName == "libx264" || encoderName == "libx265") {
        static constexpr int x264Crf[] = { 28, 25, 22, 19 };
        static constexpr int x265Crf[] = { 30, 27, 24, 21 };
        if (o.live) {
            set("preset", "veryfast");
            set("tune", "zerolatency");
        } else {
            set("preset", presets[q]);
        }
        if (!s.rateDriven)
            set("crf", std::to_string(encoderName == "libx264" ? x264Crf[q] : x265Crf[q]));
    } else if (encoderName == "libvpx-vp9") {
        static constexpr int crf[] = { 37, 34, 31, 24 };
        static constexpr int speed[] = { 8, 5, 3, 1 };
        if (!s.rateDriven)
            set("crf", std::to_string(crf[q]));
        set("deadline", o.live ? "realtime" : "good");
        set("cpu-used", std::to_string(o.live ? 8 : speed[q]));
        set("row-mt", "1");
    } else if (encoderName == "libaom-av1") {
        static constexpr int crf[] = { 38, 34, 30, 24 };
        static constexpr int speed[] = { 8, 6, 4, 2 };
        if (!s.rateDriven)
            set("crf", std::to_string(crf[q]));
        set("cpu-used", std::to_string(o.live ? 10 : speed[q]));
        if (o.live)
            set("usage", "realtime");
        set("row-mt", "1");
    } else if (internal::isVaapiEncoderName(encoderName)) {
        static constexpr int qp[] = { 30, 27, 24, 21 };
        if (s.rateDriven) {
            set("rc_mode", o.live ? "CBR" : "VBR");
        } else {
            set("rc_mode", "CQP");
            set("qp", std::to_string(qp[q]));
        }
        if (o.live)
            s.maxBFrames = 0;
    } else if (encoderName == "mpeg4" || encoderName == "mpeg2video") {
        static constexpr int quantiser[] = { 6, 4, 3, 2 };
        if (!s.rateDriven)
            s.globalQuality = quantiser[q] * FF_QP2LAMBDA;
        if (encoderName == "mpeg2video")
            s.maxBFrames = 2;
    }
    return s;
}

std::string videoGraphText(const std::string& chain, const std::string& pixelFormat, bool burnIn, bool hardwareUpload,
    const std::string& upright)
{
    const bool noChain = chain.empty() || chain == "null";
    const std::string end = ",format=" + pixelFormat + (hardwareUpload ? ",hwupload" : "") + "[out]";
    if (!burnIn) {
        std::string body = upright;
        if (!noChain)
            body += (body.empty() ? "" : ",") + chain;
        return "[in]" + (body.empty() ? std::string("null") : body) + end;
    }
    // The overlay arrives premultiplied; blended as straight alpha its soft edges and boxes come out too dark.
    return "[in]" + (upright.empty() ? std::string("null") : upright)
        + "[base];[sub]format=rgba[s];[base][s]overlay=format=auto:eof_action=repeat:alpha=premultiplied"
        + (noChain ? std::string() : "," + chain) + end;
}

std::string uprightFilters(const uint8_t* displayMatrix, size_t size, bool& sideways)
{
    sideways = false;
    if (!displayMatrix || size < 9 * sizeof(int32_t))
        return {};
    int32_t m[9];
    std::memcpy(m, displayMatrix, sizeof m);
    // A mirrored matrix is a turn followed by a horizontal flip: undo the flip to read the turn.
    const bool mirrored = static_cast<double>(m[0]) * m[4] - static_cast<double>(m[1]) * m[3] < 0;
    if (mirrored) {
        m[0] = -m[0];
        m[3] = -m[3];
        m[6] = -m[6];
    }
    const double angle = -av_display_rotation_get(m); // clockwise
    long turn = 0;
    if (std::isfinite(angle)) {
        turn = std::lround(std::fmod(angle, 360.0)) % 360;
        if (turn < 0)
            turn += 360;
        turn = (turn + 45) / 90 * 90 % 360;
    }
    std::string filters;
    if (turn == 90)
        filters = "transpose=clock";
    else if (turn == 180)
        filters = "hflip,vflip";
    else if (turn == 270)
        filters = "transpose=cclock";
    sideways = turn == 90 || turn == 270;
    if (mirrored)
        filters += filters.empty() ? "hflip" : ",hflip";
    return filters;
}

std::pair<int, int> sourceAspect(int num, int den)
{
    if (num < 1 || den < 1)
        return { 1, 1 };
    return { num, den };
}

namespace {

// A fresh graph with its "in" buffer source (the first frame's size, format and aspect) and "out" sink.
bool createVideoBuffers(Transcoder::Job& job, Transcoder::OutputStream& os, const AVFrame* first)
{
    avfilter_graph_free(&os.graph);
    os.source = nullptr;
    os.subtitleSource = nullptr;
    os.sink = nullptr;
    os.graph = avfilter_graph_alloc();
    if (!os.graph)
        return Transcoder::fail(job, "filter", "video buffers");
    os.graph->nb_threads = 0;

    const AVRational timeBase = job.inputContext->streams[os.inputIndex]->time_base;
    const auto [aspectNum, aspectDen] = sourceAspect(first->sample_aspect_ratio.num, first->sample_aspect_ratio.den);
    const AVRational aspect { aspectNum, aspectDen };
    char args[videoArgsSize];
#if LIBAVFILTER_VERSION_MAJOR >= 10
    int length = formatToBuffer(args, sizeof args,
        "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d:colorspace=%d:range=%d", first->width,
        first->height, first->format, timeBase.num, timeBase.den, aspect.num, aspect.den, first->colorspace,
        first->color_range);
#else
    // This buffer source takes no colour arguments; the colours travel on the frames.
    int length = formatToBuffer(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
        first->width, first->height, first->format, timeBase.num, timeBase.den, aspect.num, aspect.den);
#endif
    if (length < 0 || static_cast<size_t>(length) >= sizeof args)
        return Transcoder::fail(job, "filter", "video buffers");
    const AVFilter* buffer = avfilter_get_by_name("buffer");
    const AVFilter* buffersink = avfilter_get_by_name("buffersink");
    if (!buffer || !buffersink || avfilter_graph_create_filter(&os.source, buffer, "in", args, nullptr, os.graph) < 0
        || avfilter_graph_create_filter(&os.sink, buffersink, "out", nullptr, nullptr, os.graph) < 0)
        return Transcoder::fail(job, "filter", "video buffers");
    return true;
}

// The "sub" source the burn-in pictures enter by, at the size of the upright picture.
bool createSubtitleSource(Transcoder::Job& job, Transcoder::OutputStream& os, const AVFrame* first)
{
    const AVRational timeBase = job.inputContext->streams[os.inputIndex]->time_base;
    const AVFilter* buffer = avfilter_get_by_name("buffer");
    char subtitleArgs[videoArgsSize];
    const int n = formatToBuffer(subtitleArgs, sizeof subtitleArgs, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d",
        os.sideways ? first->height : first->width, os.sideways ? first->width : first->height,
        static_cast<int>(AV_PIX_FMT_BGRA), timeBase.num, timeBase.den);
    if (n < 0 || static_cast<size_t>(n) >= sizeof subtitleArgs
        || avfilter_graph_create_filter(&os.subtitleSource, buffer, "sub", subtitleArgs, nullptr, os.graph) < 0)
        return Transcoder::fail(job, "filter", "subtitle buffer");
    return true;
}

// The pixel format the graph ends in: the encoder's nearest to the source's, or NV12 for upload to a hardware
// encoder (whose device is made here when the job has none yet).
bool chooseGraphPixelFormat(Transcoder::Job& job, const AVFrame* first, AVPixelFormat& format, bool& hardware)
{
    format = AV_PIX_FMT_YUV420P;
    const AVCodec* encoder = Transcoder::findEncoder(job.options->videoCodec);
    hardware = internal::isVaapiEncoder(encoder);
    if (hardware) {
        // Everything before the upload stays in software; ten-bit sources become 8-bit NV12 there.
        format = AV_PIX_FMT_NV12;
        if (!job.hardwareDevice) {
            const int made = av_hwdevice_ctx_create(&job.hardwareDevice, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
            if (made < 0)
                return Transcoder::fail(job, "encoder", std::string(encoder->name) + ": " + errorString(made));
        }
    } else if (encoder) {
        const std::vector<AVPixelFormat> formats = usablePixelFormats(encoder);
        if (!formats.empty()) {
            std::vector<AVPixelFormat> list = formats;
            list.push_back(AV_PIX_FMT_NONE);
            format
                = avcodec_find_best_pix_fmt_of_list(list.data(), static_cast<AVPixelFormat>(first->format), 0, nullptr);
            if (format == AV_PIX_FMT_NONE)
                format = formats.front();
        }
    }
    return true;
}

// The upload needs the device before the graph is configured.
int attachUploadDevice(Transcoder::Job& job, Transcoder::OutputStream& os)
{
    for (unsigned i = 0; i < os.graph->nb_filters; ++i) {
        AVFilterContext* filter = os.graph->filters[i];
        if (std::strcmp(filter->filter->name, "hwupload") == 0) {
            av_buffer_unref(&filter->hw_device_ctx);
            filter->hw_device_ctx = av_buffer_ref(job.hardwareDevice);
            if (!filter->hw_device_ctx)
                return AVERROR(ENOMEM);
        }
    }
    return 0;
}

// The graph's text between the buffers, parsed and configured; FFmpeg's result.
int configureVideoGraph(Transcoder::Job& job, Transcoder::OutputStream& os, const std::string& text, bool hardware)
{
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    AVFilterInOut* subtitleOut = os.subtitleSource ? avfilter_inout_alloc() : nullptr;
    int r = AVERROR(ENOMEM);
    if (outputs && inputs && (subtitleOut || !os.subtitleSource)) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = os.source;
        outputs->pad_idx = 0;
        outputs->next = subtitleOut;
        if (subtitleOut) {
            subtitleOut->name = av_strdup("sub");
            subtitleOut->filter_ctx = os.subtitleSource;
            subtitleOut->pad_idx = 0;
            subtitleOut->next = nullptr;
            subtitleOut = nullptr; // freed with the list
        }
        inputs->name = av_strdup("out");
        inputs->filter_ctx = os.sink;
        inputs->pad_idx = 0;
        inputs->next = nullptr;
        r = avfilter_graph_parse_ptr(os.graph, text.c_str(), &inputs, &outputs, nullptr);
        if (r >= 0 && hardware)
            r = attachUploadDevice(job, os);
        if (r >= 0)
            r = avfilter_graph_config(os.graph, nullptr);
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    avfilter_inout_free(&subtitleOut);
    return r;
}

} // namespace

bool Transcoder::buildVideoGraph(Job& job, OutputStream& os, const AVFrame* first)
{
    const TranscodeOptions& o = *job.options;
    if (!createVideoBuffers(job, os, first))
        return false;
    // Turned upright before anything else: the height limit and the subtitles apply to the picture as shown.
    size_t matrixSize = 0;
    const uint8_t* matrix = internal::streamDisplayMatrix(job.inputContext->streams[os.inputIndex], matrixSize);
    const std::string upright = uprightFilters(matrix, matrixSize, os.sideways);
    if (job.burnIn && !createSubtitleSource(job, os, first))
        return false;

    AVPixelFormat format = AV_PIX_FMT_YUV420P;
    bool hardware = false;
    if (!chooseGraphPixelFormat(job, first, format, hardware))
        return false;
    const char* formatName = av_get_pix_fmt_name(format);
    const int uprightHeight = os.sideways ? first->width : first->height;
    const std::string text = videoGraphText(videoFilterChain(o.videoFilters, o.maxHeight, o.fps, uprightHeight),
        formatName ? formatName : "yuv420p", os.subtitleSource != nullptr, hardware, upright);

    const int r = configureVideoGraph(job, os, text, hardware);
    if (r < 0)
        return fail(job, "filter", text + ": " + errorString(r));
    os.graphText = text;
    return true;
}

namespace {

// A fresh encoder context for the stream; the previous one (and its pass log copy) freed.
bool allocVideoEncoder(Transcoder::Job& job, Transcoder::OutputStream& os, const AVCodec* encoder)
{
    if (os.encoder)
        av_freep(&os.encoder->stats_in); // the caller's to free, not libavcodec's
    avcodec_free_context(&os.encoder);
    os.encoder = avcodec_alloc_context3(encoder);
    if (!os.encoder)
        return failCode(job, "encoder", AVERROR(ENOMEM));
    return true;
}

// The picture as the graph's sink gives it: size, format (hardware surfaces for VA-API), aspect, frame rate and
// time base; the frame rate in `rate`.
bool setPictureFormat(Transcoder::Job& job, Transcoder::OutputStream& os, const AVCodec* encoder, AVRational& rate)
{
    AVCodecContext* enc = os.encoder;
    const AVStream* input = job.inputContext->streams[os.inputIndex];
    enc->width = av_buffersink_get_w(os.sink);
    enc->height = av_buffersink_get_h(os.sink);
    enc->pix_fmt = static_cast<AVPixelFormat>(av_buffersink_get_format(os.sink));
    if (internal::isVaapiEncoder(encoder)) {
        // The encoder takes the surfaces the upload made, from their pool.
        AVBufferRef* frames = av_buffersink_get_hw_frames_ctx(os.sink);
        enc->pix_fmt = AV_PIX_FMT_VAAPI;
        enc->hw_frames_ctx = frames ? av_buffer_ref(frames) : nullptr;
        if (!enc->hw_frames_ctx)
            return Transcoder::fail(job, "encoder", std::string(encoder->name) + ": no hardware frames");
    }
    enc->sample_aspect_ratio = av_buffersink_get_sample_aspect_ratio(os.sink);
    rate = av_buffersink_get_frame_rate(os.sink);
    if (rate.num < 1 || rate.den < 1)
        rate = input->avg_frame_rate;
    if (rate.num < 1 || rate.den < 1)
        rate = AVRational { 25, 1 };
    enc->framerate = rate;
    os.sinkTimeBase = av_buffersink_get_time_base(os.sink);
    const bool frameTimeBase = isOneOf(encoder->name, { "mpeg2video", "mpeg4", "h264_mf", "hevc_mf" });
    enc->time_base = frameTimeBase ? av_inv_q(rate) : os.sinkTimeBase;
    return true;
}

void setColours(AVCodecContext* enc, const AVFrame* first)
{
    enc->color_range = first->color_range;
    // The graph's conversion from a full-range "j" format to its plain twin also squeezes the levels: the
    // pictures leave it in limited range.
    const auto source = static_cast<AVPixelFormat>(first->format);
    if ((source == AV_PIX_FMT_YUVJ420P || source == AV_PIX_FMT_YUVJ422P || source == AV_PIX_FMT_YUVJ444P
            || source == AV_PIX_FMT_YUVJ440P || source == AV_PIX_FMT_YUVJ411P)
        && enc->pix_fmt != source)
        enc->color_range = AVCOL_RANGE_MPEG;
    enc->color_primaries = first->color_primaries;
    enc->color_trc = first->color_trc;
    enc->colorspace = first->colorspace;
}

void applyRateSettings(
    const Transcoder::Job& job, AVCodecContext* enc, const AVCodec* encoder, const VideoEncoderSettings& settings)
{
    enc->gop_size = settings.gopSize;
    enc->thread_count = 0;
    if (job.outputContext->oformat->flags & AVFMT_GLOBALHEADER)
        enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (settings.rateDriven) {
        enc->bit_rate = settings.bitRate;
        enc->rc_max_rate = settings.maxRate;
        enc->rc_min_rate = settings.minRate;
        enc->rc_buffer_size = static_cast<int>(std::min<int64_t>(settings.bufferSize, INT_MAX));
    } else if (isOneOf(encoder->name, { "libvpx-vp9", "libaom-av1" })) {
        enc->bit_rate = 0; // constant quality
    }
    if (settings.globalQuality > 0) {
        enc->flags |= AV_CODEC_FLAG_QSCALE;
        enc->global_quality = settings.globalQuality;
    }
    if (settings.maxBFrames >= 0)
        enc->max_b_frames = settings.maxBFrames;
}

// The first pass writes the log, the second reads the one the first wrote.
bool setPasses(Transcoder::Job& job, AVCodecContext* enc, bool twoPasses)
{
    if (twoPasses && job.pass == 1) {
        enc->flags |= AV_CODEC_FLAG_PASS1;
    } else if (twoPasses && job.pass == 2 && job.passLog) {
        enc->flags |= AV_CODEC_FLAG_PASS2;
        enc->stats_in = av_strdup(job.passLog->c_str()); // freed with the stream
        if (!enc->stats_in)
            return failCode(job, "encoder", AVERROR(ENOMEM));
    }
    return true;
}

// Opens the encoder with the settings' options; FFmpeg's result.
int openVideoEncoder(AVCodecContext* enc, const AVCodec* encoder, const VideoEncoderSettings& settings)
{
    AVDictionary* options = nullptr;
    for (const auto& [key, value] : settings.options) {
        std::string v = value;
        if (key == "cpu-used") {
            // Read at run time: this libaom wrapper takes a smaller range than live encoding asks for.
            const AVOption* option = av_opt_find(
                const_cast<AVClass**>(&encoder->priv_class), "cpu-used", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ);
            if (option && option->max < std::stod(v))
                v = std::to_string(static_cast<int>(option->max));
        }
        av_dict_set(&options, key.c_str(), v.c_str(), 0);
    }
    internal::addEncoderOpenOptions(encoder, &options);
    const int r = avcodec_open2(enc, encoder, &options);
    av_dict_free(&options);
    return r;
}

// The output stream takes the opened encoder's parameters; the first pass of two has no output stream.
bool describeOutputStream(Transcoder::Job& job, Transcoder::OutputStream& os, AVRational rate)
{
    if (job.pass == 1 || !os.stream)
        return true;
    const int copied = avcodec_parameters_from_context(os.stream->codecpar, os.encoder);
    if (copied < 0)
        return failCode(job, "encoder", copied);
    os.stream->time_base = os.encoder->time_base;
    os.stream->avg_frame_rate = rate;
    if (job.options->keepMetadata) {
        av_dict_copy(&os.stream->metadata, job.inputContext->streams[os.inputIndex]->metadata, 0);
        // The pictures are upright now: a rotation tag would turn them a second time.
        av_dict_set(&os.stream->metadata, "rotate", nullptr, 0);
    }
    return true;
}

} // namespace

bool Transcoder::configureVideoEncoder(Job& job, OutputStream& os, const AVFrame* first)
{
    const TranscodeOptions& o = *job.options;
    if (!buildVideoGraph(job, os, first))
        return false;
    const AVCodec* encoder = findEncoder(o.videoCodec);
    if (!encoder)
        return fail(job, "encoder", "no " + o.videoCodec + " encoder in this build");
    AVRational rate {};
    if (!allocVideoEncoder(job, os, encoder) || !setPictureFormat(job, os, encoder, rate))
        return false;
    AVCodecContext* enc = os.encoder;
    setColours(enc, first);

    const double fps = av_q2d(rate);
    const VideoEncoderSettings settings = videoEncoderSettings(o, encoder->name, enc->height, fps);
    applyRateSettings(job, enc, encoder, settings);
    const bool twoPassEncoder = isOneOf(encoder->name, { "libvpx-vp9", "libaom-av1", "mpeg4", "mpeg2video" });
    const bool twoPasses = o.rateMode == 2 && twoPassEncoder;
    if (!setPasses(job, enc, twoPasses))
        return false;
    const int r = openVideoEncoder(enc, encoder, settings);
    if (r < 0)
        return fail(job, "encoder", std::string(encoder->name) + ": " + errorString(r));
    if (!describeOutputStream(job, os, rate))
        return false;

    const std::string rateText = settings.rateDriven ? std::to_string(settings.kbps) + " kb/s"
                                                     : "quality " + std::to_string(std::clamp(o.quality, 0, 3));
    const char* passText = "";
    if (twoPasses)
        passText = job.pass == 1 ? " (pass 1/2)" : " (pass 2/2)";
    logInfo("Transcoder: video {} {}x{} @{:.3f} {}{}", encoder->name, enc->width, enc->height, fps, rateText, passText);
    return true;
}

namespace {

// The subtitle picture for one video frame, pushed into the graph's "sub" source at the frame's time: the
// overlay where one is drawn at the frame's size, else fully transparent.
bool pushSubtitlePicture(Transcoder::Job& job, Transcoder::OutputStream& os, const AVFrame* frame)
{
    if (frame->pts == AV_NOPTS_VALUE)
        return true; // the overlay keeps its last picture
    // One time line for frames and cues: a stream's cues carry the input's own times (the frame's shifted
    // time plus the start offset), a file's count from the input's start.
    const AVRational timeBase = job.inputContext->streams[os.inputIndex]->time_base;
    int64_t timeUs = av_rescale_q(frame->pts + os.startOffset, timeBase, AVRational { 1, 1000000 });
    if (job.burnInFromFile)
        timeUs -= job.inputStartUs;
    // The subtitles are laid over the upright picture.
    const int width = os.sideways ? frame->height : frame->width;
    const int height = os.sideways ? frame->width : frame->height;
    internal::SubtitleOverlay& overlay = job.overlay;
    job.burnIn->renderInto(timeUs, width, height, width, height, overlay);

    AVFrame* picture = av_frame_alloc();
    if (!picture)
        return true;
    picture->format = AV_PIX_FMT_BGRA;
    picture->width = width;
    picture->height = height;
    picture->pts = frame->pts;
    if (av_frame_get_buffer(picture, 0) < 0) {
        av_frame_free(&picture);
        return true;
    }
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    const bool drawn = !overlay.empty && overlay.width == width && overlay.height == height
        && overlay.pixels.size() >= rowBytes * static_cast<size_t>(height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = picture->data[0] + static_cast<ptrdiff_t>(y) * picture->linesize[0];
        if (drawn)
            std::memcpy(row, overlay.pixels.data() + rowBytes * static_cast<size_t>(y), rowBytes);
        else
            std::memset(row, 0, rowBytes);
    }
    const int r = av_buffersrc_add_frame_flags(os.subtitleSource, picture, 0);
    av_frame_free(&picture);
    return r < 0 ? Transcoder::fail(job, "filter", errorString(r)) : true;
}

} // namespace

bool Transcoder::processVideoFrame(Job& job, OutputStream& os, AVFrame* frame)
{
    if (os.kind == StreamKind::EncodeVideo && !os.encoder) {
        if (!frame)
            return true; // the stream ended before its first frame
        if (!configureVideoEncoder(job, os, frame))
            return false;
        if (job.pass != 1 && !job.headerWritten) {
            const bool needsGlobal = job.outputContext->oformat->flags & AVFMT_GLOBALHEADER;
            const std::string& codec = job.options->videoCodec;
            if (os.encoder->extradata_size > 0 || !needsGlobal || (codec != "h264" && codec != "hevc")) {
                if (!writeHeader(job))
                    return false;
            } else {
                // The parameter sets come with the first packets; writePacket writes the header then.
                job.awaitingExtradata = true;
            }
        }
    }
    if (!os.graph || !os.source || !os.sink)
        return fail(job, "filter", "no filter graph");

    if (frame && os.kind == StreamKind::EncodeAudio && frame->pts != AV_NOPTS_VALUE) {
        const AVRational samples { 1, os.decoder->sample_rate };
        frame->pts = av_rescale_delta(job.inputContext->streams[os.inputIndex]->time_base, frame->pts, samples,
            frame->nb_samples, &os.sampleTimeCarry, samples);
        // A frame stamped before the previous one ended (a repeated time stamp) follows it instead; a real gap
        // stays, so sound and picture keep their sync.
        if (os.audioEnd != INT64_MIN && frame->pts < os.audioEnd)
            frame->pts = os.audioEnd;
        os.audioEnd = frame->pts + frame->nb_samples;
    }
    if (frame && os.kind == StreamKind::EncodeVideo && job.burnIn && os.subtitleSource
        && !pushSubtitlePicture(job, os, frame))
        return false;
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
        if (os.kind == StreamKind::EncodeVideo && filtered->pts == AV_NOPTS_VALUE
            && os.lastVideoPts != AV_NOPTS_VALUE) {
            // A picture without a time (the last one of a programme stream often is) follows the one before by
            // a frame; the encoder would give it a time already taken.
            filtered->pts = os.lastVideoPts
                + std::max<int64_t>(1, av_rescale_q(1, av_inv_q(os.encoder->framerate), os.encoder->time_base));
        }
        if (os.kind == StreamKind::EncodeVideo && filtered->pts != AV_NOPTS_VALUE) {
            // A variable frame rate into a frame-counting time base can round two frames to one time, which
            // the encoder refuses: the later frame is dropped.
            if (os.lastVideoPts != AV_NOPTS_VALUE && filtered->pts <= os.lastVideoPts) {
                av_frame_unref(filtered);
                continue;
            }
            os.lastVideoPts = filtered->pts;
            // Encoders that give nothing until their drain would leave a first pass at 0 %.
            if (job.pass == 1)
                reportProgress(job, av_rescale_q(filtered->pts, os.encoder->time_base, AVRational { 1, 1000000 }));
        }
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
        } else if (!writePacket(job, os, packet, enc->time_base)) {
            good = false;
        }
        av_packet_unref(packet);
        if (!good)
            break;
    }
    av_packet_free(&packet);
    // Only a non-empty log replaces what was gathered: mpeg4 and mpeg2video leave an empty one after the drain.
    if (good && !frame && job.pass == 1 && job.passLog && enc->stats_out && *enc->stats_out)
        *job.passLog = enc->stats_out;
    return good;
}

} // namespace kvr::engine
