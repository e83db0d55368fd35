#include "engine/FrameUtils.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kvr::engine;

namespace {

// A packed BGRA picture: mid-grey content with black bars of the given widths.
VideoFrame barred(int w, int h, int left, int top, int right, int bottom, uint8_t barLevel = 0)
{
    VideoFrame f;
    f.width = w;
    f.height = h;
    f.format = 0;
    f.bytesStride = w * 4;
    f.bytes.assign(size_t(w) * h * 4, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool bar = x < left || x >= w - right || y < top || y >= h - bottom;
            uint8_t* p = f.bytes.data() + (size_t(y) * w + x) * 4;
            p[0] = p[1] = p[2] = bar ? barLevel : 128;
            p[3] = 255;
        }
    f.planes[0] = f.bytes.data();
    f.strides[0] = f.bytesStride;
    return f;
}

} // namespace

TEST(FrameUtils, DetectBlackBarsMeasuresEvenBordersUpToAThird)
{
    struct Row {
        const char* what;
        int w, h, left, top, right, bottom;
        uint8_t barLevel;
        bool found;
        int eLeft, eTop, eRight, eBottom;
    };
    const Row rows[] = {
        { "letterbox", 1920, 1080, 0, 140, 0, 140, 0, true, 0, 140, 0, 140 },
        { "odd bars", 1920, 1080, 0, 141, 0, 141, 0, true, 0, 140, 0, 140 },
        { "pillarbox", 640, 360, 81, 0, 80, 0, 0, true, 80, 0, 80, 0 },
        { "dark grey counts as black", 640, 360, 0, 50, 0, 50, 24, true, 0, 50, 0, 50 },
        { "grey just above the line is picture", 640, 360, 0, 50, 0, 50, 25, false, 0, 0, 0, 0 },
        { "band over a third", 640, 363, 0, 200, 0, 0, 0, true, 0, 120, 0, 0 },
        { "no border", 320, 240, 0, 0, 0, 0, 0, false, 0, 0, 0, 0 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const VideoFrame f = barred(row.w, row.h, row.left, row.top, row.right, row.bottom, row.barLevel);
        int l = -1, t = -1, r = -1, b = -1;
        EXPECT_EQ(detectBlackBars(f, l, t, r, b), row.found);
        EXPECT_EQ(l, row.eLeft);
        EXPECT_EQ(t, row.eTop);
        EXPECT_EQ(r, row.eRight);
        EXPECT_EQ(b, row.eBottom);
    }
}

TEST(FrameUtils, DetectBlackBarsGivesNothingForABlackOrEmptyPicture)
{
    VideoFrame black = barred(1920, 1080, 0, 0, 0, 0);
    std::fill(black.bytes.begin(), black.bytes.end(), 0);
    VideoFrame tiny = barred(4, 2, 0, 0, 0, 0);
    const VideoFrame empty;
    for (const VideoFrame* f : std::initializer_list<const VideoFrame*> { &black, &tiny, &empty }) {
        int l = 7, t = 7, r = 7, b = 7;
        EXPECT_FALSE(detectBlackBars(*f, l, t, r, b));
        EXPECT_EQ(l + t + r + b, 28); // untouched
    }
}

TEST(FrameUtils, ConvertToBgraPacksAPaddedPictureTightly)
{
    VideoFrame src = barred(5, 3, 0, 0, 0, 0);
    // Re-lay the rows 32 bytes apart, with junk in the padding.
    std::vector<uint8_t> padded(32 * 3, 0xEE);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            uint8_t* p = padded.data() + y * 32 + x * 4;
            p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = uint8_t(10 * y + x), p[3] = 255;
        }
    src.bytes = padded;
    src.bytesStride = 32;
    src.planes[0] = src.bytes.data();
    src.strides[0] = 32;
    src.pts = 1234;
    src.sarNum = 4;
    src.sarDen = 3;
    src.rotation = 90;

    const auto out = convertToBgra(src);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->format, 0);
    EXPECT_EQ(out->bytesStride, 20);
    ASSERT_EQ(out->bytes.size(), 60u);
    EXPECT_EQ(out->planes[0], out->bytes.data());
    EXPECT_EQ(out->strides[0], 20);
    EXPECT_EQ(out->pts, 1234);
    EXPECT_EQ(out->sarNum, 4);
    EXPECT_EQ(out->sarDen, 3);
    EXPECT_EQ(out->rotation, 90);
    for (int y = 0; y < 3; ++y)
        EXPECT_EQ(std::memcmp(out->bytes.data() + y * 20, padded.data() + y * 32, 20), 0) << "row " << y;
}

TEST(FrameUtils, ConvertToBgraRefusesPicturesItCannotRead)
{
    VideoFrame shortBytes = barred(16, 16, 0, 0, 0, 0);
    shortBytes.bytes.resize(16 * 15 * 4); // one row missing
    VideoFrame narrowStride = barred(16, 16, 0, 0, 0, 0);
    narrowStride.bytesStride = 16;
    VideoFrame noPlanes;
    noPlanes.width = 16;
    noPlanes.height = 16;
    noPlanes.format = 1;
    VideoFrame missingChroma = noPlanes;
    static const uint8_t luma[256] = {};
    missingChroma.planes[0] = luma;
    missingChroma.strides[0] = 16;
    VideoFrame unknownCode = missingChroma;
    unknownCode.format = 9;
    for (const VideoFrame* f : std::initializer_list<const VideoFrame*> {
             &shortBytes, &narrowStride, &noPlanes, &missingChroma, &unknownCode })
        EXPECT_FALSE(convertToBgra(*f));
}

TEST(FrameUtils, ConvertToBgraHonoursRangeAndMatrix)
{
    // 16x16 4:2:0 pictures of one colour: black and white in both ranges, and a red of BT.601 vs BT.709.
    struct Row {
        const char* what;
        uint8_t y, u, v;
        bool fullRange;
        int32_t matrix;
        int b, g, r;
    };
    const Row rows[] = {
        { "limited black", 16, 128, 128, false, 1, 0, 0, 0 },
        { "limited white", 235, 128, 128, false, 1, 255, 255, 255 },
        { "full black", 0, 128, 128, true, 1, 0, 0, 0 },
        { "full white", 255, 128, 128, true, 1, 255, 255, 255 },
        { "601 red", 81, 90, 240, false, 0, 0, 0, 255 },
        { "709 red", 63, 102, 240, false, 1, 0, 0, 255 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<uint8_t> y(256, row.y), u(64, row.u), v(64, row.v);
        VideoFrame f;
        f.width = 16;
        f.height = 16;
        f.format = 1;
        f.planes[0] = y.data();
        f.planes[1] = u.data();
        f.planes[2] = v.data();
        f.strides[0] = 16;
        f.strides[1] = f.strides[2] = 8;
        f.fullRange = row.fullRange;
        f.colorMatrix = row.matrix;
        const auto out = convertToBgra(f);
        ASSERT_TRUE(out);
        const uint8_t* p = out->bytes.data() + (8 * 16 + 8) * 4;
        EXPECT_NEAR(p[0], row.b, 3);
        EXPECT_NEAR(p[1], row.g, 3);
        EXPECT_NEAR(p[2], row.r, 3);
    }
}
