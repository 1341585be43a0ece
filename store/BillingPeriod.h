#pragma once

#include <cstdint>

// A billing month: it begins on the provider's billing day and runs to the day before
// that day in the next month. Days are serial days (TLocalTime::Day).
struct TBillingPeriod {
    std::int64_t First = 0;
    std::int64_t Last = 0;

    bool Contains(std::int64_t day) const { return day >= First && day <= Last; }
    bool operator==(const TBillingPeriod&) const = default;
};

// The billing day is 1 to 28, so that every month has it; anything else counts as 1.
constexpr int ClampBillingDay(int startDay)
{
    return startDay < 1 || startDay > 28 ? 1 : startDay;
}

// The period that holds the day.
TBillingPeriod BillingPeriodOf(int startDay, std::int64_t day);

// Year, month and day of a serial day, and back.
struct TCivilDate {
    int Year = 1899, Month = 12, Day = 30;
    bool operator==(const TCivilDate&) const = default;
};
TCivilDate CivilDateOf(std::int64_t serialDay);
std::int64_t SerialDayOf(int year, int month, int day);
