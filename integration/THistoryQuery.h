#pragma once

#include "THistoryReadConnection.h"

#include "LocalTime.h"

#include <QDate>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

// One bar of a device's history: the octets of one hour, day or month.
struct THistoryBucket {
    QDate Date;     // the day; for a month its first day
    int Hour = -1;  // 0 to 23 for hours, -1 otherwise
    std::int64_t UL = 0, DL = 0;
    // Hours of real time in an hour's bucket: 2 for the hour the clock shows twice
    // when it goes back in autumn, whose rows cannot be told apart.
    int RealHours = 1;
};

// Reads a device's traffic from the history file, for the history window. Opens its
// own read-only connection on the calling thread: the file is in WAL mode, so reading
// never waits for the writer and never holds it up. Every series runs from the oldest
// bucket to the current one, without gaps (buckets without traffic are 0), and takes
// the raw, hourly and daily rows alike.
class THistoryQuery {
public:
    explicit THistoryQuery(const QString& path);

    // Empty when the file could not be read (Error() says why).
    QString Error() const { return LastError; }

    // The last 48 hours of real time, the current one included, as the local clock
    // names them: 47 buckets when one of them is the autumn's doubled hour.
    std::vector<THistoryBucket> Hourly(const std::string& ip, const std::string& mac, const TLocalTime& now);
    // The last 60 days, today included.
    std::vector<THistoryBucket> Daily(const std::string& ip, const std::string& mac, const TLocalTime& now);
    // Every billing month (from the billing day, 1 to 28, to the day before it in the
    // next month) from the first with traffic to the current one; Date is its first day.
    std::vector<THistoryBucket> Monthly(const std::string& ip, const std::string& mac, const TLocalTime& now,
                                        int billingDay = 1);

    static constexpr int Hours = 48;
    static constexpr int Days = 60;

private:
    struct TSum {
        QString Key;
        std::int64_t UL = 0, DL = 0;
    };
    std::vector<TSum> Sums(const QString& keyExpression, const std::string& ip, const std::string& mac,
                           const QString& fromDate);

    THistoryReadConnection Connection;
    QString LastError;
};
