// The user grid keeps its sort across ticks by placing again only the rows whose value
// changed. Whatever changes, the order must be the one a full stable sort of the
// previous order gives.
#include "IPv6Announcement.h"
#include "MacAnnouncement.h"
#include "NameList.h"
#include "TDaten.h"
#include "TUserGridFeed.h"
#include "TUserGridModel.h"
#include "TextForms.h"
#include "UserRows.h"

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace {
TUserGridRow User(int n, double dl, const std::string& name)
{
    TUserGridRow row;
    row.IP = "10.0.0." + std::to_string(n);
    row.DL = dl;
    row.Name = name;
    return row;
}

std::vector<std::string> Shown(const TUserGridModel& model)
{
    std::vector<std::string> ips;
    for (const TUserGridRow& row : model.Rows())
        ips.push_back(row.IP);
    return ips;
}

// What sorting everything gives: the users still shown in their previous order with
// their new values, the new ones after them in store order, then a stable sort.
std::vector<std::string> FullSort(const std::vector<std::string>& before, const std::vector<TUserGridRow>& store,
                                  int column, Qt::SortOrder order)
{
    std::vector<const TUserGridRow*> rows;
    for (const std::string& ip : before)
        for (const TUserGridRow& row : store)
            if (row.IP == ip)
                rows.push_back(&row);
    for (const TUserGridRow& row : store)
        if (std::find(before.begin(), before.end(), row.IP) == before.end())
            rows.push_back(&row);
    const bool down = order == Qt::DescendingOrder;
    std::stable_sort(rows.begin(), rows.end(), [&](const TUserGridRow* a, const TUserGridRow* b) {
        if (column == TUserGridModel::ColDL)
            return down ? b->DL < a->DL : a->DL < b->DL;
        return down ? b->Name < a->Name : a->Name < b->Name;
    });
    std::vector<std::string> ips;
    for (const TUserGridRow* row : rows)
        ips.push_back(row->IP);
    return ips;
}
}

TEST(UserGridSort, TicksPlaceChangedRowsAsAFullSortWould)
{
    using TStore = std::vector<TUserGridRow>;
    struct {
        const char* Step;
        std::function<void(TStore&)> Change;
        int Column = TUserGridModel::ColDL;
        Qt::SortOrder Order = Qt::DescendingOrder;
    } const steps[] = {
        {"first tick", [](TStore&) {}},
        {"nothing changes", [](TStore&) {}},
        {"one user to the top", [](TStore& s) { s[7].DL = 1e9; }},
        {"one user down into a tie", [](TStore& s) { s[0].DL = 300; }},
        {"one user up into a tie", [](TStore& s) { s[11].DL = 300; }},
        {"several change, two to the same value",
         [](TStore& s) {
             s[2].DL = 50;
             s[5].DL = 50;
             s[9].DL += 1;
         }},
        {"a user goes, one comes in a tie",
         [](TStore& s) {
             s.erase(s.begin() + 4);
             s.push_back(User(40, 300, "Neu"));
         }},
        {"every value changes",
         [](TStore& s) {
             for (std::size_t i = 0; i < s.size(); ++i)
                 s[i].DL = static_cast<double>((i * 7) % 5) * 100;
         }},
        {"by name, ascending", [](TStore&) {}, TUserGridModel::ColName, Qt::AscendingOrder},
        {"names change", [](TStore& s) {
             s[1].Name = "Zora";
             s[3].Name = "Anna";
             s[6].Name = "Anna";
         }, TUserGridModel::ColName, Qt::AscendingOrder},
        {"back to DL, a value changes", [](TStore& s) { s[2].DL = 250; }},
    };

    TStore store;
    const char* const names[] = {"Bert", "Anna", "Carla", "Dieter"};
    for (int n = 0; n < 12; ++n)
        store.push_back(User(n, (n % 4) * 100.0, names[n % 4]));
    TUserGridModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Step);
        if (model.SortColumn() != step.Column || model.SortOrder() != step.Order)
            model.sort(step.Column, step.Order);
        const std::vector<std::string> before = Shown(model);
        step.Change(store);
        std::vector<TUserGridRow> fresh = store;
        model.ReplaceAllRows(fresh, fresh.size(), true);
        EXPECT_EQ(Shown(model), FullSort(before, store, step.Column, step.Order));
    }
}

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

TLocalTime Later(TLocalTime time, int seconds)
{
    time.MsOfDay += seconds * 1000;
    return time;
}

// Everything a row shows, in one line per row, top to bottom.
std::vector<std::string> Lines(const TUserGridModel& model)
{
    std::vector<std::string> lines;
    for (const TUserGridRow& r : model.Rows())
        lines.push_back(r.IP + " " + r.MAC + " " + r.Name + " " + r.Device + " [" + r.CPort + "] "
                        + std::to_string(r.DL) + " " + std::to_string(r.UL) + " " + std::to_string(r.CDL) + " "
                        + std::to_string(r.CUL) + (r.CDLIsZero ? " z" : " -") + (r.CULIsZero ? "z" : "-") + " band "
                        + std::to_string(r.Band) + (r.Online ? " on" : " off") + " v6 " + std::to_string(r.IPv6.size()));
    return lines;
}

// A user row as the state file loads it, texts as they stand there.
void AppendStored(TDaten& d, const std::string& ip, const std::string& mac, const std::string& dl,
                  const std::string& macTime)
{
    TDaten::TUserRow row;
    row.IP = ip;
    row.MAC = mac;
    row.DL = dl;
    row.MACTime = macTime;
    d.AppendUser(std::move(row));
}

// Twelve users a few seconds apart, so time passing moves them across the colour
// bands and the online limit one by one.
TDaten Site()
{
    TDaten d;
    d.LocalSubnets = {"10"};
    for (int n = 0; n < 12; ++n) {
        d.AddUser("10.0.0." + std::to_string(n), "02:00:00:00:00:" + std::to_string(10 + n), "eth0", Later(Noon, -11 * n));
        d.UserDL.SetValue(static_cast<std::size_t>(n), (n % 4) * 100);
        d.UserLastTime[static_cast<std::size_t>(n)] = StampText(Later(Noon, -3 * n));
        d.UserName[static_cast<std::size_t>(n)] = n % 2 ? "Anna" : "Bert";
    }
    return d;
}
}

// The tick rebuilds only the users whose change mark, colour band or status moved, and
// goes the full way after rows came, went or moved. Whatever changes, the grid must
// show exactly what a full pass and commit on every tick shows, row for row and in the
// same order, and the statuses in the store must be the same.
TEST(UserGridSort, FedTicksShowWhatFullTicksShow)
{
    const TIpAddress v6 = *TIpAddress::Parse("2001:db8::7");
    struct {
        const char* Step;
        std::function<void(TDaten&, TLocalTime&, bool&, TUserGridModel&)> Change;
        bool Full;  // the tick must build every row (only then may the grid start afresh)
    } const steps[] = {
        {"first tick", [](TDaten&, TLocalTime&, bool&, TUserGridModel&) {}, true},
        {"nothing changes", [](TDaten&, TLocalTime&, bool&, TUserGridModel&) {}, false},
        {"a charge only, to the top", [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserDL.Add(3, 5000); },
         false},
        {"a charge that moves nobody", [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserCDL.Add(5, 10); },
         false},
        {"a charge into a tie",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) {
             d.UserDL.Add(0, 200);
             d.UserUL.Add(0, 7);
         },
         false},
        {"a name change",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) {
             d.UserName[2] = "Carla";
             d.MarkUser(2);
         },
         false},
        {"an announcement", [](TDaten& d, TLocalTime& now, bool&, TUserGridModel&) {
             d.UserMACTime[4] = StampText(now);
             d.UserDevice[4] = "wlan0";
             d.MarkUser(4);
         }, false},
        {"an IPv6 address learned", [&](TDaten& d, TLocalTime& now, bool&, TUserGridModel&) { d.LearnIPv6(1, v6, now); },
         false},
        {"the address moves to another user",
         [&](TDaten& d, TLocalTime& now, bool&, TUserGridModel&) { d.LearnIPv6(7, v6, now); }, false},
        {"a MAC announcement of a known user",
         [](TDaten& d, TLocalTime& now, bool&, TUserGridModel&) {
             const std::string text = "f0 10.0.0.10 f2 f3 02:00:00:00:00:20 f5 wlan9\n";
             std::int32_t count = 0;
             AccountMacAnnouncement(d, std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()),
                                    "10.0.0.254", count, now);
         },
         false},
        {"an IPv6 announcement of a known device",
         [](TDaten& d, TLocalTime& now, bool&, TUserGridModel&) {
             AccountIPv6Announcement(d, *TIpAddress::Parse("2001:db8::8"), "2001:db8::8", "02:00:00:00:00:12", "eth7",
                                     now);
         },
         false},
        {"names from the name list",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { ApplyNameList(d, "02:00:00:00:00:13||PC||Kasse 3\n"); },
         false},
        {"time passes across a band threshold",
         [](TDaten&, TLocalTime& now, bool&, TUserGridModel&) { now = Later(now, 8); }, false},
        {"time passes, users go offline",
         [](TDaten&, TLocalTime& now, bool&, TUserGridModel&) { now = Later(now, 80); }, false},
        {"a stamp written in place", [](TDaten& d, TLocalTime& now, bool&, TUserGridModel&) {
             d.UserLastTime[9] = StampText(now);
         }, false},
        {"sorted by name, a name changes",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel& model) {
             model.sort(TUserGridModel::ColName, Qt::AscendingOrder);
             d.UserName[5] = "Aaron";
             d.MarkUser(5);
         },
         false},
        {"back to DL, a charge",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel& model) {
             model.sort(TUserGridModel::ColDL, Qt::DescendingOrder);
             d.UserDL.Add(8, 1);
         },
         false},
        {"a row removal", [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.RemoveUser(6); }, true},
        {"a charge after the removal", [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserDL.Add(9, 900); },
         false},
        {"a hide-list change",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.HideIPs = {"10.0.0.3"}; }, true},
        {"a charge of a hidden user", [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserDL.Add(3, 1); }, false},
        {"a counter kept as its hand-edited text",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserCUL.Set(1, "007"); }, false},
        {"that user charged to the top",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserDL.Add(1, 50'000); }, false},
        {"a hand-edited duplicate address",
         [](TDaten& d, TLocalTime& now, bool&, TUserGridModel&) {
             AppendStored(d, "10.0.0.5", "02:00:00:00:00:99", "250", StampText(now));
         },
         false},
        {"a charge of the duplicate",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserDL.Add(d.UserCount() - 1, 10'000); }, false},
        {"a charge of the first of the two",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserDL.Add(5, 20'000); }, false},
        {"a new user", [](TDaten& d, TLocalTime& now, bool&, TUserGridModel&) {
             d.AddUser("10.0.0.40", "02:00:00:00:00:40", "eth0", now);
             d.UserDL.SetValue(d.UserCount() - 1, 150);
         }, false},
        {"two new users, one hidden, and a charge", [](TDaten& d, TLocalTime& now, bool&, TUserGridModel&) {
             d.AddUser("10.0.0.3", "02:00:00:00:00:41", "eth0", now);
             d.AddUser("10.0.0.42", "02:00:00:00:00:42", "eth0", now);
             d.UserDL.Add(0, 1);
         }, false},
        {"online only", [](TDaten&, TLocalTime&, bool& onlineOnly, TUserGridModel&) { onlineOnly = true; }, true},
        {"a charge while online only", [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserDL.Add(4, 1); },
         false},
        {"a new offline user while online only",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) {
             AppendStored(d, "10.0.0.43", "02:00:00:00:00:43", "999999", "0");
         },
         false},
        {"a new online user while online only",
         [](TDaten& d, TLocalTime& now, bool&, TUserGridModel&) { d.AddUser("10.0.0.44", "02:00:00:00:00:44", "eth0", now); },
         false},
        {"a user goes offline while online only",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserMACTime[4] = "0"; }, true},
        {"all users again", [](TDaten&, TLocalTime&, bool& onlineOnly, TUserGridModel&) { onlineOnly = false; }, true},
        {"a damaged counter", [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserDL.Set(2, "viel"); }, true},
        {"still damaged", [](TDaten&, TLocalTime&, bool&, TUserGridModel&) {}, true},
        {"repaired", [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserDL.Set(2, "7"); }, true},
        {"and quiet again", [](TDaten&, TLocalTime&, bool&, TUserGridModel&) {}, false},
        {"a new user with a damaged counter",
         [](TDaten& d, TLocalTime& now, bool&, TUserGridModel&) {
             AppendStored(d, "10.0.0.45", "02:00:00:00:00:45", "viel", StampText(now));
         },
         true},
        {"its counter repaired",
         [](TDaten& d, TLocalTime&, bool&, TUserGridModel&) { d.UserDL.Set(d.UserCount() - 1, "70"); }, true},
        {"quiet at last", [](TDaten&, TLocalTime&, bool&, TUserGridModel&) {}, false},
    };

    TDaten d = Site();
    TLocalTime now = Noon;
    bool onlineOnly = false;
    TUserGridFeed feed;
    TUserGridModel fed;
    TUserGridModel full;
    std::vector<TUserGridRow> fullRows;
    QAbstractItemModelTester fedTester(&fed, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester fullTester(&full, QAbstractItemModelTester::FailureReportingMode::Fatal);
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Step);
        step.Change(d, now, onlineOnly, fed);
        full.sort(fed.SortColumn(), fed.SortOrder());

        for (std::string& status : d.UserStatus)
            status = "?";
        const std::uint64_t fullPasses = fed.FullReplacements();
        const TUserRowsOutcome fedOutcome = feed.Show(d, now, onlineOnly, fed);
        EXPECT_EQ(fed.FullReplacements() != fullPasses, step.Full);
        const std::vector<std::string> fedStatus = d.UserStatus;

        for (std::string& status : d.UserStatus)
            status = "?";
        const TUserRowsOutcome fullOutcome = BuildUserRows(d, now, onlineOnly, fullRows);
        full.ReplaceAllRows(fullRows, fullOutcome.Shown, fullOutcome.Complete);

        EXPECT_EQ(fedOutcome.Shown, fullOutcome.Shown);
        EXPECT_EQ(fedOutcome.Complete, fullOutcome.Complete);
        EXPECT_EQ(fedStatus, d.UserStatus);
        EXPECT_EQ(Lines(fed), Lines(full));
    }
}

// A tick tells the views only about what changed: one row's new counter is one row to
// redraw and nothing to move, and a tick in which nothing changed says nothing.
TEST(UserGridSort, FedTicksSignalOnlyWhatChanged)
{
    TDaten d = Site();
    TUserGridFeed feed;
    TUserGridModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    feed.Show(d, Noon, false, model);
    QSignalSpy data(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy layout(&model, &QAbstractItemModel::layoutChanged);

    feed.Show(d, Noon, false, model);
    EXPECT_EQ(data.size(), 0);
    EXPECT_EQ(layout.size(), 0);

    d.UserCDL.Add(5, 10);
    feed.Show(d, Noon, false, model);
    ASSERT_EQ(data.size(), 1);
    EXPECT_EQ(layout.size(), 0);
    const auto from = data[0][0].value<QModelIndex>();
    const auto to = data[0][1].value<QModelIndex>();
    EXPECT_EQ(from.row(), to.row());
    EXPECT_EQ(model.Rows()[static_cast<std::size_t>(from.row())].IP, "10.0.0.5");

    // The selection follows its user when the row moves.
    QItemSelectionModel selection(&model);
    selection.select(from, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    d.UserDL.Add(5, 1'000'000);
    feed.Show(d, Noon, false, model);
    EXPECT_EQ(layout.size(), 1);
    ASSERT_EQ(model.Rows()[0].IP, "10.0.0.5");
    const QModelIndexList selected = selection.selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected[0].row(), 0);
}
