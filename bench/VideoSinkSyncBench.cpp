// How far the pictures the video sink shows are from the heard clock when they reach the screen: the real sink in a
// window, fed by the player bridge on a 1080p30 H.264/AAC clip it generates, each picture measured at the swap
// that shows it (its pts minus the heard video clock then). The anchor is the engine alone in the same run with a
// 16 ms consumer that takes the due pictures as the sink does (measured as it takes them). The two sides take
// turns of 5 s, interleaved; medians and |p99| printed. Run it where the tests run, e.g.
//   source scripts/test-services.sh && kvr_services_start && build/bench/kvr_bench_video_sink_sync
#include "bench/BenchClips.h"
#include "engine/MediaSession.h"
#include "ui/bridge/MediaSessionBridge.h"
#include "ui/video/VideoSink.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QTimer>

#include <spdlog/spdlog.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using kvr::engine::MediaSession;
using kvr::ui::MediaSessionBridge;
using kvr::ui::VideoSink;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kRounds = 3;
constexpr auto kTurn = 5s;

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5))];
}

double absP99(const std::vector<double>& values)
{
    std::vector<double> absolute;
    for (double v : values)
        absolute.push_back(std::abs(v));
    return percentile(absolute, 0.99);
}

// The bridge as the sink sees it, noting the pts of each picture taken (on the render thread).
class RecordingSource : public VideoSink::FrameSource {
public:
    explicit RecordingSource(MediaSessionBridge& bridge)
        : bridge_(bridge)
    {
    }
    int64_t sessionGeneration() override { return int64_t(bridge_.sessionGeneration()); }
    int64_t videoClockUs() override { return bridge_.videoClockUs(); }
    int state() override { return int(bridge_.state()); }
    bool hasVideo() override { return bridge_.hasVideo(); }
    std::shared_ptr<const kvr::engine::VideoFrame> takeFrame(int64_t clockUs, bool force) override
    {
        auto frame = bridge_.takeFrame(clockUs, force);
        if (frame)
            takenPts = frame->pts;
        return frame;
    }
    bool renderSubtitles(int width, int height, kvr::engine::internal::SubtitleOverlay& overlay) override
    {
        return bridge_.renderSubtitles(width, height, overlay);
    }
    bool frameDue(int64_t clockUs, bool force) override { return bridge_.frameDue(clockUs, force); }
    bool subtitleChangeDue() override { return bridge_.subtitleChangeDue(); }
    int64_t nextFramePtsUs() override { return bridge_.nextFramePtsUs(); }
    double speed() override { return bridge_.speed(); }

    std::atomic<int64_t> takenPts { -1 };

private:
    MediaSessionBridge& bridge_;
};

void serveFor(std::chrono::milliseconds duration)
{
    const auto start = Clock::now();
    while (Clock::now() - start < duration)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// The pictures the window showed while recording, as offsets from the heard clock at their swap; written on the
// render thread, read on the main thread.
struct SwapRecord {
    std::mutex mutex;
    std::vector<double> shown;
    bool recording = false;
    int64_t lastSwappedPts = -1;

    void setRecording(bool on)
    {
        std::lock_guard lock(mutex);
        recording = on;
    }
};

// Each swap notes, on the render thread, the picture it showed; the slot outlives this call, so it holds pointers.
void recordSwaps(QQuickWindow& window, RecordingSource& source, MediaSession& session, SwapRecord& record)
{
    QObject::connect(
        &window, &QQuickWindow::frameSwapped, &window,
        [source = &source, session = &session, record = &record] {
            const int64_t pts = source->takenPts.load();
            std::lock_guard lock(record->mutex);
            if (!record->recording || pts < 0 || pts == record->lastSwappedPts)
                return;
            record->lastSwappedPts = pts;
            record->shown.push_back(double(pts - session->videoClockUs()) / 1000.0);
        },
        Qt::DirectConnection);
}

// The sink in its window.
void sinkTurn(MediaSession& windowSession, SwapRecord& record)
{
    windowSession.resume();
    serveFor(300ms);
    record.setRecording(true);
    serveFor(std::chrono::duration_cast<std::chrono::milliseconds>(kTurn));
    record.setRecording(false);
    windowSession.pause();
    serveFor(50ms);
}

// The engine alone, a 16 ms consumer.
void engineTurn(MediaSession& engineSession, std::vector<double>& engineOffsets)
{
    engineSession.state() == kvr::engine::PlayerState::Paused ? engineSession.resume() : engineSession.play();
    for (const auto start = Clock::now(); Clock::now() - start < 300ms;) {
        engineSession.takeFrame(engineSession.videoClockUs(), false);
        std::this_thread::sleep_for(16ms);
    }
    for (const auto start = Clock::now(); Clock::now() - start < kTurn;) {
        if (auto frame = engineSession.takeFrame(engineSession.videoClockUs(), false))
            engineOffsets.push_back(double(frame->pts - engineSession.videoClockUs()) / 1000.0);
        std::this_thread::sleep_for(16ms);
    }
    engineSession.pause();
}

void printFigures(const std::vector<double>& shown, const std::vector<double>& engineOffsets)
{
    const double seconds = double(kRounds) * std::chrono::duration<double>(kTurn).count();
    std::printf("av_sink_median: %.1f ms\n", percentile(shown, 0.5));
    std::printf("av_sink_abs_p99: %.1f ms\n", absP99(shown));
    std::printf("av_sink_pictures: %zu of %.0f\n", shown.size(), seconds * 30);
    std::printf("av_engine_median: %.1f ms\n", percentile(engineOffsets, 0.5));
    std::printf("av_engine_abs_p99: %.1f ms\n", absP99(engineOffsets));
    std::printf("av_engine_pictures: %zu of %.0f\n", engineOffsets.size(), seconds * 30);
    std::printf(
        "av_median_difference_sink_minus_engine: %.1f ms\n", percentile(shown, 0.5) - percentile(engineOffsets, 0.5));
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QSG_RENDER_LOOP", "threaded");
    QGuiApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("KestruneBench"));
    QCoreApplication::setApplicationName(QStringLiteral("VideoSinkSyncBench"));
    spdlog::set_level(spdlog::level::err);
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
        std::fprintf(stderr, "kvr_bench_video_sink_sync: needs an X display with GLX (see the top of the source)\n");
        return 1;
    }
    const auto dir = std::filesystem::temp_directory_path() / ("kvr-sink-sync-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto clip = dir / "1080p30.mp4";
    if (!kvr::bench::makeToneClip(clip, 30, 40))
        return 1;

    MediaSession windowSession;
    MediaSessionBridge bridge;
    bridge.setSession(&windowSession);
    RecordingSource source(bridge);
    QQuickWindow window;
    window.resize(1280, 720);
    auto* sink = new VideoSink(window.contentItem());
    sink->setSize(QSizeF(1280, 720));
    sink->setFrameSource(&source);
    window.show();
    SwapRecord record;
    recordSwaps(window, source, windowSession, record);

    MediaSession engineSession;
    std::vector<double> engineOffsets;

    if (!windowSession.open(clip, 0) || !engineSession.open(clip, 0)) {
        std::fprintf(stderr, "open failed\n");
        return 1;
    }
    windowSession.play();
    sink->updateTimer();
    serveFor(1500ms);
    windowSession.pause();

    for (int round = 0; round < kRounds; ++round) {
        sinkTurn(windowSession, record);
        engineTurn(engineSession, engineOffsets);
    }
    windowSession.close();
    engineSession.close();

    std::lock_guard lock(record.mutex);
    printFigures(record.shown, engineOffsets);
    std::filesystem::remove_all(dir);
    return 0;
}
