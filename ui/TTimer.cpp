#include "TTimer.h"

TTimer::TTimer(int interval, QObject* parent, bool singleShot) : QObject(parent), IntervalMs(interval)
{
    Timer.setSingleShot(singleShot);
    // The periods are long or meant as "about": a coarse timer costs less wake-ups.
    Timer.setTimerType(Qt::CoarseTimer);
    connect(&Timer, &QTimer::timeout, this, [this] {
        if (Timer.isSingleShot())
            IsEnabled = false;
        emit Timeout();
    });
}

void TTimer::SetInterval(int interval)
{
    if (interval == IntervalMs)
        return;
    IntervalMs = interval;
    Timer.stop();
    Apply();
}

void TTimer::SetEnabled(bool enabled)
{
    if (enabled == IsEnabled)
        return;
    IsEnabled = enabled;
    Apply();
}

void TTimer::Apply()
{
    if (IsEnabled && IntervalMs > 0) {
        if (!Timer.isActive())
            Timer.start(IntervalMs);
    } else {
        Timer.stop();
    }
}
