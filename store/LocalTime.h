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
    // Builds a time from a civil date and a time of day (used by tests and tools).
    static TLocalTime FromCivil(int year, int month, int day, int hour, int minute, int second, int ms = 0);
};
