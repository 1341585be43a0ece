#include "ExportRetry.h"

#include "MySqlErrors.h"

TExportResult TExportRetry::Run(const TExportJob& job, const std::function<TExportResult(const TExportJob&)>& attempt)
{
    TExportResult total = attempt(job);
    for (int tries = 1; tries < MaxAttempts && !total.Complete && IsTransactionConflict(total.ErrorCode); ++tries) {
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
