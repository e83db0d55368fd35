// Measures what the video sink costs the render thread per 1080p frame under Mesa's llvmpipe: the sync step
// (frame hand-over, and the CPU conversion of the 16-bit fall-back; the GUI thread waits through it) and the
// whole frame (sync, plane upload, draw and present), against a repaint of the same frame (draw and present
// only). Needs an X display with GLX, e.g.
//   xvfb-run -a -s "-screen 0 1280x800x24 +extension GLX" build/bench/kvr_bench_video_sink
#include "ui/video/VideoSink.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QSurfaceFormat>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using kvr::engine::VideoFrame;
using kvr::ui::VideoSink;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kWarmUp = 10;
constexpr int kFrames = 120;

struct Planes {
    std::vector<uint8_t> bytes[3];
};

// A ramp in every plane; what the picture shows does not change the cost.
std::shared_ptr<const VideoFrame> makeFrame(int format, int64_t pts)
{
    auto frame = std::make_shared<VideoFrame>();
    frame->width = kWidth;
    frame->height = kHeight;
    frame->format = format;
    frame->pts = pts;
    if (format == 0) {
        frame->bytesStride = kWidth * 4;
        frame->bytes.resize(size_t(kWidth) * 4 * kHeight);
        for (size_t i = 0; i < frame->bytes.size(); ++i)
            frame->bytes[i] = uint8_t(i * 7);
        frame->planes[0] = frame->bytes.data();
        frame->strides[0] = frame->bytesStride;
        return frame;
    }
    const int bytes = format >= 3 ? 2 : 1;
    const bool semiPlanar = format == 2 || format == 4;
    auto planes = std::make_shared<Planes>();
    for (int i = 0; i < (semiPlanar ? 2 : 3); ++i) {
        const int rowBytes = (i == 0 ? kWidth : (semiPlanar ? kWidth : kWidth / 2)) * bytes;
        const int rows = i == 0 ? kHeight : kHeight / 2;
        planes->bytes[i].resize(size_t(rowBytes) * rows);
        for (size_t j = 0; j < planes->bytes[i].size(); ++j)
            planes->bytes[i][j] = uint8_t(j * 3 + i * 50);
        if (format == 3) // keep the words within 10 bits
            for (size_t j = 1; j < planes->bytes[i].size(); j += 2)
                planes->bytes[i][j] &= 0x03;
        frame->planes[i] = planes->bytes[i].data();
        frame->strides[i] = rowBytes;
    }
    frame->owner = planes;
    return frame;
}

// Hands out a new frame on every paint while `feeding`, else nothing (the sink repaints what it has).
class BenchSource : public VideoSink::FrameSource {
public:
    explicit BenchSource(int format)
        : frames { makeFrame(format, 0), makeFrame(format, 1) }
    {
    }
    int64_t sessionGeneration() override { return 1; }
    int64_t videoClockUs() override { return 0; }
    int state() override { return 3; }
    bool hasVideo() override { return true; }
    std::shared_ptr<const VideoFrame> takeFrame(int64_t, bool) override
    {
        std::lock_guard lock(mutex);
        if (!feeding)
            return {};
        ++taken;
        return frames[taken % 2];
    }
    bool renderSubtitles(int, int, kvr::engine::internal::SubtitleOverlay&) override { return false; }
    bool frameDue(int64_t, bool) override
    {
        std::lock_guard lock(mutex);
        return feeding;
    }
    bool subtitleChangeDue() override { return false; }

    std::mutex mutex;
    bool feeding = true;
    int taken = 0;
    std::shared_ptr<const VideoFrame> frames[2];
};

struct Timing {
    double syncMs = 0;
    double frameMs = 0;
};

// Runs `count` frames back to back and averages the render thread's times.
Timing measure(QQuickWindow& window, VideoSink& sink, int count)
{
    std::mutex mutex;
    Clock::time_point syncStart;
    bool inFrame = false; // a frame of this run began
    double syncTotal = 0;
    double frameTotal = 0;
    int done = 0;
    QEventLoop loop;
    auto c1 = QObject::connect(
        &window, &QQuickWindow::beforeSynchronizing, &window,
        [&] {
            std::lock_guard lock(mutex);
            syncStart = Clock::now();
            inFrame = true;
        },
        Qt::DirectConnection);
    auto c2 = QObject::connect(
        &window, &QQuickWindow::afterSynchronizing, &window,
        [&] {
            std::lock_guard lock(mutex);
            if (inFrame)
                syncTotal += std::chrono::duration<double, std::milli>(Clock::now() - syncStart).count();
        },
        Qt::DirectConnection);
    auto c3 = QObject::connect(
        &window, &QQuickWindow::frameSwapped, &window,
        [&] {
            std::lock_guard lock(mutex);
            if (!inFrame)
                return;
            inFrame = false;
            frameTotal += std::chrono::duration<double, std::milli>(Clock::now() - syncStart).count();
            ++done;
        },
        Qt::DirectConnection);
    // Next frame as soon as the last one is out.
    auto c4 = QObject::connect(
        &window, &QQuickWindow::frameSwapped, &sink,
        [&] {
            int finished;
            {
                std::lock_guard lock(mutex);
                finished = done;
            }
            if (finished >= count)
                loop.quit();
            else
                sink.update();
        },
        Qt::QueuedConnection);
    sink.update();
    QTimer::singleShot(120'000, &loop, &QEventLoop::quit);
    loop.exec();
    for (const auto& c : { c1, c2, c3, c4 })
        QObject::disconnect(c);
    std::lock_guard lock(mutex);
    return { syncTotal / std::max(done, 1), frameTotal / std::max(done, 1) };
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QSG_RENDER_LOOP", "threaded");
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setSwapInterval(0); // no waiting for a display refresh in the figures
    QSurfaceFormat::setDefaultFormat(format);
    QGuiApplication app(argc, argv);
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
        std::fprintf(stderr, "kvr_bench_video_sink: needs an X display with GLX (see the top of the source)\n");
        return 1;
    }

    struct Case {
        const char* name;
        int format;
        bool fallback;
    } cases[] = {
        { "yuv420p", 1, false },
        { "nv12", 2, false },
        { "yuv420p10le", 3, false },
        { "p010le", 4, false },
        { "yuv420p10le_fallback", 3, true },
        { "p010le_fallback", 4, true },
        { "bgra", 0, false },
    };
    for (const Case& c : cases) {
        VideoSink::setForceBgraFallback(c.fallback);
        BenchSource source(c.format);
        QQuickWindow window;
        window.resize(1280, 720);
        auto* sink = new VideoSink(window.contentItem());
        sink->setSize(QSizeF(1280, 720));
        sink->setFrameSource(&source);
        window.show();

        measure(window, *sink, kWarmUp);
        const Timing fresh = measure(window, *sink, kFrames);
        {
            std::lock_guard lock(source.mutex);
            source.feeding = false;
        }
        measure(window, *sink, kWarmUp);
        const Timing repaint = measure(window, *sink, kFrames);
        sink->setFrameSource(nullptr);

        std::printf("video_sink_%s_sync: %.3f ms\n", c.name, fresh.syncMs);
        std::printf("video_sink_%s_frame: %.3f ms\n", c.name, fresh.frameMs);
        std::printf("video_sink_%s_repaint: %.3f ms\n", c.name, repaint.frameMs);
        std::printf("video_sink_%s_new_frame_extra: %.3f ms\n", c.name, fresh.frameMs - repaint.frameMs);
        std::fflush(stdout);
    }
    return 0;
}
