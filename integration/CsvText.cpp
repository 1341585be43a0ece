#include "CsvText.h"

namespace {
QString Field(const QString& text)
{
    const bool quoted = text.contains(QLatin1Char(';')) || text.contains(QLatin1Char('"'))
                        || text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
    if (!quoted)
        return text;
    QString doubled = text;
    doubled.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + doubled + QLatin1Char('"');
}
}

QString CsvText(const std::vector<QStringList>& rows)
{
    QString text;
    for (const QStringList& row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (i > 0)
                text += QLatin1Char(';');
            text += Field(row[i]);
        }
        text += QLatin1Char('\n');
    }
    return text;
}
