#pragma once

#include "HistorySnapshot.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class THistoryStore;

// The local history "vexal-history.sqlite": snapshots taken on the thread that owns the
// store are written on a worker thread of its own, one transaction each, in the order
// they were recorded; older rows are rolled up after each write. What went wrong (a
// damaged file set aside, a write that failed) comes back as Message on the thread that
// created this object; a failed write loses nothing, the next one takes its octets.
//
// The work waiting for the worker is one write at most: whatever is recorded or departs
// while it waits joins it (the newer table replaces the older, departed rows add up per
// device), so a flood of replacements costs a sum per device, never a queue of tables.
class TLocalHistory : public QObject {
    Q_OBJECT
public:
    static constexpr const char* DefaultFileName = "vexal-history.sqlite";
    static constexpr int WriteIntervalMs = 5 * 60 * 1000;
    // Departed devices waiting for a write are written by themselves from this many on;
    // from four times as many the thread that departs them waits for the file.
    static constexpr std::size_t DepartedWriteAt = 4096;
    static constexpr std::size_t DepartedWaitAt = 4 * DepartedWriteAt;

    // Rows older than this many days are rolled up to hours, then to days; taken into
    // each snapshot recorded afterwards.
    int HourlyAfterDays = 90;
    int DailyAfterDays = 365;

    // Opens (or creates) the file on the worker thread.
    explicit TLocalHistory(const QString& path = QString::fromUtf8(DefaultFileName), QObject* parent = nullptr);
    // Writes what is waiting, then closes the file.
    ~TLocalHistory() override;

    // Queues a write of the whole table. Call it every WriteIntervalMs and once more
    // before the program ends.
    void Record(THistorySnapshot snapshot);
    // A row's totals leave the table (TDaten::TotalsLeaving): booked with the next write,
    // summed with earlier departures of the same device. Costs the one device.
    void Depart(THistoryDevice device, const TLocalTime& at);
    // Remembers MACs as seen (the new-device alert), on the worker, after what is queued.
    void RememberMacs(std::vector<std::string> macs, const TLocalTime& at);
    // Blocks until everything recorded or departed so far is in the file (tests, the
    // history window, shut-down).
    void WaitForWrites();
    // Departed devices waiting for a write (tests, benchmarks).
    std::size_t DepartedWaiting();

    QString Path() const { return FilePath; }

signals:
    void Message(const QString& text);
    // After each write: how many traffic rows it added.
    void Written(int rows);

private:
    using TKey = std::pair<std::string, std::string>;
    using TDeparted = std::map<TKey, THistoryDevice>;
    struct TPendingWrite {
        TDeparted Before;                       // departed before Table was taken
        std::optional<THistorySnapshot> Table;  // the newest table recorded
        TDeparted After;                        // departed after it
        std::optional<TLocalTime> DepartedAt;   // the latest departure
        int HourlyAfterDays = 90, DailyAfterDays = 365;
        bool Posted = false;                    // a write for it is queued on the worker
        bool Empty() const { return Before.empty() && !Table && After.empty(); }
    };
    // Hands the waiting write to the worker (under Lock).
    void Post();
    void WriteWaiting();
    // One write on the worker; departed rows of a failed one wait for the next.
    void Write(THistorySnapshot& snapshot);
    void Tell(const QString& text);

    QString FilePath;
    QThread Worker;
    QObject* WorkerContext = nullptr;
    THistoryStore* Store = nullptr;  // lives and dies on the worker thread
    std::mutex Lock;
    TPendingWrite Pending;           // under Lock
    bool WriteFailed = false;        // the last write failed (under Lock)
    bool Began = false;              // the first table was recorded (owner's thread)
};
