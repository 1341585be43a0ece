#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// A table as CSV, the first row being the header: fields separated by ';', the list
// separator of spreadsheets in German (where ',' is the decimal comma, and a file
// separated by ',' opens as one column); a field holding ';', '"' or a line break is
// quoted, its quotes doubled; one that a spreadsheet would take for a formula (it
// begins with '=', '+', '-', '@', a tab or a carriage return) gets a leading "'".
// Lines end in '\n'. The one writer of the program's CSV:
// the report and the history window's button both use it.
QString CsvText(const std::vector<QStringList>& rows);
