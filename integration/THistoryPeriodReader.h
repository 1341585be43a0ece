#pragma once

#include "THistoryReadConnection.h"

#include <QString>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

// What the history file holds of one device (by MAC) in a billing period: the octets
// booked there, and the totals of its rows that the last write saw (the marks), by
// address. Booked plus what a row counted beyond its mark is the use of the period.
struct THistoryPeriodUse {
    std::int64_t Booked = 0;
    std::map<std::string, std::int64_t> Marks;  // address -> UL + DL at the last write
};

// Reads the history file on the calling thread, over a read-only connection of its own
// (the file is in WAL mode: the writer is never held up, and one read transaction sees
// the bookings and the marks of the same write).
class THistoryPeriodReader {
public:
    explicit THistoryPeriodReader(const QString& path);

    // Days as serial days (TLocalTime::Day), both included. False when the file could
    // not be read (Error() says why); a file without a history yet reads as empty.
    bool PeriodUse(const std::set<std::string>& macs, std::int64_t firstDay, std::int64_t lastDay,
                   std::map<std::string, THistoryPeriodUse>& use);
    // Every MAC the history has seen announce itself (the new-device alert).
    bool KnownMacs(std::set<std::string>& macs);

    QString Error() const { return LastError; }

private:
    THistoryReadConnection Connection;
    QString LastError;
};
