#pragma once

#include <QString>

class QSqlError;

// The MySQL and MariaDB error numbers the export acts on, by name, and how it acts.
namespace MySqlError {
// The server undid the whole transaction to break a deadlock, or a Galera cluster
// refused it for a conflicting write on another node (certification conflict), also
// as the answer to COMMIT: nothing of it is committed, so it can be sent again.
constexpr int Deadlock = 1213;
// A lock was waited for too long; the statement (and with the server's default, only
// it) was undone. The export undoes the rest and sends the transaction again.
constexpr int LockWaitTimeout = 1205;
// The connection is no longer there (the server restarted, a node of a cluster went
// down, an idle connection was closed); nothing of an open transaction is committed.
constexpr int ServerGone = 2006;
constexpr int LostConnection = 2013;
constexpr int NoSuchTable = 1146;
constexpr int DuplicateKey = 1062;
// The connection could not be opened.
constexpr int AccessDenied = 1045;
constexpr int UnknownDatabase = 1049;
constexpr int NoLocalConnection = 2002;
constexpr int CannotConnect = 2003;
constexpr int UnknownHost = 2005;
// One value of one row was refused: empty where the column needs one, out of range,
// cut short, not a valid value or text of the column's kind, too long, without the
// row a foreign key names, or against a check the table adds (MySQL's and MariaDB's
// number for it).
constexpr int ColumnCannotBeNull = 1048;
constexpr int OutOfRange = 1264;
constexpr int DataTruncated = 1265;
constexpr int WrongValue = 1292;
constexpr int WrongValueForColumn = 1366;
constexpr int IllegalValueForType = 1367;
constexpr int DataTooLong = 1406;
constexpr int NoReferencedRow = 1452;
constexpr int CheckFailed = 3819;
constexpr int ConstraintFailed = 4025;
}

// The error's number, 0 when it has none.
int MySqlErrorCode(const QSqlError& error);

// A short German name for the numbers the export knows, empty for the others.
QString MySqlErrorName(int code);

// The server's text with the number and its name, for the status line and the log:
// "Deadlock found ... (1213: Deadlock oder Konflikt im Cluster)".
QString DescribeMySqlError(const QSqlError& error);

// The server refused one value of one row (see above, and a duplicate key): the other
// rows can still go in. A missing table or a lost connection would fail every row alike.
bool IsRowError(int code);

// A transaction ended by such an error can simply be sent again.
bool IsTransactionConflict(int code);

// The connection must be opened anew before anything more is sent.
bool IsConnectionGone(int code);
