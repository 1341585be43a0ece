#include "DiagnosticRows.h"

#include "TDaten.h"

#include <utility>

std::vector<TDiagnosticRow> BuildDiagnosticRows(const TDaten& daten)
{
    const TDaten& d = daten;
    std::vector<TDiagnosticRow> rows;
    auto count = [](std::size_t n) { return std::to_string(n); };
    rows.push_back({6, {}, {}});
    const std::pair<const char*, std::size_t> users[] = {
        {"UserCDL", d.UserCDL.size()}, {"UserCPort", d.UserCPort.size()}, {"UserCUL", d.UserCUL.size()},
        {"UserDL", d.UserDL.size()}, {"UserIP", d.UserIP.size()}, {"UserLastTime", d.UserLastTime.size()},
        {"UserMAC", d.UserMAC.size()}, {"UserName", d.UserName.size()}, {"UserStatus", d.UserStatus.size()},
        {"UserUL", d.UserUL.size()}};
    int row = 7;
    for (const auto& [name, n] : users)
        rows.push_back({row++, name, count(n)});
    rows.push_back({17, {}, {}});
    // "RouterRefresh" names a list that nothing ever filled: its count is always 0.
    const std::pair<const char*, std::size_t> routers[] = {
        {"RouterDownload", d.RouterDownload.size()}, {"RouterRecordCount", d.RouterRecordCount.size()},
        {"RouterSequenz", d.RouterSequenz.size()}, {"RouterIP", d.RouterIP.size()},
        {"RouterPLoss", d.RouterPLoss.size()}, {"RouterPortTrafficDL", d.RouterPortTrafficDL.size()},
        {"RouterPortTrafficUL", d.RouterPortTrafficUL.size()}, {"RouterRefresh", 0},
        {"RouterTime", d.RouterTime.size()}, {"RouterUpload", d.RouterUpload.size()}};
    row = 18;
    for (const auto& [name, n] : routers)
        rows.push_back({row++, name, count(n)});
    rows.push_back({28, {}, {}});
    rows.push_back({31, {}, {}});
    if (!d.RouterDownload.empty())
        rows.push_back({32, "RouterDownload", d.RouterDownload.Text(0)});
    if (!d.RouterUpload.empty())
        rows.push_back({33, "RouterUpload", d.RouterUpload.Text(0)});
    return rows;
}
