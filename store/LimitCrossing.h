#pragma once

#include "BillingPeriod.h"
#include "TLimitFile.h"

#include <cstdint>
#include <vector>

// The marks a device's use is said at, in percent of its limit.
constexpr int LimitWarningMark = 80;
constexpr int LimitReachedMark = 100;

// 0, 80 or 100: the highest mark the use has reached.
int LimitMarkOf(std::int64_t use, std::int64_t limit);
// The share used, in whole percent, rounded down (for the grid's "43 %").
int LimitPercentOf(std::int64_t use, std::int64_t limit);

// The marks the use has newly passed in the period: each is said once per period (a
// use that jumps past both says both, the lower first), again in the next period. The
// entry remembers what was said; true in changed when it was altered (to be saved).
std::vector<int> LimitCrossings(TDeviceLimit& limit, std::int64_t use, const TBillingPeriod& period, bool& changed);
