#pragma once

#include <cstdint>

// A point in local time, split into the calendar day and the time of day. Every
// operation that stamps or ages something takes one of these as an argument, so
// tests can set the clock (midnight included) and nothing reads the clock deep inside.
struct TLocalTime {
    static constexpr std::int32_t MsPerDay = 86'400'000;

    // Days since 1899-12-30, the usual serial day number of spreadsheets.
    std::int64_t Day = 0;
    // Milliseconds since local midnight, 0 <= MsOfDay < MsPerDay.
    std::int32_t MsOfDay = 0;

    double FractionOfDay() const { return static_cast<double>(MsOfDay) / MsPerDay; }
    double Serial() const { return static_cast<double>(Day) + FractionOfDay(); }

    static TLocalTime Now();
    // The local time of an instant (milliseconds since 1970 UTC) in the process's time zone.
    static TLocalTime FromUnixMs(std::int64_t ms);
    // Builds a time from a civil date and a time of day (used by tests and tools).
    static TLocalTime FromCivil(int year, int month, int day, int hour, int minute, int second, int ms = 0);
};

// How many hours of real time the local clock (the process's time zone) shows as the
// given hour of the given day: 1, but 0 for the hour it skips when it goes forward and
// 2 for the hour it shows twice when it goes back.
int ClockHourLength(std::int64_t day, int hour);
