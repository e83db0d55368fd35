// The video sink drawn for real: a Qt Quick window on the test run's X display (Mesa's llvmpipe OpenGL),
// rendered by the threaded render loop, grabbed and read back.
#include "tests/ui/video/TestFrames.h"
#include "ui/video/VideoSink.h"
#include "ui/video/YuvVideoNode.h"

#include <QGuiApplication>
#include <QQuickWindow>
#include <QSGImageNode>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QtQuick/private/qquickitem_p.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using kvr::engine::internal::SubtitleOverlay;
using kvr::test::PatchFrame;
using kvr::ui::VideoSink;
using kvr::ui::YuvVideoNode;

namespace {

const QColor kBackground(250, 0, 250);
const QColor kRed(200, 40, 40);
const QColor kGreen(40, 180, 60);
const QColor kBlue(50, 60, 200);
const QColor kGrey(220, 220, 220);

::testing::AssertionResult pixelNear(const QImage& image, int x, int y, const QColor& expected, int tolerance = 3)
{
    const QColor actual = image.pixelColor(x, y);
    if (std::abs(actual.red() - expected.red()) <= tolerance && std::abs(actual.green() - expected.green()) <= tolerance
        && std::abs(actual.blue() - expected.blue()) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is (" << actual.red() << ", "
                                         << actual.green() << ", " << actual.blue() << "), expected (" << expected.red()
                                         << ", " << expected.green() << ", " << expected.blue() << ")";
}

// What the scene graph holds for the item: every drawing node below it, wherever Qt keeps it.
struct NodeCensus {
    int yuvNodes = 0;
    int imageNodes = 0;
};

void countNodes(QSGNode* node, NodeCensus& census)
{
    if (dynamic_cast<YuvVideoNode*>(node))
        ++census.yuvNodes;
    else if (dynamic_cast<QSGImageNode*>(node))
        ++census.imageNodes;
    for (QSGNode* child = node->firstChild(); child; child = child->nextSibling())
        countNodes(child, census);
}

class VideoSinkRender : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The sink's paint path runs on the render thread; the loop must be chosen before the first window.
        qputenv("QSG_RENDER_LOOP", "threaded");
        ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb")) << "needs the test run's X display";
        VideoSink::setForceBgraFallback(false);
        window = std::make_unique<QQuickWindow>();
        window->setColor(kBackground);
        window->resize(320, 160);
        sink = new VideoSink(window->contentItem());
        sink->setSize(QSizeF(256, 128));
        sink->setFrameSource(&source);
        QObject::connect(
            window.get(), &QQuickWindow::beforeSynchronizing, window.get(),
            [this] { syncedOnGuiThread = QThread::currentThread() == qApp->thread(); }, Qt::DirectConnection);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    void TearDown() override
    {
        VideoSink::setForceBgraFallback(false);
        window.reset();
    }

    QImage paint()
    {
        sink->update();
        QImage image = window->grabWindow();
        EXPECT_FALSE(syncedOnGuiThread.load()) << "the threaded render loop is not running";
        return image;
    }

    NodeCensus census()
    {
        NodeCensus result;
        countNodes(QQuickItemPrivate::get(sink)->itemNode(), result);
        return result;
    }

    // Shows one frame now: due at once.
    void show(const PatchFrame& layout)
    {
        source.setClockUs(layout.pts);
        source.push(kvr::test::makePatchFrame(layout));
    }

    kvr::test::ScriptedFrameSource source;
    std::unique_ptr<QQuickWindow> window;
    VideoSink* sink = nullptr;
    std::atomic<bool> syncedOnGuiThread { false };
};

PatchFrame patches(int format, int64_t pts, int colorMatrix = 1, bool fullRange = false)
{
    PatchFrame layout;
    layout.format = format;
    layout.pts = pts;
    layout.colorMatrix = colorMatrix;
    layout.fullRange = fullRange;
    layout.patches[0] = kRed;
    layout.patches[1] = kGreen;
    layout.patches[2] = kBlue;
    layout.patches[3] = kGrey;
    return layout;
}

// Centres of the four patches of a frame that fills the 256 × 128 item.
void expectPatches(const QImage& image)
{
    EXPECT_TRUE(pixelNear(image, 64, 32, kRed));
    EXPECT_TRUE(pixelNear(image, 192, 32, kGreen));
    EXPECT_TRUE(pixelNear(image, 64, 96, kBlue));
    EXPECT_TRUE(pixelNear(image, 192, 96, kGrey));
}

void expectNoPicture(const QImage& image)
{
    for (const QPoint& at : { QPoint(64, 32), QPoint(192, 32), QPoint(64, 96), QPoint(192, 96) })
        EXPECT_TRUE(pixelNear(image, at.x(), at.y(), kBackground, 0));
}

class VideoSinkPatches : public VideoSinkRender, public ::testing::WithParamInterface<bool> { };

} // namespace

// Every format in turn in one sink, so textures are also remade as sizes and formats change and the YUV and
// image nodes replace each other.
TEST_P(VideoSinkPatches, DrawsColourPatchesOfEveryFormat)
{
    const bool fallback = GetParam();
    VideoSink::setForceBgraFallback(fallback);
    struct Step {
        PatchFrame layout;
        bool drawnAsYuv;
    } steps[] = {
        { patches(1, 0, 0), true }, // yuv420p, limited BT.601
        { patches(2, 40'000, 1, true), true }, // nv12, full-range BT.709
        { patches(3, 80'000, 2), !fallback }, // yuv420p10le, limited BT.2020
        { patches(4, 120'000, 1), !fallback }, // p010le, limited BT.709
        { patches(0, 160'000), false }, // BGRA
        { patches(1, 200'000, 1), true },
    };
    steps[5].layout.width = 32; // a smaller frame of the same aspect remakes every plane texture
    steps[5].layout.height = 16;
    for (const Step& step : steps) {
        SCOPED_TRACE(kvr::test::formatName(step.layout.format) + " " + std::to_string(step.layout.width));
        show(step.layout);
        expectPatches(paint());
        const NodeCensus nodes = census();
        EXPECT_EQ(nodes.yuvNodes, step.drawnAsYuv ? 1 : 0);
        EXPECT_EQ(nodes.imageNodes, step.drawnAsYuv ? 0 : 1);
    }
}

INSTANTIATE_TEST_SUITE_P(VideoSink, VideoSinkPatches, ::testing::Values(false, true),
    [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "ForcedBgraFallback" : "NormalPath"; });

TEST_F(VideoSinkRender, SubtitlesLieUprightOverTheVisiblePicture)
{
    sink->setSize(QSizeF(300, 128));
    // A portrait frame, red above green, shown turned a quarter clockwise: red ends up on the right.
    PatchFrame layout = patches(1, 0);
    layout.width = 32;
    layout.height = 64;
    layout.rotation = 90;
    layout.patches[0] = layout.patches[1] = kRed;
    layout.patches[2] = layout.patches[3] = kGreen;
    show(layout);
    // Subtitles: the left half of whatever size is asked for is opaque blue.
    source.setSubtitles([](int width, int height, SubtitleOverlay& overlay) {
        overlay.width = width;
        overlay.height = height;
        overlay.empty = false;
        overlay.pixels.assign(size_t(width) * height * 4, 0);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width / 2; ++x) {
                uint8_t* p = overlay.pixels.data() + (size_t(y) * width + x) * 4;
                p[0] = 255;
                p[3] = 255;
            }
        }
        return true;
    });

    // Fit: the picture is 256 × 128 at x 22 … 278.
    QImage image = paint();
    EXPECT_EQ(source.subtitleRequests().back(), QSize(256, 128));
    EXPECT_TRUE(pixelNear(image, 10, 64, kBackground, 0)); // beside the picture: no subtitles either
    EXPECT_TRUE(pixelNear(image, 290, 64, kBackground, 0));
    EXPECT_TRUE(pixelNear(image, 60, 10, QColor(0, 0, 255))); // the overlay's left half, top to bottom
    EXPECT_TRUE(pixelNear(image, 60, 118, QColor(0, 0, 255)));
    EXPECT_TRUE(pixelNear(image, 240, 10, kRed)); // the picture through the overlay's clear half
    EXPECT_TRUE(pixelNear(image, 240, 118, kRed));

    // Crop: the picture overflows the item; the overlay covers just the item.
    sink->setFillMode(VideoSink::Crop);
    image = paint();
    EXPECT_EQ(source.subtitleRequests().back(), QSize(300, 128));
    EXPECT_TRUE(pixelNear(image, 10, 64, QColor(0, 0, 255)));
    EXPECT_TRUE(pixelNear(image, 290, 64, kRed));

    // A resize asks for an overlay of the new size.
    sink->setSize(QSizeF(200, 100));
    paint();
    EXPECT_EQ(source.subtitleRequests().back(), QSize(200, 100));
}

TEST_F(VideoSinkRender, NewSessionGenerationClearsThePicture)
{
    show(patches(2, 0));
    expectPatches(paint());

    source.setGeneration(2);
    expectNoPicture(paint());
    EXPECT_EQ(census().yuvNodes + census().imageNodes, 0);

    show(patches(1, 0));
    expectPatches(paint());
}

TEST_F(VideoSinkRender, SeekWhilePausedDrawsTheNewPicture)
{
    source.setState(4);
    show(patches(1, 1'000'000));
    expectPatches(paint());

    // A seek reopens the medium: new generation, and a first frame that is not due by the paused clock.
    PatchFrame after = patches(1, 9'000'000);
    after.patches[0] = after.patches[1] = after.patches[2] = after.patches[3] = kGreen;
    source.setGeneration(2);
    source.setState(3);
    source.push(kvr::test::makePatchFrame(after));
    expectNoPicture(paint()); // playing: the frame waits for its time

    source.setState(4);
    const QImage image = paint(); // paused with nothing shown: the frame is forced out
    EXPECT_TRUE(pixelNear(image, 64, 32, kGreen));
    EXPECT_TRUE(pixelNear(image, 192, 96, kGreen));
}

TEST_F(VideoSinkRender, EmptyPackedFrameLeavesNoPictureAndNoSecondTree)
{
    struct Case {
        const char* name;
        int width, height;
        bool truncate; // bytes shorter than the rows the frame claims
    } cases[] = {
        { "no pixels", 0, 0, false },
        { "bytes shorter than the picture", 64, 32, true },
    };
    int64_t pts = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        source.setGeneration(pts + 1);
        show(patches(1, pts++));
        expectPatches(paint());

        auto empty = std::make_shared<kvr::engine::VideoFrame>(*kvr::test::makePatchFrame(patches(0, pts)));
        empty->width = c.width;
        empty->height = c.height;
        if (c.truncate)
            empty->bytes.resize(empty->bytes.size() / 2);
        source.setClockUs(pts++);
        source.push(empty);
        expectNoPicture(paint());
        EXPECT_EQ(census().yuvNodes + census().imageNodes, 0);

        // A square picture next: nothing of the wide one may remain beside it.
        PatchFrame square = patches(0, pts++);
        square.width = 32;
        square.height = 32;
        show(square);
        const QImage image = paint();
        EXPECT_TRUE(pixelNear(image, 30, 64, kBackground, 0));
        EXPECT_TRUE(pixelNear(image, 226, 64, kBackground, 0));
        EXPECT_TRUE(pixelNear(image, 96, 32, kRed));
        EXPECT_EQ(census().yuvNodes, 0);
        EXPECT_EQ(census().imageNodes, 1);
    }
}

TEST_F(VideoSinkRender, RepaintsOnlyWhenThePictureChanges)
{
    // Every repaint of the sink is a render and a swap of the whole window; the 16 ms tick must not cause one by
    // itself. Counted as the sink's paints: other windows on a shared display may make the window swap too.
    auto paintsWithin = [&](int ms) {
        const int before = source.paints();
        QTest::qWait(ms);
        return source.paints() - before;
    };
    auto settle = [&] { return QTest::qWaitFor([&] { return paintsWithin(200) == 0; }, 10000); };
    ASSERT_TRUE(sink->repaintTimerActive());

    // Paused on a picture with nothing changing: dozens of ticks, no repaint.
    source.setState(4);
    sink->updateTimer();
    show(patches(1, 0));
    expectPatches(paint());
    ASSERT_TRUE(settle());
    EXPECT_TRUE(sink->repaintTimerActive());
    EXPECT_FALSE(sink->repaintDue());
    EXPECT_EQ(paintsWithin(600), 0);

    // Playing ten frames a second: a repaint for each new frame, none for the ticks in between.
    source.setState(3);
    sink->updateTimer();
    constexpr int frames = 10;
    for (int i = 1; i <= frames; ++i) {
        PatchFrame next = patches(1, i * 100'000);
        if (i == frames)
            next.patches[0] = next.patches[1] = next.patches[2] = next.patches[3] = kGreen;
        source.push(kvr::test::makePatchFrame(next));
    }
    const int before = source.paints();
    int64_t clockUs = 0;
    QTimer clock;
    QObject::connect(&clock, &QTimer::timeout, [&] {
        clockUs += 100'000;
        source.setClockUs(clockUs);
    });
    clock.start(100);
    EXPECT_TRUE(QTest::qWaitFor([&] { return clockUs >= frames * 100'000; }, 20000));
    clock.stop();
    ASSERT_TRUE(settle());
    const int playing = source.paints() - before;
    EXPECT_GE(playing, 1);
    EXPECT_LE(playing, frames + 1) << "repainted on ticks that brought no frame";
    const QImage last = window->grabWindow();
    EXPECT_TRUE(pixelNear(last, 64, 32, kGreen));

    // A subtitle change alone repaints too, and only while it is due.
    source.setSubtitleChangeDue(true);
    EXPECT_TRUE(sink->repaintDue());
    EXPECT_TRUE(QTest::qWaitFor([&] { return source.paints() > before + playing; }, 5000));
    source.setSubtitleChangeDue(false);
    ASSERT_TRUE(settle());

    // So does a new medium, which takes the picture away.
    source.setGeneration(2);
    EXPECT_TRUE(sink->repaintDue());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !sink->repaintDue(); }, 5000));
    expectNoPicture(window->grabWindow());
}
