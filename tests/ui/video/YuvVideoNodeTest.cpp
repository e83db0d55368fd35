#include "ui/video/YuvVideoNode.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

using kvr::ui::YuvVideoNode;

namespace {

// (y, u, v) in 8-bit codes through the column-major matrix, back to 8-bit RGB.
std::array<double, 3> toRgb(const std::array<float, 16>& m, double y, double u, double v)
{
    const double in[4] = { y / 255, u / 255, v / 255, 1 };
    std::array<double, 3> rgb {};
    for (int row = 0; row < 3; ++row) {
        double sum = 0;
        for (int column = 0; column < 4; ++column)
            sum += m[size_t(column * 4 + row)] * in[column];
        rgb[size_t(row)] = sum * 255;
    }
    return rgb;
}

} // namespace

TEST(YuvVideoNode, ColourMatricesTurnKnownYuvIntoRgb)
{
    struct Case {
        const char* name;
        int matrix;
        bool fullRange;
        double y, u, v;
        double r, g, b;
    } cases[] = {
        { "limited BT.709 white", 1, false, 235, 128, 128, 255, 255, 255 },
        { "limited BT.709 black", 1, false, 16, 128, 128, 0, 0, 0 },
        { "limited BT.601 red", 0, false, 81, 90, 240, 255, 0, 0 },
        { "limited BT.601 blue", 0, false, 41, 240, 110, 0, 0, 255 },
        { "limited BT.709 green", 1, false, 173, 42, 26, 0, 255, 0 },
        { "full BT.709 mid grey", 1, true, 128, 128, 128, 128, 128, 128 },
        { "full BT.601 red", 0, true, 76, 85, 255, 255, 0, 0 },
        { "limited BT.2020 red", 2, false, 74, 97, 240, 255, 0, 0 },
        // Codes other than 0 and 2 are BT.709.
        { "unknown code as BT.709", 7, false, 173, 42, 26, 0, 255, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto rgb = toRgb(YuvVideoNode::colourMatrix(c.matrix, c.fullRange), c.y, c.u, c.v);
        EXPECT_NEAR(rgb[0], c.r, 2.5);
        EXPECT_NEAR(rgb[1], c.g, 2.5);
        EXPECT_NEAR(rgb[2], c.b, 2.5);
    }
}

TEST(YuvVideoNode, SetFrameChoosesPlanesScaleAndMatrixByFormat)
{
    struct Case {
        int format;
        bool semiPlanar;
        float sampleScale;
        int colorMatrix;
    } cases[] = {
        { 1, false, 1.0f, 0 },
        { 2, true, 1.0f, 1 },
        { 3, false, float(65535.0 / 1023.0), 2 },
        { 4, true, 1.0f, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        YuvVideoNode node;
        auto frame = std::make_shared<kvr::engine::VideoFrame>();
        frame->width = 7; // odd: chroma planes round up
        frame->height = 5;
        frame->format = c.format;
        frame->colorMatrix = c.colorMatrix;
        frame->fullRange = true;
        node.setFrame(frame);
        const auto& material = node.yuvMaterial();
        EXPECT_EQ(material.semiPlanar, c.semiPlanar);
        EXPECT_FLOAT_EQ(material.sampleScale, c.sampleScale);
        EXPECT_EQ(material.conversionMatrix, YuvVideoNode::colourMatrix(c.colorMatrix, true));
        EXPECT_EQ(material.planes[0].textureSize(), QSize(7, 5));
        EXPECT_EQ(material.planes[1].textureSize(), QSize(4, 3));
        EXPECT_EQ(material.planes[2].textureSize(), c.semiPlanar ? QSize() : QSize(4, 3));
    }

    // Packed and empty frames leave the node as it was.
    YuvVideoNode node;
    auto packed = std::make_shared<kvr::engine::VideoFrame>();
    packed->width = 8;
    packed->height = 8;
    node.setFrame(packed);
    node.setFrame(nullptr);
    EXPECT_EQ(node.yuvMaterial().planes[0].textureSize(), QSize());
    EXPECT_EQ(node.yuvMaterial().conversionMatrix, YuvVideoNode::colourMatrix(1, false));
}
