#include "engine/internal/SubtitleBlend.h"

#include <algorithm>
#include <cstddef>

namespace kvr::engine::internal {
namespace {

// The rows or columns [first, last) of a block of `length` at `offset` that land inside [0, limit).
struct Span {
    int64_t first;
    int64_t last;
};

Span visible(int64_t offset, int64_t length, int64_t limit)
{
    return { std::max<int64_t>(0, -offset), std::min<int64_t>(length, limit - offset) };
}

bool drawable(const SubtitleOverlay& out)
{
    return !out.empty && out.width > 0 && out.height > 0
        && out.pixels.size() >= size_t(out.width) * size_t(out.height) * 4;
}

} // namespace

void blendAssImage(SubtitleOverlay& out, const ASS_Image& image)
{
    const uint32_t transparency = image.color & 0xFF;
    if (transparency == 255 || !image.bitmap || image.w <= 0 || image.h <= 0 || !drawable(out))
        return;
    const uint32_t colour[3] = { (image.color >> 8) & 0xFF, (image.color >> 16) & 0xFF, image.color >> 24 };
    const uint32_t opacity = 255 - transparency;
    const Span rows = visible(image.dst_y, image.h, out.height);
    const Span cols = visible(image.dst_x, image.w, out.width);
    for (int64_t r = rows.first; r < rows.last; ++r) {
        const uint8_t* src = image.bitmap + r * image.stride;
        uint8_t* dst = out.pixels.data() + ((image.dst_y + r) * int64_t(out.width) + image.dst_x) * 4;
        for (int64_t c = cols.first; c < cols.last; ++c) {
            const uint32_t k = src[c] * opacity / 255;
            if (k == 0)
                continue;
            uint8_t* d = dst + c * 4;
            for (int i = 0; i < 3; ++i)
                d[i] = static_cast<uint8_t>((colour[i] * k + d[i] * (255 - k)) / 255);
            d[3] = static_cast<uint8_t>(d[3] * (255 - k) / 255 + k);
        }
    }
}

void blendPremultiplied(
    SubtitleOverlay& out, const uint8_t* pixels, int32_t width, int32_t height, int32_t x, int32_t y)
{
    if (!pixels || width <= 0 || height <= 0 || !drawable(out))
        return;
    const Span rows = visible(y, height, out.height);
    const Span cols = visible(x, width, out.width);
    for (int64_t r = rows.first; r < rows.last; ++r) {
        const uint8_t* src = pixels + r * int64_t(width) * 4;
        uint8_t* dst = out.pixels.data() + ((y + r) * int64_t(out.width) + x) * 4;
        for (int64_t c = cols.first; c < cols.last; ++c) {
            const uint8_t* s = src + c * 4;
            const uint32_t a = s[3];
            if (a == 0)
                continue;
            uint8_t* d = dst + c * 4;
            // Scaling can round a colour a little above its alpha; saturate rather than wrap.
            for (int i = 0; i < 4; ++i)
                d[i] = static_cast<uint8_t>(std::min<uint32_t>(255, d[i] * (255 - a) / 255 + s[i]));
        }
    }
}

} // namespace kvr::engine::internal
