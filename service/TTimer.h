#pragma once

#include <QObject>
#include <QTimer>

// A timer with the habits the windows rely on, which QTimer lacks: an interval of 0
// never fires (QTimer would fire on every idle pass), enabling a running timer does
// not restart it, and setting the interval it already has changes nothing. Setting
// another interval on a running timer starts its period anew.
class TTimer : public QObject {
    Q_OBJECT
public:
    explicit TTimer(int interval, QObject* parent = nullptr, bool singleShot = false);

    int Interval() const { return IntervalMs; }
    void SetInterval(int interval);
    bool Enabled() const { return IsEnabled; }
    void SetEnabled(bool enabled);
    // Running means a tick is due; an enabled timer with interval 0 does not run.
    bool Running() const { return Timer.isActive(); }
    // Whether the period is kept to the millisecond rather than rounded by the system.
    bool Precise() const { return Timer.timerType() == Qt::PreciseTimer; }

signals:
    void Timeout();

private:
    void Apply();

    QTimer Timer;
    int IntervalMs;
    bool IsEnabled = false;
};
