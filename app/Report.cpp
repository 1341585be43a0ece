#include "Report.h"

#include "HistoryReportText.h"
#include "LocalTime.h"
#include "THistoryReport.h"
#include "THistoryStore.h"
#include "TLocalHistory.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

int RunReport(int argc, char* argv[], const TStartOptions& options, const std::string& folder)
{
    // The SQLite driver is a plugin, found through the application object.
    QCoreApplication app(argc, argv);
    const QString name = QString::fromUtf8(TLocalHistory::DefaultFileName);
    const QString path = folder.empty() ? name : QDir(QString::fromStdString(folder)).filePath(name);
    THistoryReport report(path);
    const QString to =
        options.ReportTo.empty() ? HistoryDateText(TLocalTime::Now().Day) : QString::fromStdString(options.ReportTo);
    QString from = QString::fromStdString(options.ReportFrom);
    if (from.isEmpty()) {
        // From the first day in the file; a file without traffic up to the end of the
        // period gives an empty report, not an error.
        from = report.FirstDay();
        if (from.isEmpty() || from > to)
            from = to;
    }
    const std::vector<THistoryReportRow> rows = options.ReportSum ? report.Summed(from, to) : report.Days(from, to);
    if (!report.Error().isEmpty()) {
        std::fprintf(stderr, "Bericht: %s\n", report.Error().toUtf8().constData());
        return 1;
    }
    const QByteArray text = HistoryReportText(rows, options.ReportSum,
                                              options.ReportFormat == "json" ? TReportFormat::Json : TReportFormat::Csv)
                                .toUtf8();
    if (std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout)
            != static_cast<std::size_t>(text.size())
        || std::fflush(stdout) != 0) {
        std::perror("Bericht");
        return 1;
    }
    return 0;
}
