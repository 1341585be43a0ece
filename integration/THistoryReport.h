#pragma once

#include "THistoryReadConnection.h"

#include <QString>

#include <cstdint>
#include <vector>

class QSqlError;

// One line of a report: a device's octets on one day, or summed over the period.
struct THistoryReportRow {
    QString From, To;  // "yyyy-MM-dd"; the same day for a row per day
    QString IP, MAC;
    std::int64_t UL = 0, DL = 0;
};

// Reads the devices' traffic per day from the history file for a report. The file is
// opened read-only and never created, nor anything beside it: a collector may be
// writing it (WAL mode, so reading does not hold it up; a write in progress is waited
// for). A device is its
// address and MAC, as in the history window. Dates are "yyyy-MM-dd", both ends included.
class THistoryReport {
public:
    explicit THistoryReport(const QString& path);

    // Why the file could not be read; empty while all is well.
    QString Error() const { return LastError; }

    // The first day with traffic; empty when the file has none.
    QString FirstDay();
    // One row per device and day with traffic, by day, then address and MAC.
    std::vector<THistoryReportRow> Days(const QString& from, const QString& to);
    // One row per device with traffic in the period, by address and MAC.
    std::vector<THistoryReportRow> Summed(const QString& from, const QString& to);

private:
    std::vector<THistoryReportRow> Rows(bool summed, const QString& from, const QString& to);
    void Fail(const QSqlError& error);

    QString FilePath;
    THistoryReadConnection Connection;
    QString LastError;
};
