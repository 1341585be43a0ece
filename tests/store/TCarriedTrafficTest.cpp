#include "TCarriedTraffic.h"
#include "TDaten.h"
#include "Ports.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

// "ip mac device" -> "ul/dl/ports" of every carried row.
std::map<std::string, std::string> Rows(const TCarriedTraffic& carried)
{
    std::map<std::string, std::string> rows;
    for (const TCarriedRow* row : carried.Rows())
        rows[row->IP + " " + row->MAC + " " + row->Device] =
            std::to_string(row->UL) + "/" + std::to_string(row->DL) + "/" + row->Ports.ToText();
    return rows;
}
}

// A client that comes and goes many times between two runs is one row per address,
// MAC and interface; what is exported comes off that row, and an emptied row goes.
TEST(TCarriedTraffic, CoalescesPerClientAndInterfaceAndEmptiesByExport)
{
    TCarriedTraffic carried;
    for (int i = 0; i < 1000; ++i) {
        carried.Carry("192.168.1.5", i % 2 ? "02:00:00:00:00:0a" : "02:00:00:00:00:0b", "eth0", 1, 2, Ports({{443, 2}}));
    }
    carried.Carry("192.168.1.5", "02:00:00:00:00:0a", "wlan0", 7, 0, {});
    EXPECT_EQ(carried.size(), 3u);
    EXPECT_EQ(carried.Folds(), 1001u);
    EXPECT_EQ(Rows(carried), (std::map<std::string, std::string>{
                                 {"192.168.1.5 02:00:00:00:00:0a eth0", "500/1000/443:1000"},
                                 {"192.168.1.5 02:00:00:00:00:0a wlan0", "7/0/"},
                                 {"192.168.1.5 02:00:00:00:00:0b eth0", "500/1000/443:1000"}}));

    carried.TakeOff("192.168.1.5", "02:00:00:00:00:0a", "eth0", 300, 1000, Ports({{443, 1000}}));
    carried.TakeOff("192.168.1.5", "02:00:00:00:00:0b", "eth0", 500, 1000, Ports({{443, 1000}}));
    carried.TakeOff("192.168.1.9", "02:00:00:00:00:0b", "eth0", 500, 1000, {});  // no such row: nothing
    EXPECT_EQ(Rows(carried), (std::map<std::string, std::string>{{"192.168.1.5 02:00:00:00:00:0a eth0", "200/0/"},
                                                                  {"192.168.1.5 02:00:00:00:00:0a wlan0", "7/0/"}}));
    EXPECT_EQ(carried.size(), 2u);
}

// A run took a client from the table before it left: once the run is committed, its
// octets come off the row the client went into, the interface's row first, and only
// when that row took a client after the run took it.
TEST(TCarriedTraffic, OctetsOfARunFindTheRowTheirClientWentInto)
{
    struct TCase {
        const char* Name;
        std::uint64_t Horizon;  // Folds() when the run took the client
        bool Found;
        std::map<std::string, std::string> Left;
    };
    const TCase cases[] = {
        // eth0 gives all it has and goes; the 30 it could not give come off eth1.
        {"left after the run took it", 0, true, {{"10.0.0.1 m eth1", "5/5/80:5"}}},
        {"folded in before the run took it: a later client of the table has the octets", 2, false,
         {{"10.0.0.1 m eth0", "100/200/80:200"}, {"10.0.0.1 m eth1", "5/35/80:5"}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TCarriedTraffic carried;
        carried.Carry("10.0.0.1", "m", "eth1", 5, 35, Ports({{80, 5}}));      // fold 1
        carried.Carry("10.0.0.1", "m", "eth0", 100, 200, Ports({{80, 200}}));  // fold 2
        // The run took 100/230 of the client under "eth0"; its interface had been eth1
        // for part of the interval.
        EXPECT_EQ(carried.TakeOffFoldedSince(c.Horizon, "10.0.0.1", "m", "eth0", 100, 230, Ports({{80, 200}})), c.Found);
        EXPECT_EQ(Rows(carried), c.Left);
    }
}

// A flood of MACs that each carry traffic cannot grow the rows without end: beyond the
// bound a new client's octets are refused and counted; rows there go on adding up.
TEST(TCarriedTraffic, BoundedInRowsAndCountsWhatFoundNoRoom)
{
    TCarriedTraffic carried;
    for (std::size_t i = 0; i < TCarriedTraffic::MaxRows + 10; ++i)
        carried.Carry("10.0.0.1", std::to_string(i), "eth0", 1, 2, {});
    carried.Carry("10.0.0.1", "0", "eth0", 1, 2, {});
    EXPECT_EQ(carried.size(), TCarriedTraffic::MaxRows);
    EXPECT_EQ(carried.RefusedClients(), 10u);
    EXPECT_EQ(carried.RefusedOctets(), 30u);
    EXPECT_EQ(Rows(carried)["10.0.0.1 0 eth0"], "2/4/");
}

// A client that leaves the table, replaced by another MAC or removed by the user,
// hands its interval traffic to the export (while it is on) and its totals to the
// history; a reset hands on the totals only, and the state file loader nothing.
TEST(TDatenDeparture, LeavingRowsHandOnTheirIntervalAndTheirTotals)
{
    struct TCase {
        const char* Name;
        bool ExportEnabled;
        std::function<void(TDaten&)> Act;
        std::vector<std::string> Carried;       // "ip mac device" -> "ul/dl/ports"
        std::vector<std::string> TotalsOffered;  // "ip mac dl"
        std::vector<std::string> UsersLeft;
    };
    const TCase cases[] = {
        {"replaced by another MAC", true, [](TDaten& d) { d.DepartUser(1); },
         {"10.0.0.2 02:00:00:00:00:02 eth1 20/200/443:200"}, {"10.0.0.2 02:00:00:00:00:02 2000"}, {"10.0.0.1", "10.0.0.3"}},
        {"export off: nothing carried", false, [](TDaten& d) { d.DepartUser(1); },
         {}, {"10.0.0.2 02:00:00:00:00:02 2000"}, {"10.0.0.1", "10.0.0.3"}},
        {"Diese IP entfernen", true, [](TDaten& d) { d.RemoveUsersWithAddress({"10.0.0.3", "10.0.0.1"}); },
         {"10.0.0.1 02:00:00:00:00:01 eth1 10/100/443:100", "10.0.0.3 02:00:00:00:00:03 eth1 30/300/443:300"},
         {"10.0.0.1 02:00:00:00:00:01 1000", "10.0.0.3 02:00:00:00:00:03 3000"}, {"10.0.0.2"}},
        {"less than 100 kB", true, [](TDaten& d) { d.RemoveLowTrafficUsers(2500); },
         {"10.0.0.1 02:00:00:00:00:01 eth1 10/100/443:100", "10.0.0.2 02:00:00:00:00:02 eth1 20/200/443:200"},
         {"10.0.0.1 02:00:00:00:00:01 1000", "10.0.0.2 02:00:00:00:00:02 2000"}, {"10.0.0.3"}},
        {"Alle Clients entfernen", true, [](TDaten& d) { d.RemoveAllUsers(); },
         {"10.0.0.1 02:00:00:00:00:01 eth1 10/100/443:100", "10.0.0.2 02:00:00:00:00:02 eth1 20/200/443:200",
          "10.0.0.3 02:00:00:00:00:03 eth1 30/300/443:300"},
         {"10.0.0.1 02:00:00:00:00:01 1000", "10.0.0.2 02:00:00:00:00:02 2000", "10.0.0.3 02:00:00:00:00:03 3000"}, {}},
        {"IP Traffic Counter auf 0 setzen", true, [](TDaten& d) { d.ResetUserTotals(); },
         {},
         {"10.0.0.1 02:00:00:00:00:01 1000", "10.0.0.2 02:00:00:00:00:02 2000", "10.0.0.3 02:00:00:00:00:03 3000"},
         {"10.0.0.1", "10.0.0.2", "10.0.0.3"}},
        {"the state file loader empties the table", true, [](TDaten& d) { d.ClearUsers(); }, {}, {}, {}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TDaten d;
        d.ExportEnabled = c.ExportEnabled;
        for (int i = 1; i <= 3; ++i) {
            d.AddUser("10.0.0." + std::to_string(i), "02:00:00:00:00:0" + std::to_string(i), "eth1", Noon);
            const auto row = static_cast<std::size_t>(i - 1);
            d.UserDL.SetValue(row, 1000 * i);
            d.UserCUL.SetValue(row, 10 * i);
            d.UserCDL.SetValue(row, 100 * i);
            d.UserCPort[row].Add(443, 100 * i);
        }
        std::vector<std::string> offered;
        d.TotalsLeaving = [&](std::size_t row) {
            offered.push_back(d.UserIP[row] + " " + d.UserMAC[row] + " " + d.UserDL.Text(row));
        };
        c.Act(d);
        std::vector<std::string> carried;
        for (const auto& [key, value] : Rows(d.CarriedTraffic))
            carried.push_back(key + " " + value);
        EXPECT_EQ(carried, c.Carried);
        EXPECT_EQ(offered, c.TotalsOffered);
        EXPECT_EQ(std::vector<std::string>(d.UserIP.begin(), d.UserIP.end()), c.UsersLeft);
    }
}
