#include "engine/FrameUtils.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstring>

namespace kvr::engine {

namespace {

AVPixelFormat ffmpegFormat(int32_t code)
{
    switch (code) {
    case 1:
        return AV_PIX_FMT_YUV420P;
    case 2:
        return AV_PIX_FMT_NV12;
    case 3:
        return AV_PIX_FMT_YUV420P10LE;
    case 4:
        return AV_PIX_FMT_P010LE;
    default:
        return AV_PIX_FMT_NONE;
    }
}

// Planes each format code needs; a frame missing one of them cannot be read.
int planeCount(int32_t code)
{
    return code == 1 || code == 3 ? 3 : 2;
}

bool bright(const uint8_t* bgra)
{
    return ((77 * bgra[2] + 150 * bgra[1] + 29 * bgra[0]) >> 8) > 24;
}

} // namespace

std::shared_ptr<VideoFrame> convertToBgra(const VideoFrame& frame)
{
    const int w = frame.width, h = frame.height;
    if (w < 1 || h < 1)
        return {};
    const size_t row = size_t(w) * 4;
    if (frame.format == 0) {
        // The bytes must really hold every row the stride promises, or the copy would read past them.
        if (frame.bytes.empty() || frame.bytesStride < 0 || size_t(frame.bytesStride) < row
            || frame.bytes.size() < size_t(frame.bytesStride) * size_t(h - 1) + row)
            return {};
    } else {
        if (ffmpegFormat(frame.format) == AV_PIX_FMT_NONE)
            return {};
        for (int i = 0; i < planeCount(frame.format); ++i)
            if (!frame.planes[i])
                return {};
    }

    auto out = std::make_shared<VideoFrame>();
    out->width = w;
    out->height = h;
    out->pts = frame.pts;
    out->sarNum = frame.sarNum;
    out->sarDen = frame.sarDen;
    out->rotation = frame.rotation;
    out->format = 0;
    out->bytesStride = int32_t(row);
    out->bytes.assign(row * size_t(h), 0);
    out->planes[0] = out->bytes.data();
    out->strides[0] = out->bytesStride;

    if (frame.format == 0) {
        for (int y = 0; y < h; ++y)
            std::memcpy(out->bytes.data() + row * size_t(y), frame.bytes.data() + size_t(frame.bytesStride) * y, row);
        return out;
    }

    SwsContext* sws = sws_getContext(w, h, ffmpegFormat(frame.format), w, h, AV_PIX_FMT_BGRA,
        SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (!sws)
        return {};
    const int space = frame.colorMatrix == 0 ? SWS_CS_ITU601 : frame.colorMatrix == 2 ? SWS_CS_BT2020 : SWS_CS_ITU709;
    sws_setColorspaceDetails(sws, sws_getCoefficients(space), frame.fullRange ? 1 : 0,
        sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    const uint8_t* const src[4] = { frame.planes[0], frame.planes[1], frame.planes[2], nullptr };
    const int srcStride[4] = { frame.strides[0], frame.strides[1], frame.strides[2], 0 };
    uint8_t* dst[4] = { out->bytes.data(), nullptr, nullptr, nullptr };
    const int dstStride[4] = { out->bytesStride, 0, 0, 0 };
    sws_scale(sws, src, srcStride, 0, h, dst, dstStride);
    sws_freeContext(sws);
    return out;
}

bool detectBlackBars(const VideoFrame& frame, int& left, int& top, int& right, int& bottom)
{
    const auto img = convertToBgra(frame);
    if (!img)
        return false;
    const int W = img->width, H = img->height;
    const int maxRows = H / 3, maxCols = W / 3;
    const uint8_t* px = img->bytes.data();
    const size_t stride = size_t(img->bytesStride);

    auto rowIsContent = [&](int y) {
        int count = 0;
        for (int x = 0; x < W; x += 2)
            count += bright(px + stride * y + size_t(x) * 4);
        return count * 50 >= W / 2;
    };
    auto columnIsContent = [&](int x) {
        int count = 0;
        for (int y = 0; y < H; y += 2)
            count += bright(px + stride * y + size_t(x) * 4);
        return count * 50 >= H / 2;
    };

    int t = 0;
    while (t < maxRows && !rowIsContent(t))
        ++t;
    int b = 0;
    while (b < maxRows && !rowIsContent(H - 1 - b))
        ++b;
    if (t == maxRows && b == maxRows)
        return false; // black or nearly black: no result
    int l = 0;
    while (l < maxCols && !columnIsContent(l))
        ++l;
    int r = 0;
    while (r < maxCols && !columnIsContent(W - 1 - r))
        ++r;

    left = l & ~1;
    top = t & ~1;
    right = r & ~1;
    bottom = b & ~1;
    return left + top + right + bottom > 0;
}

} // namespace kvr::engine
