#include "ExportRetry.h"

#include "MySqlErrors.h"

bool TExportRetry::SendAgain(const TExportResult& result)
{
    if (result.Complete)
        return false;
    if (IsTransactionConflict(result.ErrorCode))
        return true;
    // A connection that went away in the middle of the run (a node of the cluster went
    // down, a time-out) took its open transaction with it: nothing of it is committed,
    // and the next attempt opens the connection again, on the next host of the list.
    // Only a COMMIT without an answer may have taken effect: that one takes the unclear
    // path, and the next run finds out.
    return result.Connected && IsConnectionGone(result.ErrorCode) && !result.CommitUnclear;
}

TExportResult TExportRetry::Run(const TExportJob& job, const std::function<TExportResult(const TExportJob&)>& attempt)
{
    TExportResult total = attempt(job);
    for (int tries = 1; tries < MaxAttempts && SendAgain(total); ++tries) {
        // Committed traffic stays committed; otherwise only what an earlier run was
        // found to have written (it is in total.Exported) comes off.
        TExportJob next = job;
        if (total.TrafficCommitted)
            next.Traffic.clear();
        else
            TakeOffEarlierRows(next.Traffic, total.Exported);
        TExportResult again = attempt(next);
        again.RoundTrips += total.RoundTrips;
        again.TrafficCommitted = again.TrafficCommitted || total.TrafficCommitted;
        again.Exported.insert(again.Exported.begin(), total.Exported.begin(), total.Exported.end());
        QStringList refused = total.Refused;
        for (const QString& text : again.Refused)
            if (!refused.contains(text))
                refused << text;
        again.Refused = refused;
        if (again.Notice.isEmpty())
            again.Notice = total.Notice;
        total = std::move(again);
    }
    return total;
}
