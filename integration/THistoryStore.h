#pragma once

#include "HistorySnapshot.h"

#include <QSqlDatabase>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

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
//
// A history begins with marks, not with a booking: the first write into a new file
// (none there, or a damaged one set aside when opening) books nothing and marks the
// totals the devices had, which are traffic of before the history. A file that is
// set aside or vanishes while the program runs is begun anew from the marks of the
// last write, so the octets since then are booked once, in the new file.
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
    // a reset: counted from 0. In the first write after Open they are a state file
    // older than the last write instead (a crash between saves): the mark moves down and
    // nothing is written, since those octets are in the file already. A device missing
    // from a whole-table snapshot loses its mark, so it counts from 0 when it comes
    // back; so does a departed row. Rows are written only for devices whose octets
    // changed, one per device. A file that vanished (deleted or replaced under its
    // name) since it was opened is noticed here and begun anew, with a message.
    THistoryOutcome Write(const THistorySnapshot& snapshot);

    // Moves rows older than the periods into the hourly and the daily table.
    THistoryOutcome RollUp(const TLocalTime& now, int hourlyAfterDays, int dailyAfterDays);

    // Adds MACs to those the file has seen announce themselves (table known_macs).
    THistoryOutcome RememberMacs(const std::vector<std::string>& macs, const TLocalTime& at);

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
    // A fresh file opened while the program runs takes over the marks of the last
    // write to the file before it.
    void ContinueFrom(TMarks marks);
    // True when the path no longer names the file that was opened.
    bool Vanished() const;
    THistoryOutcome WriteOnce(const THistorySnapshot& snapshot, bool& damaged);
    // The summed marks of the IPv6 rows gone since the last write, by MAC.
    std::map<std::string, TMark> JoinedIPv6Marks(const THistorySnapshot& snapshot) const;

    QString FilePath;
    QString ConnectionName;
    QString LastSetAside;
    bool Opened = false;
    bool FirstWrite = true;
    // The file had no marks table when it was opened: its first write only marks.
    bool Begins = false;
    // The marks are not in the file yet (a file begun anew from the last write's marks).
    bool WriteAllMarks = false;
    // The opened file's identity, to notice it vanishing.
    std::uint64_t FileDevice = 0, FileInode = 0;
    TMarks LastMarks;
};

// Date and time of day as the traffic table keeps them ("2025-03-01", "14:05:00").
QString HistoryDateText(std::int64_t serialDay);
QString HistoryTimeText(const TLocalTime& time);
