#include "RouterRows.h"

#include "StoreText.h"
#include "TDaten.h"
#include "TextForms.h"

#include <exception>
#include <stdexcept>

namespace {
const QColor Blue(0, 0, 255);
const QColor Green(0, 128, 0);

QString MegabytesMark(std::int64_t octets)
{
    return QString::fromStdString(FormatMegabytes(static_cast<double>(octets))) + QStringLiteral(" MB");
}
}

TRouterRows BuildRouterRows(const TDaten& daten)
{
    const TDaten& d = daten;
    TRouterRows result;
    result.Count = d.RouterIP.size();
    std::int64_t totalUp = 0;
    std::int64_t totalDown = 0;
    try {
        for (std::size_t i = 0; i < result.Count; ++i) {
            const std::int64_t up = d.RouterUpload.Value(i);
            const std::int64_t down = d.RouterDownload.Value(i);
            TRouterGridRow row;
            row.IP = d.RouterIP[i];
            row.Sequenz = d.RouterSequenz.Text(i);
            row.Time = d.RouterTime.at(i);
            row.RecordCount = d.RouterRecordCount.Text(i);
            row.Upload = up;
            row.Download = down;
            row.PLoss = d.RouterPLoss.at(i);
            result.Rows.push_back(std::move(row));
            // The address under the pair, each bar's value above it as the grid shows it.
            result.Bars.push_back({static_cast<double>(up), FromStoreText(d.RouterIP[i]), Blue, MegabytesMark(up)});
            result.Bars.push_back({static_cast<double>(down), QString(), Green, MegabytesMark(down)});
            if (__builtin_add_overflow(totalUp, up, &totalUp) || __builtin_add_overflow(totalDown, down, &totalDown))
                throw std::overflow_error("Summe der Router zu groß");
        }
        result.TotalUpload = totalUp;
        result.TotalDownload = totalDown;
        result.Complete = true;
    } catch (const std::exception&) {
        result.Complete = false;
    }
    return result;
}

std::optional<TPortBars> BuildPortBars(const TDaten& daten, int selectedRouter)
{
    if (selectedRouter < 0 || static_cast<std::size_t>(selectedRouter) >= daten.RouterIP.size())
        return std::nullopt;
    const auto router = static_cast<std::size_t>(selectedRouter);
    auto barsOf = [](const TPortList& list, const QColor& colour) {
        std::vector<TBar> bars;
        bars.reserve(list.Count());
        for (const TPortEntry& entry : list.Entries())
            bars.push_back({static_cast<double>(entry.Octets), QString::number(entry.Port), colour});
        return bars;
    };
    TPortBars result;
    result.Router = daten.RouterIP[router];
    result.Upload = barsOf(daten.RouterPortTrafficUL.at(router), Blue);
    result.Download = barsOf(daten.RouterPortTrafficDL.at(router), Green);
    return result;
}
