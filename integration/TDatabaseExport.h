#pragma once

#include "ExportJob.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>
#include <memory>

struct TExportResult {
    bool Connected = false;         // the server was reached and the login accepted
    bool TrafficCommitted = false;  // the traffic rows are in the database
    bool Complete = false;          // akteth and aktrouter rewritten as well
    // The COMMIT of this run's traffic got no answer; the next run finds out whether
    // it took effect before it sends anything.
    bool CommitUnclear = false;
    QString Error;                  // why the run stopped, when it did
    int ErrorCode = 0;              // its MySQL error number, 0 when it had none
    int RoundTrips = 0;             // statements and transaction steps sent
    // Rows whose octets the database now holds and the window takes off the interval
    // counters: this run's committed rows, and those of an earlier run whose COMMIT
    // had no answer and which this run found committed. Non-local rows are in it as
    // well: their interval traffic is dropped once the traffic step has run.
    std::vector<TTrafficRow> Exported;
    // Rows the server refused (a value it would not take) while the others went in:
    // "table address: error". Refused traffic stays in the counters.
    QStringList Refused;
    QString Notice;                 // something to say once, not a failure

    // The text for the status line, empty when there is nothing to say.
    QString StatusText() const;
};

// What one run leaves to the next, kept on the export thread.
struct TExportLedger {
    // Runs whose outcome is not known yet, the oldest first: a run whose COMMIT had no
    // answer, and after a restart the run under way when the state was last written.
    std::vector<TUnsettledRun> Unsettled;
    bool RunTableNoticeGiven = false;
    // A database without the column collector was said once.
    bool CollectorNoticeGiven = false;
    QElapsedTimer SincePurge;
};

// The database export. A run goes to the server on a thread of its own, so a slow or
// hanging server never freezes the window (which would drop datagrams); the result
// comes back on the thread that started it. Rows go in batches of multi-row inserts
// with bound values; akteth and aktrouter are each rewritten in one transaction.
//
// Each interval reaches traffic exactly once: a run writes its id into
// vexal_export_run in the transaction of its traffic rows, so when the answer to
// its COMMIT is lost (a dropped connection, a time-out), the next run can look the
// id up and knows whether those rows are in or must be sent again.
class TDatabaseExport : public QObject {
    Q_OBJECT
public:
    // Connection time-outs, in seconds: the run gives up instead of hanging.
    static constexpr int ConnectTimeout = 3;
    static constexpr int ReadWriteTimeout = 5;
    // The last run, while the program ends, must not hold it up for long.
    static constexpr int LastRunTimeout = 2;
    // Marks of settled runs are kept this long (only an unsettled one is ever looked up).
    static constexpr int KeepRunMarksDays = 7;

    explicit TDatabaseExport(QObject* parent = nullptr);
    ~TDatabaseExport() override;

    bool Busy() const { return Running; }
    // The runs not settled yet, as the last run ended: the collector keeps them in the
    // export state file, so the next run after a restart settles them as the next run
    // within this session would.
    const std::vector<TUnsettledRun>& Unsettled() const { return Pending; }
    // Puts back the runs kept over a restart; only while no run is under way.
    void Resume(std::vector<TUnsettledRun> runs);
    // Starts a run; `done` is called on this object's thread when it has ended. The
    // last run before the program ends goes on a connection with short time-outs.
    void Start(TExportJob job, std::function<void(const TExportJob&, const TExportResult&)> done, bool lastRun = false);
    // Lets the event loop run until no run is under way; false when the deadline came first.
    bool WaitUntilIdle(const QDeadlineTimer& deadline);

    struct TConnection {
        QString Name;
        int ConnectTimeout = TDatabaseExport::ConnectTimeout;
        int ReadWriteTimeout = TDatabaseExport::ReadWriteTimeout;
    };
    // One run, synchronously, on the calling thread's connection of that name.
    static TExportResult Run(const TExportJob& job, const TConnection& connection, TExportLedger& ledger);
    static TExportResult Run(const TExportJob& job, const QString& connectionName)
    {
        TExportLedger ledger;
        return Run(job, {connectionName}, ledger);
    }

private:
    // One attempt; Run repeats it after a deadlock or certification conflict.
    static TExportResult RunOnce(const TExportJob& job, const TConnection& connection, TExportLedger& ledger);

    QThread Worker;
    QObject* WorkerContext = nullptr;
    std::shared_ptr<TExportLedger> Ledger = std::make_shared<TExportLedger>();
    bool Running = false;
    // A copy of the ledger's unsettled runs, for this object's thread.
    std::vector<TUnsettledRun> Pending;
};
