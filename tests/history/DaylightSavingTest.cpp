// The history across the clock changes of Europe/Berlin: the spring day has 23 hours
// (02:00 CET jumps to 03:00 CEST), the autumn day 25 (03:00 CEST falls back to 02:00
// CET, so the clock shows the hour 02 twice). The rows carry the local clock, as the
// database export's do.
#include "HistorySnapshot.h"
#include "THistoryQuery.h"
#include "THistoryStore.h"
#include "TempDir.h"

#include <QDate>
#include <QDateTime>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace {
// The process's time zone for one test; the one before comes back afterwards.
class TTimeZone {
public:
    explicit TTimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            Old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TTimeZone()
    {
        if (Old)
            setenv("TZ", Old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    TTimeZone(const TTimeZone&) = delete;
    TTimeZone& operator=(const TTimeZone&) = delete;

private:
    std::optional<std::string> Old;
};

std::int64_t UnixMs(const char* utc)
{
    const QDateTime time = QDateTime::fromString(QString::fromLatin1(utc), Qt::ISODate);
    EXPECT_TRUE(time.isValid()) << utc;
    return time.toMSecsSinceEpoch();
}

QDate DateOf(const TLocalTime& time)
{
    return QDate(1899, 12, 30).addDays(time.Day);
}

// A write of the history at an instant, with what the device counted since the write
// before, and where the local clock puts it.
struct TInstant {
    const char* Utc;
    std::int64_t UL, DL;
    QDate Date;
    int Hour;
};

const TInstant Instants[] = {
    // Spring: 2026-03-29 runs from 03-28 23:00 UTC to 03-29 22:00 UTC, 23 hours.
    {"2026-03-28T22:30:00Z", 1, 10, {2026, 3, 28}, 23},
    {"2026-03-28T23:10:00Z", 2, 20, {2026, 3, 29}, 0},
    {"2026-03-29T00:55:00Z", 4, 40, {2026, 3, 29}, 1},  // 01:55 CET, the last minutes before the jump
    {"2026-03-29T01:05:00Z", 8, 80, {2026, 3, 29}, 3},  // 03:05 CEST, ten minutes later
    {"2026-03-29T21:50:00Z", 16, 160, {2026, 3, 29}, 23},
    {"2026-03-29T22:10:00Z", 32, 320, {2026, 3, 30}, 0},
    // Autumn: 2026-10-25 runs from 10-24 22:00 UTC to 10-25 23:00 UTC, 25 hours.
    {"2026-10-24T21:50:00Z", 64, 640, {2026, 10, 24}, 23},
    {"2026-10-24T22:05:00Z", 128, 1280, {2026, 10, 25}, 0},
    {"2026-10-25T00:10:00Z", 256, 2560, {2026, 10, 25}, 2},  // 02:10 CEST, the first 02 hour
    {"2026-10-25T00:50:00Z", 512, 5120, {2026, 10, 25}, 2},  // 02:50 CEST
    {"2026-10-25T01:10:00Z", 1024, 10240, {2026, 10, 25}, 2},  // 02:10 CET, the second 02 hour
    {"2026-10-25T01:55:00Z", 2048, 20480, {2026, 10, 25}, 2},  // 02:55 CET
    {"2026-10-25T02:05:00Z", 4096, 40960, {2026, 10, 25}, 3},
    {"2026-10-25T22:55:00Z", 8192, 81920, {2026, 10, 25}, 23},
    {"2026-10-25T23:05:00Z", 16384, 163840, {2026, 10, 26}, 0},
};

struct TSums {
    std::int64_t UL = 0, DL = 0;
};

// The octets of the instants per local date.
std::map<QDate, TSums> ExpectedDays()
{
    std::map<QDate, TSums> days;
    for (const TInstant& instant : Instants) {
        days[instant.Date].UL += instant.UL;
        days[instant.Date].DL += instant.DL;
    }
    return days;
}

void ExpectDaysRight(THistoryQuery& query, const std::string& ip, const std::string& mac)
{
    const TLocalTime lastDay = TLocalTime::FromCivil(2026, 10, 26, 12, 0, 0);
    const std::vector<THistoryBucket> daily = query.Daily(ip, mac, lastDay);
    std::map<QDate, TSums> shown;
    for (const THistoryBucket& day : daily)
        shown[day.Date] = {day.UL, day.DL};
    for (const auto& [date, sums] : ExpectedDays()) {
        SCOPED_TRACE(date.toString(Qt::ISODate).toStdString());
        if (date < daily.front().Date)
            continue;  // the spring days are older than the 60 days shown
        EXPECT_EQ(shown[date].UL, sums.UL);
        EXPECT_EQ(shown[date].DL, sums.DL);
    }
    const TLocalTime springDay = TLocalTime::FromCivil(2026, 3, 30, 12, 0, 0);
    std::map<QDate, TSums> spring;
    for (const THistoryBucket& day : query.Daily(ip, mac, springDay))
        spring[day.Date] = {day.UL, day.DL};
    for (const QDate date : {QDate(2026, 3, 28), QDate(2026, 3, 29), QDate(2026, 3, 30)}) {
        SCOPED_TRACE(date.toString(Qt::ISODate).toStdString());
        EXPECT_EQ(spring[date].UL, ExpectedDays()[date].UL);
        EXPECT_EQ(spring[date].DL, ExpectedDays()[date].DL);
    }
}

// The hour table at a local time: 48 hours of real time, one bucket per hour the
// clock shows, each with the octets of its instants, none lost, none twice.
void ExpectHoursRight(THistoryQuery& query, const std::string& ip, const std::string& mac, const char* nowUtc,
                      std::size_t buckets, std::optional<QDate> doubledHourOn)
{
    SCOPED_TRACE(nowUtc);
    const std::vector<THistoryBucket> hourly = query.Hourly(ip, mac, TLocalTime::FromUnixMs(UnixMs(nowUtc)));
    ASSERT_EQ(hourly.size(), buckets);
    int realHours = 0;
    std::set<std::pair<QDate, int>> keys;
    for (const THistoryBucket& bucket : hourly) {
        EXPECT_TRUE(keys.insert({bucket.Date, bucket.Hour}).second) << "one bucket per clock hour";
        EXPECT_EQ(bucket.RealHours, doubledHourOn && bucket.Date == *doubledHourOn && bucket.Hour == 2 ? 2 : 1)
            << bucket.Date.toString(Qt::ISODate).toStdString() << " " << bucket.Hour;
        EXPECT_FALSE(bucket.Date == QDate(2026, 3, 29) && bucket.Hour == 2) << "02:00 to 03:00 on 29 March never was";
        realHours += bucket.RealHours;
    }
    EXPECT_EQ(realHours, THistoryQuery::Hours);
    for (const THistoryBucket& bucket : hourly) {
        TSums inBucket;
        for (const TInstant& instant : Instants)
            if (instant.Date == bucket.Date && instant.Hour == bucket.Hour) {
                inBucket.UL += instant.UL;
                inBucket.DL += instant.DL;
            }
        EXPECT_EQ(bucket.UL, inBucket.UL) << bucket.Date.toString(Qt::ISODate).toStdString() << " " << bucket.Hour;
        EXPECT_EQ(bucket.DL, inBucket.DL) << bucket.Date.toString(Qt::ISODate).toStdString() << " " << bucket.Hour;
    }
}
}

// Where the clock puts each instant, and how long each hour of the two days is.
TEST(DaylightSaving, LocalClockOfTheInstants)
{
    const TTimeZone berlin("Europe/Berlin");
    for (const TInstant& instant : Instants) {
        SCOPED_TRACE(instant.Utc);
        const TLocalTime local = TLocalTime::FromUnixMs(UnixMs(instant.Utc));
        EXPECT_EQ(DateOf(local), instant.Date);
        EXPECT_EQ(local.MsOfDay / 3'600'000, instant.Hour);
    }
    const struct {
        QDate Date;
        int Hour, Length;
    } hours[] = {
        {{2026, 3, 29}, 1, 1},  {{2026, 3, 29}, 2, 0},  {{2026, 3, 29}, 3, 1},  {{2026, 10, 25}, 1, 1},
        {{2026, 10, 25}, 2, 2}, {{2026, 10, 25}, 3, 1}, {{2026, 10, 26}, 2, 1}, {{2026, 7, 1}, 2, 1},
    };
    for (const auto& hour : hours) {
        SCOPED_TRACE(hour.Date.toString(Qt::ISODate).toStdString() + " " + std::to_string(hour.Hour));
        const TLocalTime day = TLocalTime::FromCivil(hour.Date.year(), hour.Date.month(), hour.Date.day(), 0, 0, 0);
        EXPECT_EQ(ClockHourLength(day.Day, hour.Hour), hour.Length);
    }
    for (const QDate date : {QDate(2026, 3, 29), QDate(2026, 10, 25), QDate(2026, 7, 1)}) {
        const TLocalTime day = TLocalTime::FromCivil(date.year(), date.month(), date.day(), 0, 0, 0);
        int length = 0;
        for (int hour = 0; hour < 24; ++hour)
            length += ClockHourLength(day.Day, hour);
        EXPECT_EQ(length, date.month() == 3    ? 23
                          : date.month() == 10 ? 25
                                               : 24)
            << date.toString(Qt::ISODate).toStdString();
    }
}

// Writes at every instant of the table: each day's sum is the octets of its instants,
// the 23-hour day has no hour 02, the 25-hour day one hour 02 of two real hours with
// the octets of both, and the 48 hours shown are 48 real hours. The same after the
// rows are rolled up to hours.
TEST(DaylightSaving, HoursAndDaysAcrossBothSwitches)
{
    const TTimeZone berlin("Europe/Berlin");
    TTempDir dir;
    const QString path = QString::fromStdString(dir.File("h.sqlite"));
    const std::string ip = "192.168.1.9", mac = "02:00:00:00:00:09";
    THistorySnapshot snapshot;
    snapshot.Devices.push_back({ip, mac, "eth0", 0, 0});
    {
        THistoryStore store(path, QStringLiteral("dst"));
        ASSERT_TRUE(store.Open().Ok);
        snapshot.At = TLocalTime::FromUnixMs(UnixMs("2026-03-01T12:00:00Z"));
        ASSERT_TRUE(store.Write(snapshot).Ok);  // begins
        for (const TInstant& instant : Instants) {
            snapshot.Devices[0].UL += instant.UL;
            snapshot.Devices[0].DL += instant.DL;
            snapshot.At = TLocalTime::FromUnixMs(UnixMs(instant.Utc));
            ASSERT_TRUE(store.Write(snapshot).Ok) << instant.Utc;
        }
    }
    for (const bool rolledUp : {false, true}) {
        SCOPED_TRACE(rolledUp ? "rolled up to hours" : "as written");
        if (rolledUp) {
            THistoryStore store(path, QStringLiteral("dst-rollup"));
            ASSERT_TRUE(store.Open().Ok);
            ASSERT_TRUE(store.RollUp(TLocalTime::FromCivil(2026, 12, 1, 0, 0, 0), 1, 365).Ok);
        }
        THistoryQuery query(path);
        ExpectDaysRight(query, ip, mac);
        // Late on the 23-hour day, the day after it, late on the 25-hour day and the
        // day after that.
        ExpectHoursRight(query, ip, mac, "2026-03-29T21:55:00Z", 48, std::nullopt);
        ExpectHoursRight(query, ip, mac, "2026-03-30T12:30:00Z", 48, std::nullopt);
        ExpectHoursRight(query, ip, mac, "2026-10-25T22:58:00Z", 47, QDate(2026, 10, 25));
        ExpectHoursRight(query, ip, mac, "2026-10-26T12:30:00Z", 47, QDate(2026, 10, 25));
        // The hour 02 of the 25-hour day holds the writes of both.
        const std::vector<THistoryBucket> hourly =
            query.Hourly(ip, mac, TLocalTime::FromUnixMs(UnixMs("2026-10-25T22:58:00Z")));
        const auto two = std::find_if(hourly.begin(), hourly.end(), [](const THistoryBucket& bucket) {
            return bucket.Date == QDate(2026, 10, 25) && bucket.Hour == 2;
        });
        ASSERT_NE(two, hourly.end());
        EXPECT_EQ(two->UL, 256 + 512 + 1024 + 2048);
    }
}
