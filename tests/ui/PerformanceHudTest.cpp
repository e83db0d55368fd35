#include "ui/PerformanceHud.h"

#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

using kvr::ui::PerformanceHud;

namespace {

constexpr std::int64_t kMs = 1'000'000;

// A monotonic clock the test moves by hand; the overlay reads it on both threads.
struct FakeClock {
    std::shared_ptr<std::atomic<std::int64_t>> now = std::make_shared<std::atomic<std::int64_t>>(0);
    PerformanceHud::Clock fn() const
    {
        return [now = now] { return now->load(); };
    }
    void advance(std::int64_t ns) const { now->fetch_add(ns); }
};

void poll(PerformanceHud& hud)
{
    ASSERT_TRUE(QMetaObject::invokeMethod(&hud, "onPollTimer", Qt::DirectConnection));
}

} // namespace

TEST(PerformanceHud, ComputesFpsAndFrameTimeFromSwapsAndPolls)
{
    FakeClock clock;
    PerformanceHud hud(clock.fn());
    QQuickWindow window;
    hud.setWindow(&window);
    QSignalSpy metrics(&hud, &PerformanceHud::metricsChanged);

    // The first frame starts the frame clock and yields no frame time.
    clock.advance(10 * kMs);
    emit window.frameSwapped();
    EXPECT_EQ(hud.frameTimeMs(), 0.0);
    clock.advance(490 * kMs);
    poll(hud);
    EXPECT_DOUBLE_EQ(hud.fps(), 2.0);
    EXPECT_EQ(hud.cpuPercent(), 0.0); // no previous process sample yet
    EXPECT_GT(hud.rssBytes(), 0);

    struct Interval {
        int frames;
        std::int64_t ms;
        double fps;
        double frameTimeMs; // after the poll; without frames the last value stays
    } intervals[] = {
        { 30, 500, 60.0, 500.0 / 30 },
        { 0, 500, 0.0, 500.0 / 30 },
        { 15, 1000, 15.0, 1000.0 / 15 },
        { 1, 250, 4.0, 250.0 },
    };
    for (const Interval& in : intervals) {
        for (int i = 0; i < in.frames; ++i) {
            clock.advance(in.ms * kMs / in.frames);
            emit window.frameSwapped();
        }
        clock.advance(in.ms * kMs - (in.frames ? in.ms * kMs / in.frames * in.frames : 0));
        poll(hud);
        EXPECT_DOUBLE_EQ(hud.fps(), in.fps) << in.frames << " frames in " << in.ms << " ms";
        EXPECT_NEAR(hud.frameTimeMs(), in.frameTimeMs, 1e-4) << in.frames << " frames in " << in.ms << " ms";
    }
    EXPECT_EQ(metrics.count(), 5);
}

TEST(PerformanceHud, ListensOnlyToTheAttachedWindow)
{
    FakeClock clock;
    PerformanceHud hud(clock.fn());
    QQuickWindow first;
    auto second = std::make_unique<QQuickWindow>();
    // Polls one second apart, so fps equals the frames counted.
    auto framesCounted = [&] {
        clock.advance(1000 * kMs);
        poll(hud);
        return hud.fps();
    };

    hud.setWindow(&first);
    hud.setWindow(&first);
    emit first.frameSwapped();
    EXPECT_EQ(framesCounted(), 1.0);

    hud.setWindow(second.get());
    emit first.frameSwapped();
    emit second->frameSwapped();
    emit second->frameSwapped();
    EXPECT_EQ(framesCounted(), 2.0);

    second.reset();
    EXPECT_EQ(framesCounted(), 0.0);
    hud.setWindow(&first);
    emit first.frameSwapped();
    EXPECT_EQ(framesCounted(), 1.0);
    hud.setWindow(nullptr);
    emit first.frameSwapped();
    EXPECT_EQ(framesCounted(), 0.0);
}

// Frames arrive on the render thread while the GUI thread polls: no frame may be lost or counted twice.
// Also the case to run under ThreadSanitizer.
TEST(PerformanceHud, CountsEveryFrameSwappedOnAnotherThread)
{
    FakeClock clock;
    PerformanceHud hud(clock.fn());
    QQuickWindow window;
    hud.setWindow(&window);

    constexpr int kFrames = 20000;
    std::atomic<int> polls { 0 };
    std::atomic<bool> done { false };
    std::thread render([&] {
        for (int i = 0; i < kFrames; ++i) {
            // Keep the two threads interleaved: wait for the poller now and then.
            if (i % 100 == 0) {
                const int seen = polls.load();
                while (polls.load() == seen)
                    std::this_thread::yield();
            }
            emit window.frameSwapped();
        }
        done = true;
    });
    double counted = 0;
    double lastFrameTime = 0;
    while (!done.load()) {
        clock.advance(1000 * kMs);
        poll(hud);
        polls.fetch_add(1);
        counted += hud.fps();
        lastFrameTime = hud.frameTimeMs();
    }
    render.join();
    clock.advance(1000 * kMs);
    poll(hud);
    counted += hud.fps();
    EXPECT_EQ(counted, double(kFrames));
    EXPECT_GE(lastFrameTime, 0.0);
}

TEST(PerformanceHud, TogglesVisibility)
{
    PerformanceHud hud;
    QSignalSpy changed(&hud, &PerformanceHud::visibleChanged);
    EXPECT_FALSE(hud.visible());
    hud.toggle();
    EXPECT_TRUE(hud.property("visible").toBool());
    hud.toggle();
    EXPECT_FALSE(hud.visible());
    EXPECT_EQ(changed.count(), 2);

    hud.setVisible(false);
    EXPECT_EQ(changed.count(), 2);
    hud.setProperty("visible", true);
    EXPECT_TRUE(hud.visible());
    EXPECT_EQ(changed.count(), 3);
}

// The overlay measures from construction on, shown or not, and a real window's frames reach it.
TEST(PerformanceHud, MeasuresARealWindow)
{
    PerformanceHud hud;
    QSignalSpy metrics(&hud, &PerformanceHud::metricsChanged);
    ASSERT_TRUE(metrics.wait(2000));
    EXPECT_GT(hud.rssBytes(), 0);

    QQuickWindow window;
    window.resize(64, 64);
    hud.setWindow(&window);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        GTEST_SKIP() << "no window can be shown here";
    bool sawFrames = false;
    for (int i = 0; i < 300 && !sawFrames; ++i) {
        window.update();
        QTest::qWait(10);
        if (metrics.count() > 1 && hud.fps() > 0)
            sawFrames = true;
    }
    EXPECT_TRUE(sawFrames);
    EXPECT_GT(hud.frameTimeMs(), 0.0);
}
