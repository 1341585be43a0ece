#pragma once

#include "TBarChart.h"
#include "TRouterGridModel.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class TDaten;

// The router stage of the display tick, without a window.
struct TRouterRows {
    std::size_t Count = 0;              // routers in the store: the rows the grid has
    std::vector<TRouterGridRow> Rows;   // rows written, from the first; fewer than Count after a fault
    std::vector<TBar> Bars;             // the router chart: upload and download bar per router, the address under both
    std::int64_t TotalUpload = 0;
    std::int64_t TotalDownload = 0;
    bool Complete = false;              // false: a damaged entry ended the pass; the totals are not valid
};

TRouterRows BuildRouterRows(const TDaten& daten);

// The port charts of the selected router; none when no router is selected. A damaged
// port list raises (the stage's own fault); a bad entry inside one never gets here,
// as the list keeps only entries that parsed.
struct TPortBars {
    std::string Router;
    std::vector<TBar> Upload;
    std::vector<TBar> Download;
};

std::optional<TPortBars> BuildPortBars(const TDaten& daten, int selectedRouter);
