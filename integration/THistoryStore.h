#pragma once

#include "HistorySnapshot.h"

#include <QSqlDatabase>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

struct THistoryOutcome {
    bool Ok = false;
    int Rows = 0;       // traffic rows written
    QString Message;    // for the status line; empty when there is nothing to tell
};

// The local history file: SQLite through Qt's QSQLITE driver, synchronous, used by one
// thread. Table `traffic` has the columns and meaning of the database export's table
// (octets of one device since the previous write, stamped with local date and time),
// so the same queries work on both; `traffic_hourly` and `traffic_daily` hold older
// rows rolled up, in the same columns.
//
// Exactly once: the table `history_marks` keeps, per device (address and MAC), the
// totals the last write saw. A write appends the differences and moves the marks in
// one transaction, so a crash before the commit loses both and the next write takes
// the same octets again, and a crash after it has both.
class THistoryStore {
public:
    THistoryStore(QString path, QString connectionName);
    ~THistoryStore();
    THistoryStore(const THistoryStore&) = delete;
    THistoryStore& operator=(const THistoryStore&) = delete;

    // Opens or creates the file. A file SQLite calls damaged is renamed (with its
    // -wal and -shm) to SetAsidePath() and a fresh one started; the outcome then
    // carries a message and is still Ok. Not Ok when the file cannot be used at all
    // (no permission, no space): writes try to open it again.
    THistoryOutcome Open();
    bool IsOpen() const { return Opened; }

    // Appends the devices' octets since the last write. Totals lower than the mark are
    // a reset ("IP Traffic Counter auf 0 setzen"): counted from 0. In the first write
    // after Open they are a state file older than the last write instead (a crash
    // between saves): the mark moves down and nothing is written, since those octets
    // are in the file already. A device missing from the snapshot loses its mark, so
    // it counts from 0 when it comes back. Rows are written only for devices whose
    // octets changed.
    THistoryOutcome Write(const THistorySnapshot& snapshot);

    // Moves rows older than the periods into the hourly and the daily table.
    THistoryOutcome RollUp(const TLocalTime& now, int hourlyAfterDays, int dailyAfterDays);

    void Close();

    QString Path() const { return FilePath; }
    QString SetAsidePath() const { return LastSetAside; }
    // Called inside the write transaction after the rows and marks, before the commit:
    // tests end the process here to show that a crash there loses nothing.
    std::function<void()> BeforeCommit;

    // Totals last written per device, keyed by address and MAC (tests look at these).
    struct TMark {
        std::int64_t UL = 0, DL = 0;
    };
    using TMarks = std::map<std::pair<std::string, std::string>, TMark>;
    const TMarks& Marks() const { return LastMarks; }

private:
    THistoryOutcome OpenOnce(bool& damaged);
    bool SetAside(QString& message);
    THistoryOutcome WriteOnce(const THistorySnapshot& snapshot, bool& damaged);
    // The summed marks of the IPv6 rows gone since the last write, by MAC.
    std::map<std::string, TMark> JoinedIPv6Marks(const THistorySnapshot& snapshot) const;

    QString FilePath;
    QString ConnectionName;
    QString LastSetAside;
    bool Opened = false;
    bool FirstWrite = true;
    TMarks LastMarks;
};

// Date and time of day as the traffic table keeps them ("2025-03-01", "14:05:00").
QString HistoryDateText(std::int64_t serialDay);
QString HistoryTimeText(const TLocalTime& time);
