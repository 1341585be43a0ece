#pragma once

// Thresholds on user ages, in units of 1/75,000 of a day (1.152 s).

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
