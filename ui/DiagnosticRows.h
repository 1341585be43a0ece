#pragma once

#include <string>
#include <vector>

class TDaten;

// One written cell pair of the developers' diagnostic grid: the name of a store list
// and its entry count (or, in two rows, the first router's totals as stored).
struct TDiagnosticRow {
    int Row = 0;
    std::string Name;
    std::string Value;

    bool operator==(const TDiagnosticRow&) const = default;
};

// The rows the display tick writes into the diagnostic grid; rows not listed are not
// written.
std::vector<TDiagnosticRow> BuildDiagnosticRows(const TDaten& daten);
