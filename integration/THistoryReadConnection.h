#pragma once

#include <QSqlDatabase>
#include <QString>

// A connection of its own to the history file, for one reader on the calling thread.
// Qt keeps connections by name in a process-wide list; each reader gets a name no other
// reader has, so readers on several threads never share one, and the name is given
// back when the reader goes. How the file is opened (read-only, busy time-out,
// immutable) is the reader's choice.
class THistoryReadConnection {
public:
    // `kind` names the reader in the connection's name, which shows in Qt's warnings.
    explicit THistoryReadConnection(const char* kind);
    ~THistoryReadConnection();
    THistoryReadConnection(const THistoryReadConnection&) = delete;
    THistoryReadConnection& operator=(const THistoryReadConnection&) = delete;

    QSqlDatabase Database() const { return QSqlDatabase::database(Name, false); }

private:
    QString Name;
};
