#include "THistoryQuery.h"

#include "HistoryTables.h"
#include "BillingPeriod.h"
#include "StoreText.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <iterator>
#include <map>

namespace {
QDate DateOf(const TLocalTime& time)
{
    return QDate(1899, 12, 30).addDays(time.Day);
}
}

THistoryQuery::THistoryQuery(const QString& path) : Connection("query")
{
    QSqlDatabase db = Connection.Database();
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open())
        LastError = db.lastError().text();
}

std::vector<THistoryQuery::TSum> THistoryQuery::Sums(const QString& keyExpression, const std::string& ip,
                                                     const std::string& mac, const QString& fromDate)
{
    std::vector<TSum> sums;
    QSqlDatabase db = Connection.Database();
    if (!db.isOpen())
        return sums;
    const QString statement =
        QStringLiteral("SELECT %1, SUM(uloktets), SUM(dloktets) FROM (%2) GROUP BY 1 ORDER BY 1")
            .arg(keyExpression, AllTrafficRows(QStringLiteral("datum, zeit, uloktets, dloktets"),
                                               QStringLiteral("ip = ? AND mac = ? AND datum >= ?")));
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(statement)) {
        LastError = query.lastError().text();
        return sums;
    }
    for (std::size_t table = 0; table < std::size(TrafficTables); ++table) {
        query.addBindValue(FromStoreText(ip));
        query.addBindValue(FromStoreText(mac));
        query.addBindValue(fromDate);
    }
    if (!query.exec()) {
        LastError = query.lastError().text();
        return sums;
    }
    while (query.next())
        sums.push_back({query.value(0).toString(), query.value(1).toLongLong(), query.value(2).toLongLong()});
    return sums;
}

std::vector<THistoryBucket> THistoryQuery::Hourly(const std::string& ip, const std::string& mac, const TLocalTime& now)
{
    // Hours are counted on the local clock, as the rows carry it, back to 48 hours of
    // real time. The hour the clock skips in spring has no bucket; the hour it shows
    // twice in autumn is one bucket of two hours, since the rows name both alike.
    std::vector<THistoryBucket> buckets;
    std::int64_t day = now.Day;
    int hour = now.MsOfDay / 3'600'000;
    for (int realHours = 0, steps = 0; realHours < Hours && steps < 2 * Hours; ++steps) {
        if (const int length = ClockHourLength(day, hour); length > 0) {
            buckets.push_back({DateOf(TLocalTime{day, 0}), hour, 0, 0, length});
            realHours += length;
        }
        if (--hour < 0) {
            hour = 23;
            --day;
        }
    }
    std::reverse(buckets.begin(), buckets.end());
    std::map<QString, std::size_t> index;
    for (std::size_t k = 0; k < buckets.size(); ++k)
        index[buckets[k].Date.toString(Qt::ISODate) + QStringLiteral(" %1").arg(buckets[k].Hour, 2, 10, QLatin1Char('0'))] = k;
    for (const TSum& sum : Sums(QStringLiteral("datum || ' ' || substr(zeit, 1, 2)"), ip, mac,
                                buckets.front().Date.toString(Qt::ISODate))) {
        const auto found = index.find(sum.Key);
        if (found == index.end())
            continue;  // later than now (a clock set back)
        buckets[found->second].UL += sum.UL;
        buckets[found->second].DL += sum.DL;
    }
    return buckets;
}

std::vector<THistoryBucket> THistoryQuery::Daily(const std::string& ip, const std::string& mac, const TLocalTime& now)
{
    std::vector<THistoryBucket> buckets(Days);
    std::map<QString, std::size_t> index;
    for (int k = 0; k < Days; ++k) {
        buckets[k].Date = DateOf(now).addDays(k - (Days - 1));
        index[buckets[k].Date.toString(Qt::ISODate)] = k;
    }
    for (const TSum& sum : Sums(QStringLiteral("datum"), ip, mac, buckets.front().Date.toString(Qt::ISODate))) {
        const auto found = index.find(sum.Key);
        if (found == index.end())
            continue;
        buckets[found->second].UL += sum.UL;
        buckets[found->second].DL += sum.DL;
    }
    return buckets;
}

std::vector<THistoryBucket> THistoryQuery::Monthly(const std::string& ip, const std::string& mac, const TLocalTime& now,
                                                   int billingDay)
{
    // A month is a billing period: from the billing day to the day before it in the
    // next month, so the days are summed into the period that holds them.
    const QDate epoch(1899, 12, 30);
    auto periodStart = [&](std::int64_t day) { return epoch.addDays(BillingPeriodOf(billingDay, day).First); };
    std::vector<THistoryBucket> buckets;
    const QDate current = periodStart(now.Day);
    const std::vector<TSum> sums = Sums(QStringLiteral("datum"), ip, mac, QStringLiteral("0000-00-00"));
    std::map<QDate, std::pair<std::int64_t, std::int64_t>> byPeriod;
    QDate first = current;
    for (const TSum& sum : sums) {
        const QDate date = QDate::fromString(sum.Key, Qt::ISODate);
        if (!date.isValid())
            continue;
        const QDate start = periodStart(epoch.daysTo(date));
        first = std::min(first, start);
        byPeriod[start].first += sum.UL;
        byPeriod[start].second += sum.DL;
    }
    for (QDate month = first; month <= current; month = periodStart(BillingPeriodOf(billingDay, epoch.daysTo(month)).Last + 1)) {
        const auto found = byPeriod.find(month);
        buckets.push_back({month, -1, found == byPeriod.end() ? 0 : found->second.first,
                           found == byPeriod.end() ? 0 : found->second.second});
    }
    return buckets;
}
