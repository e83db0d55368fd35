// The video sink on the real player: a session playing a clip through the bridge, drawn by the threaded
// render loop on the test run's X display.
#include "engine/MediaSession.h"
#include "platform/audio/VirtualEndpoint.h"
#include "tests/support/TestSupport.h"
#include "ui/bridge/MediaSessionBridge.h"
#include "ui/video/VideoSink.h"

#include <QGuiApplication>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using kvr::ui::MediaSessionBridge;
using kvr::ui::VideoSink;
using State = MediaSessionBridge::State;

namespace {

const QColor kBackground(250, 0, 250);
// The clip's two halves as the encoder's own BT.601 conversion leaves them (0xC82828 and 0x2848C8 asked for).
const QColor kRed(198, 39, 38);
const QColor kBlue(39, 70, 199);

// The bridge as the sink's frame source, counting the sink's paints (it takes frames once per paint): other
// windows on a shared display may make the window itself swap.
class CountingSource : public VideoSink::FrameSource {
public:
    explicit CountingSource(MediaSessionBridge& bridge)
        : bridge_(bridge)
    {
    }
    int64_t sessionGeneration() override { return int64_t(bridge_.sessionGeneration()); }
    int64_t videoClockUs() override { return bridge_.videoClockUs(); }
    int state() override { return int(bridge_.state()); }
    bool hasVideo() override { return bridge_.hasVideo(); }
    std::shared_ptr<const kvr::engine::VideoFrame> takeFrame(int64_t clockUs, bool force) override
    {
        ++paints;
        return bridge_.takeFrame(clockUs, force);
    }
    bool renderSubtitles(int width, int height, kvr::engine::internal::SubtitleOverlay& overlay) override
    {
        return bridge_.renderSubtitles(width, height, overlay);
    }
    bool frameDue(int64_t clockUs, bool force) override { return bridge_.frameDue(clockUs, force); }
    bool subtitleChangeDue() override { return bridge_.subtitleChangeDue(); }

    std::atomic<int> paints { 0 };

private:
    MediaSessionBridge& bridge_;
};

bool near(const QColor& a, const QColor& b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

} // namespace

TEST(VideoSink, ShowsThePlayersPicturesThroughTheBridge)
{
    qputenv("QSG_RENDER_LOOP", "threaded");
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb")) << "needs the test run's X display";
    kvr::engine::MediaSession session { [] {
        return kvr::platform::audio::makeSilentEnumerator(kvr::platform::audio::MixFormat {});
    } };
    auto bridge = std::make_unique<MediaSessionBridge>();
    bridge->setSession(&session);

    QQuickWindow window;
    window.setColor(kBackground);
    window.resize(256, 128);
    auto* sink = new VideoSink(window.contentItem());
    sink->setSize(QSizeF(256, 128));
    QSignalSpy bridgeChanged(sink, &VideoSink::bridgeChanged);
    sink->setBridge(bridge.get());
    sink->setBridge(bridge.get());
    EXPECT_EQ(bridgeChanged.count(), 1);
    EXPECT_EQ(sink->property("bridge").value<MediaSessionBridge*>(), bridge.get());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    QColor centre;
    auto shows = [&](const QColor& colour) {
        return QTest::qWaitFor(
            [&] {
                centre = window.grabWindow().pixelColor(128, 64);
                return near(centre, colour, 3);
            },
            5000);
    };
    auto centreText = [&] {
        return std::to_string(centre.red()) + ", " + std::to_string(centre.green()) + ", "
            + std::to_string(centre.blue());
    };

    bridge->restorePlaylist({ QString::fromStdString(kvr::test::fixture("sink-red-blue.mkv").string()) }, 0);
    ASSERT_TRUE(bridge->openEntry(0));
    ASSERT_TRUE(QTest::qWaitFor([&] { return bridge->state() == State::Playing; }, 10000));
    // The state change reaches the sink through the bridge's signal; from then on the repaint timer alone
    // pulls the frames: nothing here asks for a paint.
    EXPECT_TRUE(QTest::qWaitFor([&] { return sink->repaintTimerActive(); }, 5000));
    EXPECT_TRUE(shows(kRed)) << centreText();

    // The clip has ten pictures a second: the sink paints again for those, not for every 16 ms tick.
    CountingSource counting(*bridge);
    sink->setFrameSource(&counting);
    auto paintsWithin = [&](int ms) {
        const int before = counting.paints;
        QTest::qWait(ms);
        return counting.paints - before;
    };
    const int64_t clockBefore = session.clockUs();
    const int playing = paintsWithin(1000);
    const int64_t mediaMs = (session.clockUs() - clockBefore) / 1000;
    EXPECT_GE(playing, 1);
    EXPECT_LE(playing, mediaMs / 100 + 3) << mediaMs << " ms of media";

    // Paused, a seek into the blue half reopens the medium; its first picture is drawn although the clock
    // stands still.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            bridge->pause();
            return bridge->state() == State::Paused;
        },
        5000));
    EXPECT_TRUE(sink->repaintTimerActive());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            if (!bridge->reopening() && session.clockUs() < 3'000'000)
                bridge->seekUs(3'000'000);
            return !bridge->reopening() && session.clockUs() >= 3'000'000 && bridge->state() == State::Paused;
        },
        5000));
    EXPECT_TRUE(shows(kBlue)) << centreText();
    // Paused with nothing changing, the ticks go on and draw nothing.
    EXPECT_TRUE(QTest::qWaitFor([&] { return paintsWithin(200) == 0; }, 10000));
    EXPECT_TRUE(sink->repaintTimerActive());
    EXPECT_EQ(paintsWithin(600), 0);
    sink->setFrameSource(nullptr);

    // Stopped: the timer stops and the picture goes with the closed medium.
    bridge->stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sink->repaintTimerActive(); }, 5000));
    sink->update();
    EXPECT_TRUE(shows(kBackground)) << centreText();

    // The bridge going away leaves a sink that paints nothing and does not crash.
    bridge.reset();
    EXPECT_EQ(sink->bridge(), nullptr);
    sink->update();
    EXPECT_TRUE(shows(kBackground)) << centreText();
}
