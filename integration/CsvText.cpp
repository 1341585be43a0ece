#include "CsvText.h"

namespace {
QString Field(QString text)
{
    // A spreadsheet runs a cell that begins like a formula. Addresses and MACs come
    // from the network, so such a text is kept as text; no field of ours begins so
    // otherwise (octets are never negative).
    if (!text.isEmpty()
        && (text[0] == QLatin1Char('=') || text[0] == QLatin1Char('+') || text[0] == QLatin1Char('-')
            || text[0] == QLatin1Char('@') || text[0] == QLatin1Char('\t') || text[0] == QLatin1Char('\r')))
        text.prepend(QLatin1Char('\''));
    const bool quoted = text.contains(QLatin1Char(';')) || text.contains(QLatin1Char('"'))
                        || text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
    if (!quoted)
        return text;
    text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + text + QLatin1Char('"');
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
