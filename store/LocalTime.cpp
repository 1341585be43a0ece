#include "LocalTime.h"

#include <chrono>
#include <ctime>

namespace {
// Days between 1899-12-30 and 1970-01-01.
constexpr std::int64_t SerialOfUnixEpoch = 25569;
}

TLocalTime TLocalTime::FromCivil(int year, int month, int day, int hour, int minute, int second, int ms)
{
    using namespace std::chrono;
    const sys_days date = year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
    TLocalTime t;
    t.Day = date.time_since_epoch().count() + SerialOfUnixEpoch;
    t.MsOfDay = ((hour * 60 + minute) * 60 + second) * 1000 + ms;
    return t;
}

TLocalTime TLocalTime::FromUnixMs(std::int64_t ms)
{
    const std::int64_t msOfSecond = ((ms % 1000) + 1000) % 1000;
    const std::time_t secs = static_cast<std::time_t>((ms - msOfSecond) / 1000);
    std::tm local{};
    localtime_r(&secs, &local);
    return FromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                     local.tm_sec >= 60 ? 59 : local.tm_sec, static_cast<int>(msOfSecond));
}

TLocalTime TLocalTime::Now()
{
    using namespace std::chrono;
    return FromUnixMs(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

int ClockHourLength(std::int64_t day, int hour)
{
    // The clock shows this hour at the instants its civil time, read as UTC, minus the
    // zone's offset; offsets lie between -12 and +14 hours. Counted in quarter hours,
    // the finest step any zone's offset takes.
    constexpr std::int64_t Quarter = 900;
    const std::int64_t asUtc = (day - SerialOfUnixEpoch) * 86'400 + std::int64_t{hour} * 3'600;
    int quarters = 0;
    for (std::int64_t t = asUtc - 15 * 3'600; t < asUtc + 13 * 3'600; t += Quarter) {
        const std::time_t secs = static_cast<std::time_t>(t);
        std::tm local{};
        localtime_r(&secs, &local);
        if (local.tm_hour == hour
            && TLocalTime::FromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, 0, 0, 0).Day == day)
            ++quarters;
    }
    return (quarters + 2) / 4;
}
