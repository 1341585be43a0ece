#pragma once

#include "THistoryReport.h"

#include <QString>

#include <vector>

enum class TReportFormat { Csv, Json };

// A report as text. CSV (through CsvText) with a header row, JSON an array of objects
// with the keys date (or from and to when summed), ip, mac, upload and download.
// Octets are whole numbers in both, never rounded to MB.
QString HistoryReportText(const std::vector<THistoryReportRow>& rows, bool summed, TReportFormat format);
