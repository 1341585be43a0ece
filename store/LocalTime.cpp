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

TLocalTime TLocalTime::Now()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&secs, &local);
    const auto ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    return FromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                     local.tm_sec >= 60 ? 59 : local.tm_sec, ms < 0 ? 0 : ms);
}
