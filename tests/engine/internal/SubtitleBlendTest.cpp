#include "engine/internal/SubtitleBlend.h"

#include <gtest/gtest.h>

#include <array>

using namespace kvr::engine::internal;

namespace {

using Bgra = std::array<uint8_t, 4>;

SubtitleOverlay overlayOf(int32_t width, int32_t height, Bgra fill)
{
    SubtitleOverlay out;
    out.width = width;
    out.height = height;
    out.empty = false;
    for (int i = 0; i < width * height; ++i)
        out.pixels.insert(out.pixels.end(), fill.begin(), fill.end());
    return out;
}

Bgra pixelAt(const SubtitleOverlay& out, int x, int y)
{
    const uint8_t* p = out.pixels.data() + (y * out.width + x) * 4;
    return { p[0], p[1], p[2], p[3] };
}

} // namespace

TEST(SubtitleBlend, AssImageArithmetic)
{
    struct Row {
        uint32_t color; // 0xRRGGBBTT
        uint8_t value;
        Bgra before;
        Bgra after;
    };
    const Row rows[] = {
        { 0xFFFFFF00, 255, { 0, 0, 0, 0 }, { 255, 255, 255, 255 } }, // opaque white covers
        { 0xFFFFFFFF, 255, { 1, 2, 3, 4 }, { 1, 2, 3, 4 } }, // fully transparent image skipped
        { 0xFF000080, 255, { 10, 20, 30, 40 }, { 5, 10, 142, 147 } }, // k = 127
        { 0x00FF0000, 0, { 10, 20, 30, 40 }, { 10, 20, 30, 40 } }, // k = 0 leaves it
        { 0x0000FF00, 1, { 200, 200, 200, 200 }, { 200, 199, 199, 200 } }, // k = 1
        { 0x00FF00C0, 200, { 0, 0, 0, 255 }, { 0, 49, 0, 255 } }, // k = 49 over opaque black
    };
    for (const Row& row : rows) {
        SubtitleOverlay out = overlayOf(1, 1, row.before);
        uint8_t bitmap[1] = { row.value };
        ASS_Image image {};
        image.w = 1;
        image.h = 1;
        image.stride = 1;
        image.bitmap = bitmap;
        image.color = row.color;
        blendAssImage(out, image);
        EXPECT_EQ(pixelAt(out, 0, 0), row.after) << std::hex << row.color << " v=" << std::dec << int(row.value);
    }
}

TEST(SubtitleBlend, PremultipliedArithmetic)
{
    struct Row {
        Bgra source;
        Bgra before;
        Bgra after;
    };
    const Row rows[] = {
        { { 9, 9, 9, 0 }, { 1, 2, 3, 4 }, { 1, 2, 3, 4 } }, // alpha 0 leaves it
        { { 10, 20, 30, 255 }, { 200, 100, 50, 255 }, { 10, 20, 30, 255 } }, // opaque replaces
        { { 64, 32, 16, 128 }, { 200, 100, 50, 255 }, { 163, 81, 40, 255 } },
        { { 0, 0, 0, 1 }, { 255, 255, 255, 255 }, { 254, 254, 254, 255 } },
        { { 255, 0, 0, 10 }, { 255, 0, 0, 0 }, { 255, 0, 0, 10 } }, // colour above alpha saturates
    };
    for (const Row& row : rows) {
        SubtitleOverlay out = overlayOf(1, 1, row.before);
        blendPremultiplied(out, row.source.data(), 1, 1, 0, 0);
        EXPECT_EQ(pixelAt(out, 0, 0), row.after);
    }
}

TEST(SubtitleBlend, BlocksPartlyOutsideAreClipped)
{
    // A 3 × 3 block of opaque white and a 3 × 3 mask placed over each corner of a 2 × 2 overlay: only the
    // overlapping pixel changes, nothing is written outside.
    const std::array<uint8_t, 36> white = [] {
        std::array<uint8_t, 36> a {};
        a.fill(255);
        return a;
    }();
    const uint8_t mask[9] = { 255, 255, 255, 255, 255, 255, 255, 255, 255 };
    const int corners[][2] = { { -2, -2 }, { 1, -2 }, { -2, 1 }, { 1, 1 } };
    for (const auto& at : corners) {
        const int cx = at[0] < 0 ? 0 : 1;
        const int cy = at[1] < 0 ? 0 : 1;
        for (int pass = 0; pass < 2; ++pass) {
            SubtitleOverlay out = overlayOf(2, 2, { 0, 0, 0, 0 });
            out.pixels.reserve(out.pixels.size() + 64);
            if (pass == 0) {
                blendPremultiplied(out, white.data(), 3, 3, at[0], at[1]);
            } else {
                ASS_Image image {};
                image.w = 3;
                image.h = 3;
                image.stride = 3;
                image.bitmap = const_cast<uint8_t*>(mask);
                image.color = 0xFFFFFF00;
                image.dst_x = at[0];
                image.dst_y = at[1];
                blendAssImage(out, image);
            }
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 2; ++x)
                    EXPECT_EQ(pixelAt(out, x, y)[3], (x == cx && y == cy) ? 255 : 0)
                        << "corner " << at[0] << "," << at[1] << " pass " << pass;
        }
    }
}
