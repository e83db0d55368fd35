#pragma once

#include "ui/ProcessStats.h"

#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>

namespace kvr::ui {

class MediaSessionBridge;

// Measures how smoothly the main window renders (frames per second, time between the last two presented
// frames) and what the process consumes (CPU load, resident memory). It measures from construction on;
// `visible` only tells QML whether to draw the overlay.
class PerformanceHud : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The performance overlay is provided by the application.")
    Q_PROPERTY(bool visible READ visible WRITE setVisible NOTIFY visibleChanged)
    Q_PROPERTY(double fps READ fps NOTIFY metricsChanged)
    Q_PROPERTY(double frameTimeMs READ frameTimeMs NOTIFY metricsChanged)
    Q_PROPERTY(double cpuPercent READ cpuPercent NOTIFY metricsChanged)
    Q_PROPERTY(qint64 rssBytes READ rssBytes NOTIFY metricsChanged)

public:
    // Monotonic time in nanoseconds; called on the GUI thread and on the render thread.
    using Clock = std::function<std::int64_t()>;

    explicit PerformanceHud(QObject* parent = nullptr);
    // For tests: the clock is fixed for the object's whole life.
    explicit PerformanceHud(Clock clock, QObject* parent = nullptr);

    void setWindow(QQuickWindow* window);
    // Nothing here reads the player; the reference is only kept.
    void setBridge(MediaSessionBridge* bridge);

    bool visible() const { return visible_; }
    void setVisible(bool visible);
    double fps() const { return fps_; }
    double frameTimeMs() const { return frameTimeMs_.load(std::memory_order_relaxed); }
    double cpuPercent() const { return cpuPercent_; }
    qint64 rssBytes() const { return rssBytes_; }

    Q_INVOKABLE void toggle();

signals:
    void visibleChanged();
    void metricsChanged();

private slots:
    // Runs on the thread that presents the frame (the render thread under the threaded render loop).
    void onFrameSwapped();
    void onPollTimer();

private:
    static constexpr std::int64_t kFrameClockStopped = std::numeric_limits<std::int64_t>::min();

    const Clock clock_;
    QPointer<MediaSessionBridge> bridge_;
    QPointer<QQuickWindow> window_;
    bool visible_ = false;
    QTimer pollTimer_;
    std::int64_t pollStartNs_ = 0; // GUI thread only

    // Shared with the render thread.
    std::atomic<int> frameCount_ { 0 };
    std::atomic<std::int64_t> lastSwapNs_ { kFrameClockStopped };
    std::atomic<double> frameTimeMs_ { 0.0 };

    double fps_ = 0.0;
    double cpuPercent_ = 0.0;
    qint64 rssBytes_ = 0;
    ProcessStats stats_;
};

} // namespace kvr::ui
