#include "THistoryPeriodReader.h"

#include "StoreText.h"
#include "THistoryStore.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {
std::string FromBytes(const QVariant& value)
{
    const QByteArray bytes = value.toByteArray();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool HasTable(QSqlDatabase& db, const QString& name)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = ?"));
    query.addBindValue(name);
    return query.exec() && query.next() && query.value(0).toInt() > 0;
}
}

THistoryPeriodReader::THistoryPeriodReader(const QString& path) : Connection("period")
{
    QSqlDatabase db = Connection.Database();
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
    // A file not there yet is an empty history, not something to create here.
    if (QFile::exists(path) && !db.open())
        LastError = db.lastError().text();
}

bool THistoryPeriodReader::PeriodUse(const std::set<std::string>& macs, std::int64_t firstDay, std::int64_t lastDay,
                                     std::map<std::string, THistoryPeriodUse>& use)
{
    use.clear();
    QSqlDatabase db = Connection.Database();
    if (!db.isOpen())
        return LastError.isEmpty();
    if (!HasTable(db, QStringLiteral("history_marks")))
        return true;
    // One read transaction: the bookings and the marks of the same write.
    if (!db.transaction()) {
        LastError = db.lastError().text();
        return false;
    }
    bool ok = true;
    {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        const QString part = QStringLiteral("SELECT mac, uloktets + dloktets AS octets FROM %1 WHERE datum BETWEEN ? AND ?");
        ok = query.prepare(QStringLiteral("SELECT mac, SUM(octets) FROM (%1 UNION ALL %2 UNION ALL %3) GROUP BY mac")
                               .arg(part.arg(QStringLiteral("traffic")), part.arg(QStringLiteral("traffic_hourly")),
                                    part.arg(QStringLiteral("traffic_daily"))));
        const QString first = HistoryDateText(firstDay);
        const QString last = HistoryDateText(lastDay);
        for (int i = 0; i < 3; ++i) {
            query.addBindValue(first);
            query.addBindValue(last);
        }
        // The traffic table keeps the MAC as text; the limits know it as the store's bytes.
        std::map<QString, std::string> byText;
        for (const std::string& mac : macs)
            byText[FromStoreText(mac)] = mac;
        if (ok && (ok = query.exec()))
            while (query.next())
                if (const auto found = byText.find(query.value(0).toString()); found != byText.end())
                    use[found->second].Booked += query.value(1).toLongLong();
        if (!ok)
            LastError = query.lastError().text();
    }
    if (ok) {
        QSqlQuery marks(db);
        marks.setForwardOnly(true);
        if ((ok = marks.exec(QStringLiteral("SELECT ip, mac, uloktets + dloktets FROM history_marks"))))
            while (marks.next())
                if (std::string mac = FromBytes(marks.value(1)); macs.count(mac) > 0)
                    use[mac].Marks[FromBytes(marks.value(0))] = marks.value(2).toLongLong();
        if (!ok)
            LastError = marks.lastError().text();
    }
    db.commit();
    return ok;
}

bool THistoryPeriodReader::KnownMacs(std::set<std::string>& macs)
{
    QSqlDatabase db = Connection.Database();
    if (!db.isOpen())
        return LastError.isEmpty();
    if (!HasTable(db, QStringLiteral("known_macs")))
        return true;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT mac FROM known_macs"))) {
        LastError = query.lastError().text();
        return false;
    }
    while (query.next())
        macs.insert(FromBytes(query.value(0)));
    return true;
}
