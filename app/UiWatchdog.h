#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace kvr::app {

// Reports a blocked GUI event loop: it expects a tick every 16 ms and warns when one comes more than 50 ms after
// the previous tick. Runs from construction to destruction.
class UiWatchdog : public QObject {
    Q_OBJECT

public:
    static constexpr int kTickMs = 16;
    static constexpr int kStallThresholdMs = 50;

    explicit UiWatchdog(QObject* parent = nullptr);

    // The warning for one gap between ticks; true when the gap was a stall.
    static bool reportGap(qint64 gapMs);

private:
    void onTick();

    QTimer timer;
    QElapsedTimer sinceTick;
};

} // namespace kvr::app
