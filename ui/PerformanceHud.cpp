#include "ui/PerformanceHud.h"

#include "ui/bridge/MediaSessionBridge.h"

#include <ctime>

namespace kvr::ui {
namespace {

std::int64_t monotonicNs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

} // namespace

PerformanceHud::PerformanceHud(QObject* parent)
    : PerformanceHud(Clock(monotonicNs), parent)
{
}

PerformanceHud::PerformanceHud(Clock clock, QObject* parent)
    : QObject(parent)
    , clock_(clock ? std::move(clock) : Clock(monotonicNs))
{
    pollStartNs_ = clock_();
    pollTimer_.setInterval(500);
    pollTimer_.setTimerType(Qt::CoarseTimer);
    connect(&pollTimer_, &QTimer::timeout, this, &PerformanceHud::onPollTimer);
    pollTimer_.start();
}

void PerformanceHud::setWindow(QQuickWindow* window)
{
    if (window_ == window)
        return;
    if (window_)
        disconnect(window_, nullptr, this, nullptr);
    window_ = window;
    if (window)
        connect(window, &QQuickWindow::frameSwapped, this, &PerformanceHud::onFrameSwapped, Qt::DirectConnection);
}

void PerformanceHud::setBridge(MediaSessionBridge* bridge)
{
    bridge_ = bridge;
}

void PerformanceHud::setVisible(bool visible)
{
    if (visible_ == visible)
        return;
    visible_ = visible;
    emit visibleChanged();
}

void PerformanceHud::toggle()
{
    visible_ = !visible_;
    emit visibleChanged();
}

void PerformanceHud::onFrameSwapped()
{
    const std::int64_t now = clock_();
    const std::int64_t previous = lastSwapNs_.exchange(now, std::memory_order_relaxed);
    if (previous != kFrameClockStopped)
        frameTimeMs_.store(double(now - previous) / 1'000'000.0, std::memory_order_relaxed);
    frameCount_.fetch_add(1, std::memory_order_relaxed);
}

void PerformanceHud::onPollTimer()
{
    const std::int64_t now = clock_();
    const std::int64_t elapsedMs = (now - pollStartNs_) / 1'000'000;
    // Read and reset in one step so a frame presented in between is counted in the next interval.
    const int frames = frameCount_.exchange(0, std::memory_order_relaxed);
    if (elapsedMs > 0)
        fps_ = double(frames) * 1000.0 / double(elapsedMs);
    pollStartNs_ = now;

    const ProcessStats::Sample sample = stats_.sample();
    cpuPercent_ = sample.cpuPercent;
    rssBytes_ = qint64(sample.rssBytes);
    emit metricsChanged();
}

} // namespace kvr::ui
