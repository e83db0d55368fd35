#include "engine/internal/VideoDecoder.h"

#include "engine/internal/FfmpegSupport.h"

#include "engine/FilterChains.h"
#include "engine/Logging.h"
#include "engine/internal/FrameOwner.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavfilter/version.h>
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <pthread.h>
#include <system_error>

namespace kvr::engine::internal {

namespace {

// A VA-API device that failed once will fail again (no device node, no driver), and every seek is a reopen:
// trying again at every open would only repeat libva's complaints and the delay.
std::atomic<bool> hardwareDeviceFailed { false };

constexpr const char* displayFormats = "format=pix_fmts=yuv420p|nv12|yuv420p10le|p010le";

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double smoothed(double previous, int64_t elapsedNs)
{
    return 0.1 * (double(elapsedNs) / 1'000'000.0) + 0.9 * previous;
}

bool isFullRangeFormat(int format)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
        return true;
    default:
        return false;
    }
}

int32_t colorMatrixOf(const AVFrame* frame)
{
    switch (frame->colorspace) {
    case AVCOL_SPC_BT709:
        return 1;
    case AVCOL_SPC_FCC:
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return 0;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return 2;
    default:
        return frame->height >= 720 ? 1 : 0;
    }
}

// The display code of formats shown without conversion; -1 for any other.
int32_t displayCode(int format)
{
    switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
        return 1;
    case AV_PIX_FMT_NV12:
        return 2;
    case AV_PIX_FMT_YUV420P10LE:
        return 3;
    case AV_PIX_FMT_P010LE:
        return 4;
    default:
        return -1;
    }
}

// Moves the picture's buffers into a FrameOwner the VideoFrame keeps alive; no pixel is copied.
bool makeFrameOwner(VideoFrame& out, AVFrame* picture, int32_t code)
{
    AVFrame* owned = av_frame_alloc();
    if (!owned)
        return false;
    av_frame_move_ref(owned, picture);
    auto owner = std::make_shared<FrameOwner>(owned);
    out.format = code;
    for (int i = 0; i < 3; ++i) {
        out.planes[i] = owned->data[i];
        out.strides[i] = owned->linesize[i];
    }
    out.owner = std::move(owner);
    return true;
}

} // namespace

// Per-run state of the decoding thread, made afresh at every start.
struct VideoDecoder::Run {
    VideoFrameQueue* queue = nullptr;
    std::atomic<int64_t>* decodedCounter = nullptr;
    AVFrame* frame = nullptr; // being received
    AVFrame* work = nullptr; // what the filter step works on
    AVFrame* filtered = nullptr; // filter output
    AVFrame* lastSkipped = nullptr; // newest picture discarded before the seek target
    double usPerTick = 0.0;
    int64_t skippedCount = 0;
    bool landingLogged = false;
    bool delivered = false;
    bool announced = false;
    int32_t lateRun = 0;

    ~Run()
    {
        av_frame_free(&frame);
        av_frame_free(&work);
        av_frame_free(&filtered);
        av_frame_free(&lastSkipped);
    }
};

VideoDecoder::VideoDecoder() = default;

VideoDecoder::~VideoDecoder()
{
    join();
    freeFilterGraph();
    clock = nullptr;
    {
        std::lock_guard lock(filterMutex);
        filters.reset();
    }
    av_buffer_unref(&hwDevice);
    sws_freeContext(scaler);
    scaler = nullptr;
    avcodec_free_context(&codecContext);
}

bool VideoDecoder::open(const AVCodecParameters* params, AVRational tb, bool allowHardware)
{
    if (!params)
        return false;
    const AVCodec* codec = avcodec_find_decoder(params->codec_id);
    if (!codec) {
        defaultLogger()->error("VideoDecoder: no decoder for codec_id={}", int(params->codec_id));
        return false;
    }

    bool opened = false;
    if (allowHardware) {
        for (int i = 0;; ++i) {
            const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
            if (!config)
                break;
            if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX)
                && config->device_type == AV_HWDEVICE_TYPE_VAAPI) {
                opened = openHardware(codec, params);
                break;
            }
        }
    }

    if (!opened) {
        avcodec_free_context(&codecContext);
        codecContext = avcodec_alloc_context3(codec);
        if (!codecContext)
            return false;
        if (avcodec_parameters_to_context(codecContext, params) < 0) {
            avcodec_free_context(&codecContext);
            return false;
        }
        // libavcodec decodes on one thread unless told otherwise, which cannot keep up with 1080p in software.
        codecContext->thread_count = 0;
        codecContext->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        const int r = avcodec_open2(codecContext, codec, nullptr);
        if (r < 0) {
            defaultLogger()->error("VideoDecoder: avcodec_open2({}): {}", codec->name, ffmpegErrorText(r));
            avcodec_free_context(&codecContext);
            return false;
        }
        hardware = false;
    }

    timeBase = tb;
    defaultLogger()->info("VideoDecoder: opened codec={} {}x{} pix_fmt={} {}", codec->name, codecContext->width,
        codecContext->height, int(codecContext->pix_fmt), hardware ? "[HW: VA-API]" : "[SW]");
    return true;
}

bool VideoDecoder::openHardware(const AVCodec* codec, const AVCodecParameters* params)
{
    if (hardwareDeviceFailed.load())
        return false;
    AVBufferRef* device = nullptr;
    int r = av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
    if (r < 0) {
        hardwareDeviceFailed.store(true);
        defaultLogger()->info("VideoDecoder: VA-API device create failed ({}); using software", ffmpegErrorText(r));
        return false;
    }
    av_buffer_unref(&hwDevice);
    hwDevice = device;

    avcodec_free_context(&codecContext);
    codecContext = avcodec_alloc_context3(codec);
    if (!codecContext || avcodec_parameters_to_context(codecContext, params) < 0) {
        avcodec_free_context(&codecContext);
        av_buffer_unref(&hwDevice);
        return false;
    }
    codecContext->hw_device_ctx = av_buffer_ref(hwDevice);
    codecContext->get_format = &VideoDecoder::getFormat;
    r = codecContext->hw_device_ctx ? avcodec_open2(codecContext, codec, nullptr) : AVERROR(ENOMEM);
    if (r < 0) {
        defaultLogger()->info("VideoDecoder: HW decoder open failed ({}); using software", ffmpegErrorText(r));
        avcodec_free_context(&codecContext);
        av_buffer_unref(&hwDevice);
        return false;
    }
    hardware = true;
    return true;
}

AVPixelFormat VideoDecoder::getFormat(AVCodecContext*, const AVPixelFormat* formats)
{
    if (!formats || formats[0] == AV_PIX_FMT_NONE)
        return AV_PIX_FMT_NONE;
    for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f)
        if (*f == AV_PIX_FMT_VAAPI)
            return *f;
    return formats[0];
}

void VideoDecoder::start(PacketQueue* packets, VideoFrameQueue* queue, std::atomic<int64_t>* decodedCounter)
{
    if (thread.joinable())
        return;
    stopRequested = false;
    finished = false;
    try {
        thread = std::thread(&VideoDecoder::decodeLoop, this, packets, queue, decodedCounter);
    } catch (const std::system_error& e) {
        defaultLogger()->error("VideoDecoder: cannot start the decoding thread: {}", e.what());
        finished = true;
    }
}

void VideoDecoder::join()
{
    stopRequested = true;
    if (thread.joinable())
        thread.join();
}

void VideoDecoder::setFilters(std::shared_ptr<const VideoFilters> f)
{
    {
        std::lock_guard lock(filterMutex);
        filters = std::move(f);
    }
    filterGeneration.fetch_add(1);
}

std::string VideoDecoder::filterDescription() const
{
    std::lock_guard lock(filterMutex);
    return activeDescription;
}

void VideoDecoder::decodeLoop(PacketQueue* packets, VideoFrameQueue* queue, std::atomic<int64_t>* decodedCounter)
{
    pthread_setname_np(pthread_self(), "kvr-vdec");
    try {
        Run run;
        run.queue = queue;
        run.decodedCounter = decodedCounter;
        run.frame = av_frame_alloc();
        run.work = av_frame_alloc();
        run.filtered = av_frame_alloc();
        run.lastSkipped = av_frame_alloc();
        if (timeBase.num >= 1 && timeBase.den >= 1)
            run.usPerTick = double(timeBase.num) * 1'000'000.0 / double(timeBase.den);
        if (codecContext && packets && queue && run.frame && run.work && run.filtered && run.lastSkipped) {
            // Once the frame queue refuses a picture it stays aborted: decoding on (the demuxer's queue still
            // hands out what it holds, and a drain runs every frame thread dry) would only delay the teardown.
            bool queueOpen = true;
            AVPacket* packet = nullptr;
            while (queueOpen && !stopRequested.load() && packets->pop(packet)) {
                int r = avcodec_send_packet(codecContext, packet);
                if (r == AVERROR(EAGAIN)) {
                    // The codec took nothing until its pictures are collected; then the same packet goes again,
                    // or it would be lost.
                    queueOpen = receiveFrames(run);
                    r = queueOpen ? avcodec_send_packet(codecContext, packet) : 0;
                }
                if (r >= 0)
                    queueOpen = queueOpen && receiveFrames(run);
                else
                    defaultLogger()->warn("VideoDecoder: send_packet: {}", ffmpegErrorText(r));
                av_packet_free(&packet);
            }
            if (queueOpen && !stopRequested.load() && avcodec_send_packet(codecContext, nullptr) >= 0)
                queueOpen = receiveFrames(run);

            // A seek aimed past the last picture still shows that picture, once, at no particular time.
            if (queueOpen && !run.delivered && !stopRequested.load() && run.lastSkipped->format >= 0
                && run.lastSkipped->width > 0) {
                run.lastSkipped->pts = AV_NOPTS_VALUE;
                queueOpen = filterFrame(run, run.lastSkipped, -1);
            }

            // Filters that hold pictures back (denoisers, deinterlacers, interpolation) give up the last ones
            // only when told the input has ended.
            if (graph && graphSource && queueOpen && !stopRequested.load()) {
                if (av_buffersrc_add_frame_flags(graphSource, nullptr, 0) >= 0)
                    pullFiltered(run, -1, 0);
            }
        }
        // Nothing to show after all: whoever waits for the first picture need not wait any longer.
        announceFirstPicture(run);
    } catch (const std::exception& e) {
        defaultLogger()->error("VideoDecoder: decoding stopped: {}", e.what());
    } catch (...) {
        defaultLogger()->error("VideoDecoder: decoding stopped");
    }
    finished = true;
}

bool VideoDecoder::receiveFrames(Run& run)
{
    for (;;) {
        const int r = avcodec_receive_frame(codecContext, run.frame);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return true;
        if (r < 0) {
            defaultLogger()->warn("VideoDecoder: receive_frame: {}", ffmpegErrorText(r));
            return true;
        }
        if (run.decodedCounter)
            run.decodedCounter->fetch_add(1);

        AVFrame* f = run.frame;
        if (f->pts == AV_NOPTS_VALUE)
            f->pts = f->best_effort_timestamp;
        const int64_t ptsUs
            = f->pts == AV_NOPTS_VALUE || run.usPerTick <= 0.0 ? -1 : int64_t(double(f->pts) * run.usPerTick);

        const int64_t target = seekTargetUs.load();
        if (target > 0) {
            if (ptsUs >= 0 && ptsUs < target) {
                ++run.skippedCount;
                av_frame_unref(run.lastSkipped);
                av_frame_move_ref(run.lastSkipped, f);
                continue;
            }
            if (!run.landingLogged) {
                run.landingLogged = true;
                defaultLogger()->info(
                    "VideoDecoder: seek landed target={}us first_pts={}us error={}us skipped={} frames", target, ptsUs,
                    ptsUs - target, run.skippedCount);
            }
        }

        if (clock && ptsUs >= 0 && run.delivered) {
            if (ptsUs < clock() - lateThresholdUs) {
                ++run.lateRun;
                if (run.lateRun % lateKeepEvery != 0) {
                    av_frame_unref(f);
                    continue;
                }
            }
            if (ptsUs >= clock() - lateThresholdUs)
                run.lateRun = 0;
        }

        const bool pushed = filterFrame(run, f, ptsUs);
        av_frame_unref(f);
        if (!pushed)
            return false;
    }
}

bool VideoDecoder::filterFrame(Run& run, AVFrame* frame, int64_t ptsUs)
{
    AVFrame* work = run.work;
    av_frame_unref(work);
    if (frame->format == AV_PIX_FMT_VAAPI) {
        const int64_t started = nowNs();
        int r = av_hwframe_transfer_data(work, frame, 0);
        if (r >= 0)
            r = av_frame_copy_props(work, frame);
        if (r < 0) {
            defaultLogger()->warn("VideoDecoder: hwframe_transfer: {}", ffmpegErrorText(r));
            av_frame_unref(work);
            return true;
        }
        transferMsValue.store(
            smoothed(transferMsValue.load(std::memory_order_relaxed), nowNs() - started), std::memory_order_relaxed);
    } else {
        // The caller drops its picture right after this step, so its buffers can move instead of being shared.
        av_frame_move_ref(work, frame);
    }

    rebuildFilterGraph();

    bool result = true;
    if (graphDescription.empty()) {
        run.delivered = true;
        result = toVideoFrame(run, work, ptsUs);
    } else {
        if (graph && (work->width != graphWidth || work->height != graphHeight || work->format != graphFormat))
            freeFilterGraph();
        bool unfiltered = false;
        if (!graph) {
            if (buildFilterGraph(work)) {
                std::lock_guard lock(filterMutex);
                activeDescription = graphDescription;
            } else {
                // Logged once; pictures pass unfiltered until the filters change again.
                graphDescription.clear();
                unfiltered = true;
            }
        }
        if (unfiltered) {
            run.delivered = true;
            result = toVideoFrame(run, work, ptsUs);
        } else {
            const int64_t pushedAt = nowNs();
            if (av_buffersrc_add_frame_flags(graphSource, work, AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
                defaultLogger()->warn("VideoDecoder: filter graph rejected frame at {}us", ptsUs);
            else
                result = pullFiltered(run, ptsUs, pushedAt);
        }
    }
    av_frame_unref(work);
    return result;
}

bool VideoDecoder::pullFiltered(Run& run, int64_t fallbackPtsUs, int64_t pushedAtNs)
{
    bool first = true;
    const AVRational sinkBase = av_buffersink_get_time_base(graphSink);
    while (av_buffersink_get_frame(graphSink, run.filtered) >= 0) {
        if (first && pushedAtNs > 0)
            filterMsValue.store(smoothed(filterMsValue.load(std::memory_order_relaxed), nowNs() - pushedAtNs),
                std::memory_order_relaxed);
        first = false;
        int64_t outUs = fallbackPtsUs;
        if (run.filtered->pts != AV_NOPTS_VALUE && sinkBase.num >= 1)
            outUs = av_rescale_q(run.filtered->pts, sinkBase, AVRational { 1, 1'000'000 });
        run.delivered = true;
        const bool pushed = toVideoFrame(run, run.filtered, outUs);
        av_frame_unref(run.filtered);
        if (!pushed)
            return false;
    }
    return true;
}

void VideoDecoder::rebuildFilterGraph()
{
    const int64_t generation = filterGeneration.load();
    if (generation == appliedGeneration)
        return;
    appliedGeneration = generation;
    std::shared_ptr<const VideoFilters> wanted;
    {
        std::lock_guard lock(filterMutex);
        wanted = filters;
    }
    std::string text = wanted ? buildVideoFilterChain(*wanted) : std::string();
    if (text == graphDescription)
        return;
    graphDescription = std::move(text);
    freeFilterGraph();
    std::lock_guard lock(filterMutex);
    activeDescription.clear();
}

void VideoDecoder::freeFilterGraph()
{
    avfilter_graph_free(&graph);
    graphSource = nullptr;
    graphSink = nullptr;
    graphWidth = 0;
    graphHeight = 0;
    graphFormat = -1;
}

bool VideoDecoder::buildFilterGraph(const AVFrame* frame)
{
    freeFilterGraph();
    graph = avfilter_graph_alloc();
    if (!graph)
        return false;
    graph->nb_threads = 0;

    AVRational aspect = frame->sample_aspect_ratio;
    if (aspect.num < 1)
        aspect = AVRational { sarNum, sarDen };
    char args[256];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", frame->width,
        frame->height, frame->format, timeBase.num < 1 ? 1 : timeBase.num, timeBase.den < 1 ? 1 : timeBase.den,
        aspect.num < 1 ? 1 : aspect.num, aspect.den < 1 ? 1 : aspect.den);
#if LIBAVFILTER_VERSION_MAJOR >= 10
    const size_t used = std::strlen(args);
    std::snprintf(
        args + used, sizeof args - used, ":colorspace=%d:range=%d", int(frame->colorspace), int(frame->color_range));
#endif

    const std::string full = graphDescription + "," + displayFormats;
    int r = avfilter_graph_create_filter(&graphSource, avfilter_get_by_name("buffer"), "in", args, nullptr, graph);
    if (r < 0) {
        defaultLogger()->error(
            "VideoDecoder: filter graph '{}' failed: buffer source ({}): {}", full, args, ffmpegErrorText(r));
        freeFilterGraph();
        return false;
    }
    r = avfilter_graph_create_filter(&graphSink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph);
    if (r < 0) {
        defaultLogger()->error("VideoDecoder: filter graph '{}' failed: buffer sink: {}", full, ffmpegErrorText(r));
        freeFilterGraph();
        return false;
    }

    r = linkFilterGraph(graph, full, graphSource, graphSink);
    if (r < 0) {
        defaultLogger()->error("VideoDecoder: filter graph '{}' failed: {}", full, ffmpegErrorText(r));
        freeFilterGraph();
        return false;
    }
    graphWidth = frame->width;
    graphHeight = frame->height;
    graphFormat = frame->format;
    defaultLogger()->info("VideoDecoder: filter graph '{}'", full);
    return true;
}

bool VideoDecoder::toVideoFrame(Run& run, AVFrame* frame, int64_t ptsUs)
{
    auto out = std::make_shared<VideoFrame>();
    out->width = frame->width;
    out->height = frame->height;
    out->pts = ptsUs;
    if (frame->sample_aspect_ratio.num >= 1 && frame->sample_aspect_ratio.den >= 1) {
        out->sarNum = frame->sample_aspect_ratio.num;
        out->sarDen = frame->sample_aspect_ratio.den;
    } else {
        out->sarNum = sarNum < 1 ? 1 : sarNum;
        out->sarDen = sarDen < 1 ? 1 : sarDen;
    }
    out->rotation = rotation;
    out->colorMatrix = colorMatrixOf(frame);
    out->fullRange = frame->color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(frame->format);

    const int32_t code = displayCode(frame->format);
    if (code >= 0) {
        if (!makeFrameOwner(*out, frame, code))
            return true;
        return push(run, std::move(out));
    }

    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_RGB)) || desc->nb_components < 3) {
        if (!ensureScaler(frame->width, frame->height, frame->format, AV_PIX_FMT_BGRA, -1)) {
            av_frame_unref(frame);
            return true;
        }
        out->format = 0;
        out->bytesStride = frame->width * 4;
        out->bytes.assign(size_t(frame->height) * size_t(out->bytesStride), 0);
        uint8_t* dst[4] = { out->bytes.data(), nullptr, nullptr, nullptr };
        int dstStride[4] = { out->bytesStride, 0, 0, 0 };
        sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
        out->planes[0] = out->bytes.data();
        out->strides[0] = out->bytesStride;
        av_frame_unref(frame);
        return push(run, std::move(out));
    }

    // Another YUV layout: to 4:2:0 at the source's depth. The range is kept as it is (swscale would otherwise
    // squeeze full-range "J" layouts into limited range while the picture stays flagged full range).
    const bool deep = desc->comp[0].depth > 8;
    const AVPixelFormat target = deep ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
    if (!ensureScaler(frame->width, frame->height, frame->format, target, out->fullRange ? 1 : 0)) {
        av_frame_unref(frame);
        return true;
    }
    AVFrame* converted = av_frame_alloc();
    if (!converted) {
        av_frame_unref(frame);
        return true;
    }
    converted->format = target;
    converted->width = frame->width;
    converted->height = frame->height;
    if (av_frame_get_buffer(converted, 0) < 0) {
        av_frame_free(&converted);
        av_frame_unref(frame);
        return true;
    }
    sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, converted->data, converted->linesize);
    av_frame_unref(frame);
    const bool made = makeFrameOwner(*out, converted, deep ? 3 : 1);
    av_frame_free(&converted);
    if (!made)
        return true;
    return push(run, std::move(out));
}

bool VideoDecoder::push(Run& run, std::shared_ptr<VideoFrame>&& frame)
{
    if (!run.queue->push(std::move(frame)))
        return false;
    announceFirstPicture(run);
    return true;
}

void VideoDecoder::announceFirstPicture(Run& run)
{
    if (run.announced)
        return;
    run.announced = true;
    if (firstPicture)
        firstPicture();
}

bool VideoDecoder::ensureScaler(int width, int height, int srcFormat, int dstFormat, int range)
{
    if (scaler && width == scalerWidth && height == scalerHeight && srcFormat == scalerSrcFormat
        && dstFormat == scalerDstFormat && range == scalerRange)
        return true;
    SwsContext* made = sws_getContext(width, height, AVPixelFormat(srcFormat), width, height, AVPixelFormat(dstFormat),
        SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!made) {
        defaultLogger()->error(
            "VideoDecoder: sws_getContext({}, {}, fmt={} -> {}) failed", width, height, srcFormat, dstFormat);
        return false;
    }
    if (range >= 0) {
        int* inverse = nullptr;
        int* table = nullptr;
        int srcRange = 0, dstRange = 0, brightness = 0, contrast = 0, saturation = 0;
        if (sws_getColorspaceDetails(made, &inverse, &srcRange, &table, &dstRange, &brightness, &contrast, &saturation)
            >= 0)
            sws_setColorspaceDetails(made, inverse, range, table, range, brightness, contrast, saturation);
    }
    sws_freeContext(scaler);
    scaler = made;
    scalerWidth = width;
    scalerHeight = height;
    scalerSrcFormat = srcFormat;
    scalerDstFormat = dstFormat;
    scalerRange = range;
    return true;
}

} // namespace kvr::engine::internal
