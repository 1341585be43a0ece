#include "THistoryReport.h"

#include "HistoryTables.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

#include <iterator>

THistoryReport::THistoryReport(const QString& path) : FilePath(path), Connection("report")
{
    QSqlDatabase db = Connection.Database();
    if (!QFileInfo(path).isFile()) {
        LastError = QStringLiteral("Verlauf-Datei %1 nicht gefunden").arg(path);
        return;
    }
    if (QFileInfo::exists(path + QStringLiteral("-wal"))) {
        // A collector has the file open (or ended without closing it): its write-ahead
        // log holds rows too and is read with the file, sharing its -shm.
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
    } else {
        // Nobody has it open, so every row is in the file itself. Read as immutable:
        // otherwise SQLite would create a -wal and -shm beside it and leave them there,
        // owned by whoever ran the report, and could not read from a folder it may
        // not write to.
        QUrl url = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
        url.setQuery(QStringLiteral("mode=ro&immutable=1"));
        db.setDatabaseName(url.toString(QUrl::FullyEncoded));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
    }
    if (!db.open())
        Fail(db.lastError());
}

QString THistoryReport::FirstDay()
{
    QSqlDatabase db = Connection.Database();
    if (!LastError.isEmpty())
        return {};
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT MIN(datum) FROM (%1)")
                        .arg(AllTrafficRows(QStringLiteral("datum"), QStringLiteral("1"))))
        || !query.next()) {
        Fail(query.lastError());
        return {};
    }
    return query.value(0).toString();
}

void THistoryReport::Fail(const QSqlError& error)
{
    LastError = QStringLiteral("Verlauf-Datei %1: %2").arg(FilePath, error.text());
}

std::vector<THistoryReportRow> THistoryReport::Days(const QString& from, const QString& to)
{
    return Rows(false, from, to);
}

std::vector<THistoryReportRow> THistoryReport::Summed(const QString& from, const QString& to)
{
    return Rows(true, from, to);
}

std::vector<THistoryReportRow> THistoryReport::Rows(bool summed, const QString& from, const QString& to)
{
    std::vector<THistoryReportRow> rows;
    if (!LastError.isEmpty())
        return rows;
    QSqlDatabase db = Connection.Database();
    const QString key = summed ? QStringLiteral("ip, mac") : QStringLiteral("datum, ip, mac");
    const QString statement =
        QStringLiteral("SELECT MIN(datum), MAX(datum), ip, mac, SUM(uloktets), SUM(dloktets) FROM (%1)"
                       " GROUP BY %2 ORDER BY %2")
            .arg(AllTrafficRows(QStringLiteral("datum, ip, mac, uloktets, dloktets"),
                                QStringLiteral("datum >= ? AND datum <= ?")),
                 key);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(statement)) {
        Fail(query.lastError());
        return rows;
    }
    for (std::size_t table = 0; table < std::size(TrafficTables); ++table) {
        query.addBindValue(from);
        query.addBindValue(to);
    }
    if (!query.exec()) {
        Fail(query.lastError());
        return rows;
    }
    while (query.next()) {
        THistoryReportRow row{query.value(0).toString(), query.value(1).toString(),   query.value(2).toString(),
                              query.value(3).toString(), query.value(4).toLongLong(), query.value(5).toLongLong()};
        if (summed) {
            // The period asked for, not the days the device happened to have traffic.
            row.From = from;
            row.To = to;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}
