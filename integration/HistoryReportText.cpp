#include "HistoryReportText.h"

#include "CsvText.h"

namespace {
QString CsvReport(const std::vector<THistoryReportRow>& rows, bool summed)
{
    std::vector<QStringList> table;
    table.reserve(rows.size() + 1);
    QStringList header;
    if (summed)
        header << QStringLiteral("Von") << QStringLiteral("Bis");
    else
        header << QStringLiteral("Datum");
    header << QStringLiteral("IP") << QStringLiteral("MAC") << QStringLiteral("Upload (Oktette)")
           << QStringLiteral("Download (Oktette)");
    table.push_back(header);
    for (const THistoryReportRow& row : rows) {
        QStringList line;
        line << row.From;
        if (summed)
            line << row.To;
        line << row.IP << row.MAC << QString::number(row.UL) << QString::number(row.DL);
        table.push_back(line);
    }
    return CsvText(table);
}

// A JSON string; octets are written by hand as well, since a JSON library's numbers
// are doubles and would round totals beyond 2^53.
QString JsonString(const QString& text)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\') + c;
        else if (c.unicode() < 0x20)
            quoted += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            quoted += c;
    }
    return quoted + QLatin1Char('"');
}

QString JsonReport(const std::vector<THistoryReportRow>& rows, bool summed)
{
    QString text = QStringLiteral("[");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const THistoryReportRow& row = rows[i];
        text += i == 0 ? QStringLiteral("\n  {") : QStringLiteral(",\n  {");
        if (summed)
            text += QStringLiteral("\"from\": %1, \"to\": %2").arg(JsonString(row.From), JsonString(row.To));
        else
            text += QStringLiteral("\"date\": %1").arg(JsonString(row.From));
        text += QStringLiteral(", \"ip\": %1, \"mac\": %2, \"upload\": %3, \"download\": %4}")
                    .arg(JsonString(row.IP), JsonString(row.MAC), QString::number(row.UL), QString::number(row.DL));
    }
    return text + (rows.empty() ? QStringLiteral("]\n") : QStringLiteral("\n]\n"));
}
}

QString HistoryReportText(const std::vector<THistoryReportRow>& rows, bool summed, TReportFormat format)
{
    return format == TReportFormat::Json ? JsonReport(rows, summed) : CsvReport(rows, summed);
}
