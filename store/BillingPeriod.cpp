#include "BillingPeriod.h"

#include <chrono>

namespace {
// Days between 1899-12-30 and 1970-01-01.
constexpr std::int64_t SerialOfUnixEpoch = 25569;
}

TCivilDate CivilDateOf(std::int64_t serialDay)
{
    using namespace std::chrono;
    const year_month_day date{sys_days{days{serialDay - SerialOfUnixEpoch}}};
    return {static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
            static_cast<int>(static_cast<unsigned>(date.day()))};
}

std::int64_t SerialDayOf(int year, int month, int day)
{
    using namespace std::chrono;
    const sys_days date = year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
    return date.time_since_epoch().count() + SerialOfUnixEpoch;
}

TBillingPeriod BillingPeriodOf(int startDay, std::int64_t day)
{
    startDay = ClampBillingDay(startDay);
    const TCivilDate date = CivilDateOf(day);
    int year = date.Year;
    int month = date.Month;
    // Before the billing day the period began in the month before.
    if (date.Day < startDay && --month == 0) {
        month = 12;
        --year;
    }
    TBillingPeriod period;
    period.First = SerialDayOf(year, month, startDay);
    if (++month == 13) {
        month = 1;
        ++year;
    }
    period.Last = SerialDayOf(year, month, startDay) - 1;
    return period;
}
