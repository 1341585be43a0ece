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
}

// The error's number, 0 when it has none.
int MySqlErrorCode(const QSqlError& error);

// A short German name for the numbers the export knows, empty for the others.
QString MySqlErrorName(int code);

// The server's text with the number and its name, for the status line and the log:
// "Deadlock found ... (1213: Deadlock oder Konflikt im Cluster)".
QString DescribeMySqlError(const QSqlError& error);

// A transaction ended by such an error can simply be sent again.
bool IsTransactionConflict(int code);

// The connection must be opened anew before anything more is sent.
bool IsConnectionGone(int code);
