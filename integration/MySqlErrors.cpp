#include "MySqlErrors.h"

#include <QSqlError>

int MySqlErrorCode(const QSqlError& error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code : 0;
}

QString MySqlErrorName(int code)
{
    switch (code) {
    case MySqlError::Deadlock:
        return QStringLiteral("Deadlock oder Konflikt im Cluster");
    case MySqlError::LockWaitTimeout:
        return QStringLiteral("Wartezeit auf eine Sperre überschritten");
    case MySqlError::ServerGone:
        return QStringLiteral("Server nicht mehr verbunden");
    case MySqlError::LostConnection:
        return QStringLiteral("Verbindung während der Abfrage verloren");
    case MySqlError::NoSuchTable:
        return QStringLiteral("Tabelle fehlt");
    case MySqlError::DuplicateKey:
        return QStringLiteral("doppelter Schlüssel");
    case MySqlError::AccessDenied:
        return QStringLiteral("Anmeldung abgewiesen");
    case MySqlError::UnknownDatabase:
        return QStringLiteral("Datenbank unbekannt");
    case MySqlError::NoLocalConnection:
    case MySqlError::CannotConnect:
        return QStringLiteral("Server nicht erreichbar");
    case MySqlError::UnknownHost:
        return QStringLiteral("Servername unbekannt");
    default:
        return {};
    }
}

QString DescribeMySqlError(const QSqlError& error)
{
    const int code = MySqlErrorCode(error);
    const QString name = MySqlErrorName(code);
    if (name.isEmpty())
        return error.text();
    return QStringLiteral("%1 (%2: %3)").arg(error.text()).arg(code).arg(name);
}

bool IsRowError(int code)
{
    using namespace MySqlError;
    switch (code) {
    case ColumnCannotBeNull:
    case DuplicateKey:
    case OutOfRange:
    case DataTruncated:
    case WrongValue:
    case WrongValueForColumn:
    case IllegalValueForType:
    case DataTooLong:
    case NoReferencedRow:
    case CheckFailed:
    case ConstraintFailed:
        return true;
    default:
        return false;
    }
}

bool IsTransactionConflict(int code)
{
    return code == MySqlError::Deadlock || code == MySqlError::LockWaitTimeout;
}

bool IsConnectionGone(int code)
{
    return code == MySqlError::ServerGone || code == MySqlError::LostConnection;
}
