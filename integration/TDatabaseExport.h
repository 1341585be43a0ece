#pragma once

#include "ExportJob.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <functional>

struct TExportResult {
    bool Connected = false;         // the server was reached and the login accepted
    bool TrafficCommitted = false;  // the traffic rows are in the database
    bool Complete = false;          // akteth and aktrouter rewritten as well
    QString Error;                  // why the run stopped, when it did
    int RoundTrips = 0;             // statements and transaction steps sent
};

// The database export. A run goes to the server on a thread of its own, so a slow or
// hanging server never freezes the window (which would drop datagrams); the result
// comes back on the thread that started it. Rows go in batches of multi-row inserts
// with bound values; akteth and aktrouter are each rewritten in one transaction.
class TDatabaseExport : public QObject {
    Q_OBJECT
public:
    // Connection time-outs, in seconds: the run gives up instead of hanging.
    static constexpr int ConnectTimeout = 3;
    static constexpr int ReadWriteTimeout = 5;

    explicit TDatabaseExport(QObject* parent = nullptr);
    ~TDatabaseExport() override;

    bool Busy() const { return Running; }
    // Starts a run; `done` is called on this object's thread when it has ended.
    void Start(TExportJob job, std::function<void(const TExportJob&, const TExportResult&)> done);

    // One run, synchronously, on the calling thread's connection of that name.
    static TExportResult Run(const TExportJob& job, const QString& connectionName);

private:
    QThread Worker;
    QObject* WorkerContext = nullptr;
    bool Running = false;
};
