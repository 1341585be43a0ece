// The rows of the display tick, built from store contents without any window.
#include "DiagnosticRows.h"
#include "QtPrinters.h"
#include "RouterRows.h"
#include "TDaten.h"
#include "UserRows.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {
const TLocalTime Now = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
const QColor Blue(0, 0, 255);
const QColor Green(0, 128, 0);

std::string StampBefore(double age)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.15g", Now.Serial() - age / 75'000.0);
    return buffer;
}

// A user whose last flow and last announcement lie `flowAge` and `macAge` units back.
void AddUser(TDaten& d, const std::string& ip, double flowAge, double macAge)
{
    d.AddUser(ip, "02:00:00:00:00:01", "eth0", Now);
    d.UserLastTime.back() = StampBefore(flowAge);
    d.UserMACTime.back() = StampBefore(macAge);
}

std::vector<std::string> Addresses(const std::vector<TUserGridRow>& rows, std::size_t count)
{
    std::vector<std::string> ips;
    for (std::size_t i = 0; i < count; ++i)
        ips.push_back(rows[i].IP);
    return ips;
}
}

TEST(UserRows, StoreContentsGiveRowsAndStatuses)
{
    struct {
        const char* Name;
        std::function<void(TDaten&)> Store;
        bool OnlineOnly;
        std::vector<std::string> Shown;
        bool Complete;
        std::vector<std::string> Statuses;
    } const cases[] = {
        {"empty store", [](TDaten&) {}, true, {}, true, {}},
        {"online only: offline and hidden users get no row",
         [](TDaten& d) {
             AddUser(d, "10.0.0.1", 0, 119.99);
             AddUser(d, "10.0.0.2", 0, 121);   // offline
             AddUser(d, "10.0.0.3", 0, 0);     // hidden, still gets its status
             d.HideIPs.push_back("10.0.0.3");
         },
         true, {"10.0.0.1"}, true, {"1", "0", "1"}},
        {"all users: offline ones shown, hidden ones never",
         [](TDaten& d) {
             AddUser(d, "10.0.0.1", 0, 0);
             AddUser(d, "10.0.0.2", 0, 500);
             AddUser(d, "192.168.1.7", 0, 0);
             AddUser(d, "192.168.10.7", 0, 0);
             d.HideSubnets.push_back("192.168.1");
         },
         false, {"10.0.0.1", "10.0.0.2", "192.168.10.7"}, true, {"1", "0", "1", "1"}},
        {"a damaged total ends the pass at its user",
         [](TDaten& d) {
             AddUser(d, "10.0.0.1", 0, 0);
             AddUser(d, "10.0.0.2", 0, 0);
             AddUser(d, "10.0.0.3", 0, 500);
             d.UserUL.Set(1, "kaputt");
         },
         true, {"10.0.0.1"}, false, {"1", "1", "1"}},  // the third keeps the status it had
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TDaten d;
        c.Store(d);
        std::vector<TUserGridRow> rows;
        const TUserRowsOutcome outcome = BuildUserRows(d, Now, c.OnlineOnly, rows);
        EXPECT_EQ(outcome.Complete, c.Complete);
        ASSERT_EQ(outcome.Shown, c.Shown.size());
        EXPECT_EQ(Addresses(rows, outcome.Shown), c.Shown);
        EXPECT_EQ(d.UserStatus, c.Statuses);
    }
}

TEST(UserRows, ValuesBandsAndZeroCounters)
{
    TDaten d;
    AddUser(d, "10.0.0.1", 5, 0);
    AddUser(d, "10.0.0.2", 600, 0);
    d.UserUL.Set(0, "1048576");
    d.UserDL.Set(0, "104857599999");
    d.UserCUL.Set(0, "0");
    d.UserCDL.Set(0, "0.0");  // a zero in another form is a value
    d.UserName[1] = "Kasse 1";
    std::vector<TUserGridRow> rows(5);  // scratch rows from an earlier tick stay after the written ones
    const TUserRowsOutcome outcome = BuildUserRows(d, Now, true, rows);
    ASSERT_EQ(outcome.Shown, 2u);
    EXPECT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].UL, 1048576.0);
    EXPECT_EQ(rows[0].DL, 104857599999.0);
    EXPECT_TRUE(rows[0].CULIsZero);
    EXPECT_FALSE(rows[0].CDLIsZero);
    EXPECT_EQ(rows[0].Band, 0);
    EXPECT_TRUE(rows[0].Online);
    EXPECT_EQ(rows[1].Band, 4);
    EXPECT_EQ(rows[1].Name, "Kasse 1");
    EXPECT_EQ(rows[1].MAC, "02:00:00:00:00:01");
    EXPECT_EQ(rows[1].Device, "eth0");
}

TEST(RouterRows, StoreContentsGiveRowsBarsAndTotals)
{
    struct {
        const char* Name;
        std::function<void(TDaten&)> Store;
        std::size_t Count;
        std::size_t Written;
        std::vector<TBar> Bars;
        std::int64_t Up, Down;
        bool Complete;
    } const cases[] = {
        {"no routers", [](TDaten&) {}, 0, 0, {}, 0, 0, true},
        {"the address under each pair, the values as the grid shows them above, totals beyond 32 bits",
         [](TDaten& d) {
             d.AddRouter("10.0.0.1", 7, Now);
             d.AddRouter("10.0.0.2", 8, Now);
             d.RouterDownload.Set(0, "1572864");
             d.RouterUpload.Set(1, "4294967296");
             d.RouterDownload.Set(1, "4294967296");
         },
         2, 2,
         {{0, "10.0.0.1", Blue, "0.000 MB"},
          {1572864, "", Green, "1.500 MB"},
          {4294967296.0, "10.0.0.2", Blue, "4096.000 MB"},
          {4294967296.0, "", Green, "4096.000 MB"}},
         4294967296, 4296540160, true},
        {"a damaged total ends the pass: earlier rows and bars stay",
         [](TDaten& d) {
             d.AddRouter("10.0.0.1", 7, Now);
             d.AddRouter("10.0.0.2", 8, Now);
             d.RouterUpload.Set(0, "100");
             d.RouterUpload.Set(1, "kaputt");
         },
         2, 1, {{100, "10.0.0.1", Blue, "0.000 MB"}, {0, "", Green, "0.000 MB"}}, 0, 0, false},
        {"a router list shorter than RouterIP",
         [](TDaten& d) {
             d.AddRouter("10.0.0.1", 7, Now);
             d.RouterPLoss.clear();
         },
         1, 0, {}, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TDaten d;
        c.Store(d);
        const TRouterRows rows = BuildRouterRows(d);
        EXPECT_EQ(rows.Count, c.Count);
        EXPECT_EQ(rows.Rows.size(), c.Written);
        EXPECT_EQ(rows.Bars, c.Bars);
        EXPECT_EQ(rows.Complete, c.Complete);
        if (c.Complete) {
            EXPECT_EQ(rows.TotalUpload, c.Up);
            EXPECT_EQ(rows.TotalDownload, c.Down);
        }
    }
}

TEST(RouterRows, RowTextsAsStored)
{
    TDaten d;
    d.AddRouter("10.0.0.1", 4'000'000'000, Now);
    d.RouterRecordCount.Set(0, "1234567890");
    d.RouterPLoss[0] = "12";
    const TRouterRows rows = BuildRouterRows(d);
    ASSERT_EQ(rows.Rows.size(), 1u);
    EXPECT_EQ(rows.Rows[0].IP, "10.0.0.1");
    EXPECT_EQ(rows.Rows[0].Sequenz, d.RouterSequenz.Text(0));
    EXPECT_EQ(rows.Rows[0].RecordCount, "1234567890");
    EXPECT_EQ(rows.Rows[0].PLoss, "12");
    EXPECT_EQ(rows.Rows[0].Time, d.RouterTime[0]);
}

TEST(PortBars, SelectedRouterGivesItsPortBars)
{
    TDaten d;
    d.AddRouter("10.0.0.1", 1, Now);
    d.AddRouter("10.0.0.2", 1, Now);
    d.RouterPortTrafficUL[1].Add(443, 3'000'000'000);
    d.RouterPortTrafficUL[1].Add(80, 5);
    d.RouterPortTrafficDL[1].Add(53, 700);
    for (int none : {-1, 2, 99}) {
        SCOPED_TRACE(none);
        EXPECT_FALSE(BuildPortBars(d, none).has_value());
    }
    const auto empty = BuildPortBars(d, 0);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->Router, "10.0.0.1");
    EXPECT_TRUE(empty->Upload.empty());
    EXPECT_TRUE(empty->Download.empty());
    const auto ports = BuildPortBars(d, 1);
    ASSERT_TRUE(ports.has_value());
    EXPECT_EQ(ports->Upload, (std::vector<TBar>{{3e9, "443", Blue}, {5, "80", Blue}}));
    EXPECT_EQ(ports->Download, (std::vector<TBar>{{700, "53", Green}}));
    d.RouterPortTrafficDL.pop_back();
    EXPECT_THROW(BuildPortBars(d, 1), std::exception) << "a damaged store is the stage's fault";
}

TEST(DiagnosticRows, ListNamesAndCounts)
{
    TDaten d;
    d.AddUser("10.0.0.1", "02:00:00:00:00:01", "eth0", Now);
    d.AddRouter("10.0.0.254", 1, Now);
    d.RouterDownload.Set(0, "77");
    const std::vector<TDiagnosticRow> rows = BuildDiagnosticRows(d);
    auto at = [&](int row) {
        for (const TDiagnosticRow& r : rows)
            if (r.Row == row)
                return r;
        return TDiagnosticRow{-1, "not written", ""};
    };
    const TDiagnosticRow expected[] = {
        {6, "", ""},           {7, "UserCDL", "1"},         {11, "UserIP", "1"},      {16, "UserUL", "1"},
        {17, "", ""},          {18, "RouterDownload", "1"}, {21, "RouterIP", "1"},    {25, "RouterRefresh", "0"},
        {27, "RouterUpload", "1"}, {28, "", ""},             {31, "", ""},             {32, "RouterDownload", "77"},
        {33, "RouterUpload", "0"},
    };
    for (const TDiagnosticRow& e : expected) {
        SCOPED_TRACE(e.Row);
        EXPECT_EQ(at(e.Row), e);
    }
    for (int unwritten : {0, 5, 29, 30, 34, 59})
        EXPECT_EQ(at(unwritten).Row, -1) << unwritten;
    EXPECT_EQ(rows.size(), 26u);
    EXPECT_EQ(at(32).Row, 32);
    TDaten empty;
    EXPECT_EQ(BuildDiagnosticRows(empty).size(), 24u) << "rows 32 and 33 only when there are routers";
}
