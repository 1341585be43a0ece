#pragma once

#include <string>

class TDaten;
struct TLocalTime;

// Thresholds on user ages, in units of 1/75,000 of a day (1.152 s). They are rules of
// the store, not of the window: the export and the metrics read the online status as
// the grid shows it, with or without a window.

// Colour band of the user grid by the age of the last flow: 0 below 10, 1 below 30,
// 2 below 60, 3 below 600, 4 (the grid's own colour) from 600 on.
inline int FlowAgeBand(double flowAge)
{
    if (flowAge < 10)
        return 0;
    if (flowAge < 30)
        return 1;
    if (flowAge < 60)
        return 2;
    if (flowAge < 600)
        return 3;
    return 4;
}

// Online while the last announcement is at most 120 units (138.24 s) old.
inline bool OnlineByAge(double macAge)
{
    return macAge <= 120;
}

// The text UserStatus holds: "1" online, "0" offline.
inline const char* OnlineStatusText(bool online)
{
    return online ? "1" : "0";
}

// Writes every user's UserStatus from the age of its last announcement, in store order,
// as the window's display tick does. A damaged stamp raises its error at that user,
// after the statuses before it were written. A program without a window runs this on
// its own timer.
void ApplyOnlineRule(TDaten& daten, const TLocalTime& now);
