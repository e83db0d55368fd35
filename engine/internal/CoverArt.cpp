#include "engine/internal/CoverArt.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <new>

namespace kvr::engine::internal {
namespace {

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

constexpr size_t scalerPadding = 256;

bool tooLarge(int64_t width, int64_t height)
{
    return width > 0 && height > 0 && width * height > maxCoverPixels;
}

} // namespace

std::shared_ptr<VideoFrame> decodeCoverArt(const AVCodecParameters* parameters, const AVPacket* packet)
{
    if (!parameters || !packet || tooLarge(parameters->width, parameters->height))
        return {};
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec)
        return {};
    std::unique_ptr<AVCodecContext, CodecContextFree> context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), parameters) < 0)
        return {};
    // The declared size may be absent; the decoder itself refuses a larger picture before allocating it.
    context->max_pixels = maxCoverPixels;
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return {};
    // Sent as a copy: the caller's packet stays untouched.
    std::unique_ptr<AVPacket, PacketFree> copy(av_packet_clone(packet));
    if (!copy || avcodec_send_packet(context.get(), copy.get()) < 0)
        return {};
    avcodec_send_packet(context.get(), nullptr);
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    if (!frame || avcodec_receive_frame(context.get(), frame.get()) < 0)
        return {};
    const int32_t srcWidth = frame->width;
    const int32_t srcHeight = frame->height;
    if (srcWidth < 1 || srcHeight < 1 || tooLarge(srcWidth, srcHeight))
        return {};

    int32_t width = srcWidth;
    int32_t height = srcHeight;
    if (std::max(width, height) > maxCoverSide) {
        if (width >= height) {
            height = std::max<int32_t>(1, int32_t(int64_t(height) * maxCoverSide / width));
            width = maxCoverSide;
        } else {
            width = std::max<int32_t>(1, int32_t(int64_t(width) * maxCoverSide / height));
            height = maxCoverSide;
        }
    }

    SwsContext* scaler = sws_getContext(srcWidth, srcHeight, AVPixelFormat(frame->format), width, height,
        AV_PIX_FMT_BGRA, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (!scaler)
        return {};
    std::shared_ptr<VideoFrame> out;
    try {
        out = std::make_shared<VideoFrame>();
        out->width = width;
        out->height = height;
        out->pts = -1;
        out->format = 0;
        out->bytesStride = width * 4;
        // swscale's vector code may write a little past the last row: it writes into a padded buffer that is cut
        // back afterwards (shrinking keeps the allocation).
        out->bytes.resize(size_t(out->bytesStride) * size_t(height) + scalerPadding);
    } catch (const std::bad_alloc&) {
        sws_freeContext(scaler);
        return {};
    }
    uint8_t* dst[4] = { out->bytes.data(), nullptr, nullptr, nullptr };
    const int dstStride[4] = { out->bytesStride, 0, 0, 0 };
    const int rows = sws_scale(scaler, frame->data, frame->linesize, 0, srcHeight, dst, dstStride);
    sws_freeContext(scaler);
    if (rows != height)
        return {};
    out->bytes.resize(size_t(out->bytesStride) * size_t(height));
    // Like every frame that owns its pixels, plane 0 points into them.
    out->planes[0] = out->bytes.data();
    out->strides[0] = out->bytesStride;
    return out;
}

} // namespace kvr::engine::internal
