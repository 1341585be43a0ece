#include "LimitCrossing.h"

#include <climits>
#include <cstdint>

int LimitMarkOf(std::int64_t use, std::int64_t limit)
{
    if (limit <= 0)
        return 0;
    if (use >= limit)
        return LimitReachedMark;
    // use >= 80 % of limit, without multiplying a limit near the top of 64 bits.
    if (use >= limit - limit / 5)
        return LimitWarningMark;
    return 0;
}

int LimitPercentOf(std::int64_t use, std::int64_t limit)
{
    if (limit <= 0 || use <= 0)
        return 0;
    const std::int64_t whole = use / limit;
    if (whole >= 999)
        return 99'999;
    // The remainder is below the limit; a limit this large leaves room for the factor
    // only in floating point, where rounding down is then exact enough.
    const std::int64_t rest = use % limit;
    const auto part = rest <= INT64_MAX / 100 ? rest * 100 / limit
                                              : static_cast<std::int64_t>(static_cast<long double>(rest) * 100 / limit);
    return static_cast<int>(whole * 100 + part);
}

std::vector<int> LimitCrossings(TDeviceLimit& limit, std::int64_t use, const TBillingPeriod& period, bool& changed)
{
    changed = false;
    std::vector<int> crossed;
    const int mark = LimitMarkOf(use, limit.Octets);
    // What was said in an earlier period does not count in this one.
    const int said = limit.SaidPeriod == period.First ? limit.SaidLevel : 0;
    for (const int threshold : {LimitWarningMark, LimitReachedMark})
        if (mark >= threshold && said < threshold)
            crossed.push_back(threshold);
    if (!crossed.empty()) {
        limit.SaidPeriod = period.First;
        limit.SaidLevel = crossed.back();
        changed = true;
    }
    return crossed;
}
