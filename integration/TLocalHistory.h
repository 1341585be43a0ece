#pragma once

#include "HistorySnapshot.h"

#include <QObject>
#include <QString>
#include <QThread>

class THistoryStore;

// The local history "vexal-history.sqlite": snapshots taken on the thread that owns the
// store are written on a worker thread of its own, one transaction each, in the order
// they were recorded; older rows are rolled up after each write. What went wrong (a
// damaged file set aside, a write that failed) comes back as Message on the thread that
// created this object; a failed write loses nothing, the next one takes its octets.
class TLocalHistory : public QObject {
    Q_OBJECT
public:
    static constexpr const char* DefaultFileName = "vexal-history.sqlite";
    static constexpr int WriteIntervalMs = 5 * 60 * 1000;

    // Rows older than this many days are rolled up to hours, then to days; taken into
    // each snapshot recorded afterwards.
    int HourlyAfterDays = 90;
    int DailyAfterDays = 365;

    // Opens (or creates) the file on the worker thread.
    explicit TLocalHistory(const QString& path = QString::fromUtf8(DefaultFileName), QObject* parent = nullptr);
    // Writes what is queued, then closes the file.
    ~TLocalHistory() override;

    // Queues one write. Call it every WriteIntervalMs, once more before the program
    // ends, and right before and right after any action that lowers totals or removes
    // users, so that neither a reset nor a device removed and announced again between
    // two writes loses octets.
    void Record(THistorySnapshot snapshot);
    // Blocks until everything recorded so far is in the file (tests, shut-down).
    void WaitForWrites();

    QString Path() const { return FilePath; }

signals:
    void Message(const QString& text);
    // After each write: how many traffic rows it added.
    void Written(int rows);

private:
    void Tell(const QString& text);

    QString FilePath;
    QThread Worker;
    QObject* WorkerContext = nullptr;
    THistoryStore* Store = nullptr;  // lives and dies on the worker thread
};
