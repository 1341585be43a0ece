#include "QtPrinters.h"
#include "TCollector.h"
#include "TDaten.h"
#include "TUserGrid.h"
#include "TUserGridModel.h"
#include "TempDir.h"
#include "UserRows.h"

#include <QMenu>

#include <gtest/gtest.h>

#include <filesystem>

// The user grid stands on its own: a store, a collector that is never started, no main
// window. It asks for the log and the history of the users it shows, by their key.
namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
}

TEST(UserGrid, AsksForTheLogAndTheHistoryOfTheUserItShows)
{
    TTempDir dir;
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path);
    {
        TDaten daten;
        for (const auto& [ip, mac, dl] :
             {std::tuple{"10.0.0.1", "02:00:00:00:00:01", "100"}, std::tuple{"10.0.0.2", "02:00:00:00:00:02", "900"}}) {
            daten.AddUser(ip, mac, "eth0", Noon);
            daten.UserDL.Set(daten.UserCount() - 1, dl);
        }
        TCollector collector(daten, 0, 0);
        TUserGrid grid(daten, collector);
        TUserGridModel& model = grid.Model();
        std::vector<TUserGridRow> rows;
        const TUserRowsOutcome outcome = BuildUserRows(daten, Noon, false, rows);
        model.ReplaceAllRows(rows, outcome.Shown, outcome.Complete);
        ASSERT_EQ(model.Rows().size(), 2u);
        ASSERT_EQ(model.Rows()[0].IP, "10.0.0.2") << "largest download first";
        EXPECT_EQ(grid.objectName(), "ProfGrid2");
        auto* menu = grid.findChild<QMenu*>(QStringLiteral("PopupMenu1"));
        ASSERT_NE(menu, nullptr);
        ASSERT_EQ(menu->actions().size(), 2);

        std::vector<std::string> logs;
        std::vector<std::string> histories;
        QObject::connect(&grid, &TUserGrid::LogRequested, [&](const std::string& ip) { logs.push_back(ip); });
        QObject::connect(&grid, &TUserGrid::HistoryRequested,
                         [&](const std::string& ip, const std::string& mac) { histories.push_back(ip + " " + mac); });

        // Nothing selected: nothing asked for.
        grid.ProfGrid2DblClick();
        menu->actions()[1]->trigger();
        EXPECT_TRUE(logs.empty());
        EXPECT_TRUE(histories.empty());

        grid.selectRow(1);
        grid.ProfGrid2DblClick();
        menu->actions()[1]->trigger();  // "Verlauf"
        grid.ProfGrid2DblClick(model.index(0, TUserGridModel::ColName));  // the row clicked counts
        EXPECT_EQ(logs, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
        EXPECT_EQ(histories, std::vector<std::string>{"10.0.0.1 02:00:00:00:00:01"});
    }
    std::filesystem::current_path(previous);
}
