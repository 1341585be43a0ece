#pragma once

#include "LocalTime.h"

#include <cstdint>
#include <string>
#include <vector>

class TDaten;

// One device as the local history sees it: a user row, known by address and MAC, with
// its running totals. The history writes the difference to what it saw last time.
struct THistoryDevice {
    std::string IP, MAC, Device;
    std::int64_t UL = 0, DL = 0;
};

// The user table's totals at one moment, copied on the thread that owns the store,
// so the file work can run elsewhere while the store goes on counting.
struct THistorySnapshot {
    TLocalTime At;
    std::vector<THistoryDevice> Devices;
    // False when Devices is not the whole table (a write of departed rows only): devices
    // missing from it keep their marks.
    bool WholeTable = true;
    // Rows whose totals left the table before Devices was taken (replaced, removed, or
    // set to 0), one per address and MAC with their totals summed: what each had
    // beyond its mark is booked, and a row of the same device in Devices began from 0.
    std::vector<THistoryDevice> Departed;
    // Rows older than this many days are rolled up to hours, then to days.
    int HourlyAfterDays = 90;
    int DailyAfterDays = 365;
};

// Takes every user row's totals (UserUL/UserDL: the interval counters belong to the
// database export, which takes from them on its own schedule). A damaged total raises
// EConvertError.
THistorySnapshot BuildHistorySnapshot(const TDaten& daten, const TLocalTime& now);
