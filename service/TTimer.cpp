#include "TTimer.h"

TTimer::TTimer(int interval, QObject* parent, bool singleShot) : QObject(parent), IntervalMs(interval)
{
    Timer.setSingleShot(singleShot);
    // The periods are given to the millisecond (57,254 ms for the state file): a coarse
    // timer would round a period of 20 s or more to whole seconds and fire at 57 s.
    Timer.setTimerType(Qt::PreciseTimer);
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
