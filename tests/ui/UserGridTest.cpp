#include "BillingPeriod.h"
#include "QtPrinters.h"
#include "TCollector.h"
#include "TDeviceLimits.h"
#include "TFormVolumenlimit.h"
#include "TDaten.h"
#include "TUserGrid.h"
#include "TUserGridModel.h"
#include "TempDir.h"
#include "UserRows.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QMenu>
#include <QPushButton>

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
        ASSERT_EQ(menu->actions().size(), 3);

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

// A device with a volume limit shows the share it used in the column at the right end
// ("43 %"; empty without a limit), its name cell marked at 80 % and at 100 %; the column
// shows only while some device has a limit. "Volumenlimit…" sets and removes a limit.
TEST(UserGrid, ShowsTheShareOfTheVolumeLimitAndMarksTheName)
{
    TTempDir dir;
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path);
    {
        constexpr std::int64_t MB = 1'048'576;
        TDaten daten;
        for (const char* mac : {"02:00:00:00:00:01", "02:00:00:00:00:02", "02:00:00:00:00:03"})
            daten.AddUser(std::string("10.0.0.") + mac[16], mac, "eth0", Noon);
        TCollector collector(daten, 0, 0);
        TDeviceLimits& limits = collector.DeviceLimits();
        limits.Load();
        TUserGrid grid(daten, collector);
        TUserGridModel& model = grid.Model();
        auto tick = [&] {
            limits.Check(Noon);
            std::vector<TUserGridRow> rows;
            const TUserRowsOutcome outcome = BuildUserRows(daten, Noon, false, rows);
            model.ReplaceAllRows(rows, outcome.Shown, outcome.Complete);
            grid.ShowLimits();
        };
        auto rowOf = [&](const std::string& mac) {
            for (std::size_t i = 0; i < model.Rows().size(); ++i)
                if (model.Rows()[i].MAC == mac)
                    return static_cast<int>(i);
            return -1;
        };
        tick();
        EXPECT_TRUE(grid.isColumnHidden(TUserGridModel::ColLimit)) << "no limits, no column";
        EXPECT_EQ(model.headerData(TUserGridModel::ColLimit, Qt::Horizontal).toString(), "Limit");

        ASSERT_TRUE(limits.SetLimit("02:00:00:00:00:01", 10 * MB, Noon));
        ASSERT_TRUE(limits.SetLimit("02:00:00:00:00:02", 1 * MB, Noon));
        struct TStep {
            std::int64_t AddFirst, AddSecond;
            QString First, Second;
            int MarkFirst, MarkSecond;
        };
        const TStep steps[] = {
            {0, 0, "0 %", "0 %", 0, 0},
            {4'508'877, 891'290, "43 %", "85 %", 0, 80},
            {6 * MB, MB, "103 %", "185 %", 100, 100},
        };
        for (const TStep& step : steps) {
            SCOPED_TRACE(step.First.toStdString());
            daten.UserDL.Add(0, step.AddFirst);
            daten.UserDL.Add(1, step.AddSecond);
            tick();
            EXPECT_FALSE(grid.isColumnHidden(TUserGridModel::ColLimit));
            const int first = rowOf("02:00:00:00:00:01");
            const int second = rowOf("02:00:00:00:00:02");
            const int third = rowOf("02:00:00:00:00:03");
            EXPECT_EQ(model.index(first, TUserGridModel::ColLimit).data().toString(), step.First);
            EXPECT_EQ(model.index(second, TUserGridModel::ColLimit).data().toString(), step.Second);
            EXPECT_EQ(model.index(third, TUserGridModel::ColLimit).data().toString(), QString()) << "no limit: empty";
            for (const auto& [row, mark] : {std::pair{first, step.MarkFirst}, std::pair{second, step.MarkSecond}, std::pair{third, 0}}) {
                const QVariant background = model.index(row, TUserGridModel::ColName).data(Qt::BackgroundRole);
                if (mark == 0)
                    EXPECT_NE(background.value<QColor>(), TUserGridModel::LimitMarkBackground(80)) << row;
                else
                    EXPECT_EQ(background.value<QColor>(), TUserGridModel::LimitMarkBackground(mark)) << row;
                // Only the name cell is marked.
                EXPECT_EQ(model.index(row, TUserGridModel::ColDL).data(Qt::BackgroundRole),
                          QVariant(TUserGridModel::BandBackground(model.Rows()[static_cast<std::size_t>(row)].Band)));
            }
        }
        EXPECT_NE(TUserGridModel::LimitMarkBackground(80), TUserGridModel::LimitMarkBackground(100));

        // "Volumenlimit…" on the third device: 2 GB; then removed from the first.
        auto* menu = grid.findChild<QMenu*>(QStringLiteral("PopupMenu1"));
        ASSERT_NE(menu, nullptr);
        ASSERT_EQ(menu->actions()[2]->text(), "Volumenlimit…");
        auto choose = [&](const std::string& mac, auto&& fill) {
            grid.selectRow(rowOf(mac));
            menu->actions()[2]->trigger();
            auto* dialog = grid.findChild<TFormVolumenlimit*>(QStringLiteral("FormVolumenlimit"));
            ASSERT_NE(dialog, nullptr);
            fill(*dialog);
            dialog->setObjectName(QString());  // the next look-up finds the next dialog
        };
        choose("02:00:00:00:00:03", [](TFormVolumenlimit& dialog) {
            EXPECT_FALSE(dialog.RemoveButton().isEnabled()) << "nothing to remove";
            dialog.Value().setValue(2);
            dialog.Unit().setCurrentIndex(dialog.Unit().findText("GB"));
            dialog.OkButton().click();
        });
        ASSERT_TRUE(limits.StateOf("02:00:00:00:00:03").has_value());
        EXPECT_EQ(limits.StateOf("02:00:00:00:00:03")->Limit, 2 * 1024 * MB);
        choose("02:00:00:00:00:01", [](TFormVolumenlimit& dialog) {
            EXPECT_EQ(dialog.Unit().currentText(), "MB");
            EXPECT_EQ(dialog.Value().value(), 10.0) << "the limit it has";
            dialog.RemoveButton().click();
        });
        EXPECT_FALSE(limits.StateOf("02:00:00:00:00:01").has_value());
        tick();
        EXPECT_EQ(model.index(rowOf("02:00:00:00:00:01"), TUserGridModel::ColLimit).data().toString(), QString());
        // Kept in the file beside vexal.ini, by MAC.
        EXPECT_EQ(ReadWholeFile((dir.Path / "vexal-limits.ini").string()),
                  "02:00:00:00:00:02=1048576;" + std::to_string(BillingPeriodOf(1, Noon.Day).First) + ";100\n"
                  "02:00:00:00:00:03=2147483648\n");
    }
    std::filesystem::current_path(previous);
}
