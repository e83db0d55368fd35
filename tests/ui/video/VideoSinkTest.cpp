#include "tests/ui/video/TestFrames.h"
#include "ui/video/VideoSink.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using kvr::engine::VideoFrame;
using kvr::ui::VideoSink;

namespace {

VideoFrame frameOf(int width, int height, int sarNum = 1, int sarDen = 1, int rotation = 0)
{
    VideoFrame frame;
    frame.width = width;
    frame.height = height;
    frame.sarNum = sarNum;
    frame.sarDen = sarDen;
    frame.rotation = rotation;
    return frame;
}

} // namespace

TEST(VideoSink, AspectComesFromSampleAspectRotationAndOverride)
{
    struct Case {
        const char* name;
        VideoFrame frame;
        double override;
        double aspect;
    } cases[] = {
        { "square pixels", frameOf(1920, 1080), 0, 1920.0 / 1080 },
        { "SAR 4:3 widens to 2560", frameOf(1920, 1080, 4, 3), 0, 2560.0 / 1080 },
        { "display width truncates", frameOf(5, 4, 2, 3), 0, 3.0 / 4 },
        { "SAR without a denominator is ignored", frameOf(1920, 1080, 4, 0), 0, 1920.0 / 1080 },
        { "portrait turned a quarter", frameOf(1080, 1920, 1, 1, 90), 0, 1920.0 / 1080 },
        { "portrait turned three quarters", frameOf(1080, 1920, 1, 1, 270), 0, 1920.0 / 1080 },
        { "half turn keeps the aspect", frameOf(1920, 1080, 1, 1, 180), 0, 1920.0 / 1080 },
        { "zero width falls back to 16:9", frameOf(0, 1080), 0, 16.0 / 9 },
        { "zero height counts as one line", frameOf(640, 0), 0, 640.0 },
        { "override wins", frameOf(1920, 1080, 4, 3, 90), 2.35, 2.35 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DOUBLE_EQ(VideoSink::frameAspect(c.frame, c.override), c.aspect);
    }
}

TEST(VideoSink, LayoutFitsCropsOrStretchesAndRotatesAboutTheCentre)
{
    const double sar43 = 2560.0 / 1080;
    struct Case {
        const char* name;
        QSizeF item;
        double aspect;
        int fillMode;
        int rotation;
        QSizeF drawn;
        QRectF visible;
    } cases[] = {
        { "fit, wide picture", { 1000, 1000 }, sar43, VideoSink::Fit, 0, { 1000, 421.875 },
            { 0, 289.0625, 1000, 421.875 } },
        { "crop, wide picture", { 1000, 1000 }, sar43, VideoSink::Crop, 0, { 1000 * sar43, 1000 },
            { 0, 0, 1000, 1000 } },
        { "stretch", { 1000, 1000 }, sar43, VideoSink::Stretch, 0, { 1000, 1000 }, { 0, 0, 1000, 1000 } },
        { "fit, narrow picture", { 800, 400 }, 1.0, VideoSink::Fit, 0, { 400, 400 }, { 200, 0, 400, 400 } },
        { "crop, narrow picture", { 800, 400 }, 1.0, VideoSink::Crop, 0, { 800, 800 }, { 0, 0, 800, 400 } },
        { "fit, rotated portrait", { 800, 400 }, 16.0 / 9, VideoSink::Fit, 90, { 711.1111111111111, 400 },
            { 44.44444444444446, 0, 711.1111111111111, 400 } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const VideoSink::Layout layout = VideoSink::layout(c.item, c.aspect, c.fillMode, c.rotation);
        EXPECT_NEAR(layout.drawn.width(), c.drawn.width(), 1e-9);
        EXPECT_NEAR(layout.drawn.height(), c.drawn.height(), 1e-9);
        EXPECT_NEAR(layout.visible.x(), c.visible.x(), 1e-9);
        EXPECT_NEAR(layout.visible.y(), c.visible.y(), 1e-9);
        EXPECT_NEAR(layout.visible.width(), c.visible.width(), 1e-9);
        EXPECT_NEAR(layout.visible.height(), c.visible.height(), 1e-9);
        // Whatever the rotation, the node rectangle carried through the transform covers the drawn picture,
        // centred in the item.
        const QRectF shown = layout.transform.mapRect(layout.nodeRect);
        EXPECT_NEAR(shown.center().x(), c.item.width() / 2, 1e-3);
        EXPECT_NEAR(shown.center().y(), c.item.height() / 2, 1e-3);
        EXPECT_NEAR(shown.width(), c.drawn.width(), 1e-3);
        EXPECT_NEAR(shown.height(), c.drawn.height(), 1e-3);
    }

    // A quarter turn puts the node's top-left corner at the picture's top-right.
    const VideoSink::Layout turned = VideoSink::layout({ 800, 400 }, 2.0, VideoSink::Fit, 90);
    EXPECT_EQ(turned.nodeRect, QRectF(200, -200, 400, 800));
    const QPointF corner = turned.transform.map(turned.nodeRect.topLeft());
    EXPECT_NEAR(corner.x(), 800, 1e-3);
    EXPECT_NEAR(corner.y(), 0, 1e-3);
}

// Subtitles keep clear of a bar over the item's bottom by shrinking from the top centre, shape kept; the
// picture's own rectangle is what they cover when nothing is in the way.
TEST(VideoSink, SubtitleAreaEndsAboveTheBottomInset)
{
    const struct {
        const char* name;
        QRectF visible;
        double itemHeight;
        double inset;
        QRectF area;
    } cases[] = {
        { "no bar", { 0, 0, 1920, 1080 }, 1080, 0, { 0, 0, 1920, 1080 } },
        { "bar over a full-height picture", { 0, 0, 1920, 1080 }, 1080, 64,
            { 56.888888888888886, 0, 1806.2222222222222, 1016 } },
        { "letterbox below the picture clears the bar", { 0, 100, 1920, 800 }, 1080, 64, { 0, 100, 1920, 800 } },
        { "bar reaches into a letterboxed picture", { 0, 60, 1920, 960 }, 1080, 64, { 4, 60, 1912, 956 } },
        { "negative inset counts as none", { 0, 0, 800, 600 }, 600, -20, { 0, 0, 800, 600 } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QRectF area = VideoSink::subtitleArea(c.visible, c.itemHeight, c.inset);
        EXPECT_NEAR(area.x(), c.area.x(), 1e-6);
        EXPECT_NEAR(area.y(), c.area.y(), 1e-6);
        EXPECT_NEAR(area.width(), c.area.width(), 1e-6);
        EXPECT_NEAR(area.height(), c.area.height(), 1e-6);
        EXPECT_LE(area.bottom(), c.itemHeight - std::max(0.0, c.inset) + 1e-6);
        EXPECT_NEAR(area.width() / area.height(), c.visible.width() / c.visible.height(), 1e-9);
    }
}

TEST(VideoSink, OverlayDeviceSizeRoundsHalvesUpAndIsNeverEmpty)
{
    EXPECT_EQ(VideoSink::overlayDeviceSize(QRectF(0, 0, 100.5, 50.4), 1.0), QSize(101, 50));
    EXPECT_EQ(VideoSink::overlayDeviceSize(QRectF(0, 0, 100.25, 50), 2.0), QSize(201, 100));
    EXPECT_EQ(VideoSink::overlayDeviceSize(QRectF(0, 0, 0, 0.2), 1.0), QSize(1, 1));
}

TEST(VideoSink, LayoutSettersIgnoreInvalidAndUnchangedValues)
{
    VideoSink sink;
    QSignalSpy layoutChanged(&sink, &VideoSink::layoutChanged);
    struct Step {
        double aspect;
        double stored;
        int notified;
    } steps[] = {
        { 1.5, 1.5, 1 }, { -1, 1.5, 1 }, // negative: ignored
        { 1.5 + 5e-7, 1.5, 1 }, // within 1e-6: ignored
        { std::nan(""), 1.5, 1 }, { 0, 0, 2 }, // back to the frame's own aspect
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.aspect);
        sink.setAspectOverride(step.aspect);
        EXPECT_EQ(sink.aspectOverride(), step.stored);
        EXPECT_EQ(layoutChanged.count(), step.notified);
    }
    sink.setFillMode(VideoSink::Crop);
    sink.setFillMode(VideoSink::Crop);
    EXPECT_EQ(sink.fillMode(), VideoSink::Crop);
    EXPECT_EQ(layoutChanged.count(), 3);
}

TEST(VideoSink, RepaintTimerRunsOnlyWithVideoFromPreparedToEnding)
{
    VideoSink sink;
    kvr::test::ScriptedFrameSource source;
    sink.setFrameSource(&source);
    struct Step {
        int state;
        bool hasVideo;
        bool runs;
    } steps[] = {
        { 0, true, false },
        { 1, true, false },
        { 2, true, true },
        { 3, true, true },
        { 4, true, true },
        { 5, true, true },
        { 6, true, false },
        { 7, true, false },
        { 3, false, false },
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.state);
        source.setState(step.state);
        source.setHasVideo(step.hasVideo);
        sink.updateTimer();
        EXPECT_EQ(sink.repaintTimerActive(), step.runs);
    }
    source.setState(3);
    sink.updateTimer();
    sink.setFrameSource(nullptr); // nothing to show from
    EXPECT_FALSE(sink.repaintTimerActive());
}
