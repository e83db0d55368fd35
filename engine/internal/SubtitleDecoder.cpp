#include "engine/internal/SubtitleDecoder.h"

#include "engine/internal/SubtitleLimits.h"
#include "engine/internal/SubtitleRenderer.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace kvr::engine::internal {
namespace {

// Bitmap subtitles are at most a screen's worth; anything bigger comes from a damaged or crafted stream and
// would only cost memory (a 4096 × 4096 rectangle already needs 64 MiB as BGRA).
constexpr int32_t kMaxBitmapSide = 8192;
constexpr int64_t kMaxBitmapPixels = int64_t(4096) * 4096;

// A palette-indexed rectangle as premultiplied BGRA, cut to the canvas when the canvas is known. False when the
// rectangle is unusable or of implausible size.
bool convertBitmapRect(const AVSubtitleRect& in, int32_t canvasWidth, int32_t canvasHeight, BitmapRect& out)
{
    if (in.type != SUBTITLE_BITMAP || in.w <= 0 || in.h <= 0 || !in.data[0] || !in.data[1])
        return false;
    if (in.w > kMaxBitmapSide || in.h > kMaxBitmapSide || int64_t(in.w) * in.h > kMaxBitmapPixels
        || in.linesize[0] < in.w)
        return false;
    int64_t left = in.x, top = in.y;
    int64_t right = int64_t(in.x) + in.w, bottom = int64_t(in.y) + in.h;
    if (canvasWidth >= 1 && canvasHeight >= 1) {
        left = std::max<int64_t>(left, 0);
        top = std::max<int64_t>(top, 0);
        right = std::min<int64_t>(right, canvasWidth);
        bottom = std::min<int64_t>(bottom, canvasHeight);
        if (right <= left || bottom <= top)
            return false;
    }
    // Indices beyond the palette's colours are transparent rather than read past its end.
    const int colours = std::clamp(in.nb_colors, 0, 256);
    uint32_t palette[256] = {};
    std::memcpy(palette, in.data[1], size_t(colours) * 4);

    out.x = static_cast<int32_t>(left);
    out.y = static_cast<int32_t>(top);
    out.width = static_cast<int32_t>(right - left);
    out.height = static_cast<int32_t>(bottom - top);
    out.pixels.assign(size_t(out.width) * size_t(out.height) * 4, 0);
    uint8_t* dst = out.pixels.data();
    for (int64_t row = top; row < bottom; ++row) {
        const uint8_t* src = in.data[0] + (row - in.y) * in.linesize[0] + (left - in.x);
        for (int64_t col = 0; col < right - left; ++col, dst += 4) {
            const uint32_t argb = palette[src[col]];
            const uint32_t a = argb >> 24;
            dst[0] = static_cast<uint8_t>((argb & 0xFF) * a / 255);
            dst[1] = static_cast<uint8_t>(((argb >> 8) & 0xFF) * a / 255);
            dst[2] = static_cast<uint8_t>(((argb >> 16) & 0xFF) * a / 255);
            dst[3] = static_cast<uint8_t>(a);
        }
    }
    return true;
}

// Packet times come from the file; a crafted one must not overflow.
int64_t saturatingAdd(int64_t a, int64_t b)
{
    int64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? (b > 0 ? INT64_MAX : INT64_MIN) : sum;
}

} // namespace

SubtitleDecoder::~SubtitleDecoder()
{
    avcodec_free_context(&codecContext);
}

bool SubtitleDecoder::open(
    const AVCodecParameters* params, SubtitleRenderer* target, int32_t defaultWidth, int32_t defaultHeight)
{
    renderer = target;
    avcodec_free_context(&codecContext);
    if (!params)
        return false;
    const AVCodec* codec = avcodec_find_decoder(params->codec_id);
    if (!codec) {
        spdlog::warn("SubtitleDecoder: no decoder for codec_id={}", static_cast<int>(params->codec_id));
        return false;
    }
    codecContext = avcodec_alloc_context3(codec);
    if (!codecContext)
        return false;
    if (avcodec_parameters_to_context(codecContext, params) < 0) {
        avcodec_free_context(&codecContext);
        return false;
    }
    codecContext->pkt_timebase = AVRational { 1, 1000 };
    if (avcodec_open2(codecContext, codec, nullptr) < 0) {
        avcodec_free_context(&codecContext);
        return false;
    }
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(params->codec_id);
    bitmap = descriptor && (descriptor->props & AV_CODEC_PROP_BITMAP_SUB);
    canvasWidth = params->width >= 1 ? params->width : defaultWidth;
    canvasHeight = params->height >= 1 ? params->height : defaultHeight;
    if (!bitmap && renderer) {
        const bool hasHeader = codecContext->subtitle_header && codecContext->subtitle_header_size > 0;
        renderer->openTextTrack(hasHeader ? reinterpret_cast<const char*>(codecContext->subtitle_header) : nullptr,
            hasHeader ? size_t(codecContext->subtitle_header_size) : 0);
    }
    spdlog::info("SubtitleDecoder: opened codec={} {}", codec->name, bitmap ? "[bitmap]" : "[text]");
    return true;
}

void SubtitleDecoder::decodePacket(const AVPacket* packet, AVRational timeBase)
{
    if (!codecContext || !renderer || !packet)
        return;
    const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (time == AV_NOPTS_VALUE || timeBase.num <= 0 || timeBase.den <= 0)
        return;
    const AVRational micro { 1, 1000000 };
    const int64_t startUs = av_rescale_q(time, timeBase, micro);
    const int64_t durUs = packet->duration > 0 ? av_rescale_q(packet->duration, timeBase, micro) : 0;

    if (!bitmap && cueDurations && durUs <= 0)
        return;

    // The decoder takes a non-const packet in this FFmpeg; it gets a clone in milliseconds. Text beyond what the
    // renderer keeps of an event is not decoded at all: the text decoders read it as a NUL-terminated string, so
    // the cut copy gets a terminator of its own.
    AVPacket* clone = nullptr;
    if (!bitmap && size_t(packet->size) > kMaxTextLineBytes && packet->data) {
        const std::string_view text(reinterpret_cast<const char*>(packet->data), size_t(packet->size));
        const size_t length = utf8PrefixLength(text, kMaxTextLineBytes);
        clone = av_packet_alloc();
        if (clone && (av_new_packet(clone, int(length)) < 0 || av_packet_copy_props(clone, packet) < 0))
            av_packet_free(&clone);
        if (clone)
            std::memcpy(clone->data, packet->data, length);
    } else {
        clone = av_packet_clone(packet);
    }
    if (!clone)
        return;
    clone->pts = startUs / 1000;
    clone->dts = startUs / 1000;
    clone->duration = durUs / 1000;
    AVSubtitle subtitle {};
    int got = 0;
    const int rc = avcodec_decode_subtitle2(codecContext, &subtitle, &got, clone);
    av_packet_free(&clone);
    if (rc < 0 || !got)
        return;
    struct Release {
        AVSubtitle& s;
        ~Release() { avsubtitle_free(&s); }
    } release { subtitle };

    const int64_t eventStartUs = saturatingAdd(startUs, int64_t(subtitle.start_display_time) * 1000);
    const int64_t eventDurUs
        = subtitle.end_display_time > subtitle.start_display_time && subtitle.end_display_time != UINT32_MAX
        ? int64_t(subtitle.end_display_time - subtitle.start_display_time) * 1000
        : durUs;
    // Out of memory for one subtitle drops that subtitle, never the thread that decodes it.
    try {
        if (bitmap) {
            std::vector<BitmapRect> rects;
            for (unsigned i = 0; i < subtitle.num_rects; ++i) {
                BitmapRect rect;
                if (subtitle.rects[i] && convertBitmapRect(*subtitle.rects[i], canvasWidth, canvasHeight, rect))
                    rects.push_back(std::move(rect));
            }
            renderer->addBitmapEvent(eventStartUs, eventDurUs > 0 ? saturatingAdd(eventStartUs, eventDurUs) : INT64_MAX,
                canvasWidth, canvasHeight, std::move(rects));
        } else {
            // A line without a known duration shows for five seconds.
            const int64_t shownUs = eventDurUs < 1 ? 5000000 : eventDurUs;
            for (unsigned i = 0; i < subtitle.num_rects; ++i) {
                const AVSubtitleRect* rect = subtitle.rects[i];
                if (rect && rect->type == SUBTITLE_ASS && rect->ass)
                    renderer->addTextEvent(rect->ass, std::strlen(rect->ass), eventStartUs / 1000, shownUs / 1000);
            }
        }
    } catch (const std::bad_alloc&) {
        spdlog::warn("SubtitleDecoder: out of memory, subtitle dropped");
    }
}

} // namespace kvr::engine::internal
