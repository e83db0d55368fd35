#include "app/UiWatchdog.h"

#include <QtGlobal>

namespace kvr::app {

UiWatchdog::UiWatchdog(QObject* parent)
    : QObject(parent)
{
    timer.setInterval(kTickMs);
    timer.setSingleShot(false);
    timer.setTimerType(Qt::CoarseTimer);
    connect(&timer, &QTimer::timeout, this, &UiWatchdog::onTick);
    sinceTick.start();
    timer.start();
}

bool UiWatchdog::reportGap(qint64 gapMs)
{
    if (gapMs <= kStallThresholdMs)
        return false;
    qWarning(
        "UiWatchdog: GUI thread stalled %lldms (>%dms threshold)", static_cast<long long>(gapMs), kStallThresholdMs);
    return true;
}

void UiWatchdog::onTick()
{
    // Restarting here makes the ticks after one long stall measure from the late tick: one stall, one warning.
    reportGap(sinceTick.restart());
}

} // namespace kvr::app
