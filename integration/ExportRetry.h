#pragma once

#include "TDatabaseExport.h"

#include <functional>

// Runs an export again when the server undid one of its transactions for a deadlock or
// a cluster's certification conflict, or when the connection went away before a
// COMMIT was sent: such a transaction is certainly not committed, so sending it at
// once (on a connection opened again) is safe and the run still ends complete. What an attempt did
// commit is not sent again: its traffic rows come off the job of the next attempt.
class TExportRetry {
public:
    // Attempts per run; a conflict that repeats this often is reported as the failure.
    static constexpr int MaxAttempts = 4;

    // `attempt` is one run of the export (TDatabaseExport's). Returns the results of
    // all attempts as one: what was exported, refused and said by any of them, the
    // state of the last.
    static TExportResult Run(const TExportJob& job, const std::function<TExportResult(const TExportJob&)>& attempt);
    // Whether an attempt that ended so is certainly not committed and goes again.
    static bool SendAgain(const TExportResult& result);
};
