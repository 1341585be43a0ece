#include "HistoryTables.h"

#include <QStringList>

QString TrafficTableDefinition(const char* table, bool rolledUp)
{
    return QStringLiteral(
               "CREATE TABLE IF NOT EXISTS %1 ("
               " id INTEGER PRIMARY KEY AUTOINCREMENT, zeit TEXT NOT NULL, datum TEXT NOT NULL, device TEXT NOT NULL,"
               " uloktets INTEGER NOT NULL, dloktets INTEGER NOT NULL, porttraffic TEXT NOT NULL,"
               " mac TEXT NOT NULL, ip TEXT NOT NULL%2)")
        .arg(QString::fromUtf8(table),
             rolledUp ? QStringLiteral(", UNIQUE (datum, zeit, ip, mac, device)") : QString());
}

QString AllTrafficRows(const QString& columns, const QString& condition)
{
    QStringList parts;
    for (const char* table : TrafficTables)
        parts << QStringLiteral("SELECT %1 FROM %2 WHERE %3").arg(columns, QString::fromUtf8(table), condition);
    return parts.join(QStringLiteral(" UNION ALL "));
}
