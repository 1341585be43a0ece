#include "THistoryReadConnection.h"

#include <QAtomicInteger>

THistoryReadConnection::THistoryReadConnection(const char* kind)
{
    static QAtomicInteger<int> counter;
    Name = QStringLiteral("vexal-history-%1-%2").arg(QLatin1String(kind)).arg(counter.fetchAndAddRelaxed(1));
    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Name);
}

THistoryReadConnection::~THistoryReadConnection()
{
    {
        QSqlDatabase db = QSqlDatabase::database(Name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(Name);
}
