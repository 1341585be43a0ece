#include "TDaten.h"
#include "TIpAddress.h"
#include "TextForms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

// Every user list must have the same length; returns it.
std::size_t AlignedUserRows(const TDaten& d)
{
    const std::size_t n = d.UserIP.size();
    for (std::size_t size : {d.UserMAC.size(), d.UserName.size(), d.UserDL.size(), d.UserUL.size(), d.UserCDL.size(),
                             d.UserCUL.size(), d.UserCPort.size(), d.UserStatus.size(), d.UserMACTime.size(),
                             d.UserLastTime.size(), d.UserDevice.size()})
        EXPECT_EQ(size, n);
    EXPECT_EQ(d.UserIPv6.size(), n);
    EXPECT_TRUE(d.UserColumnsInStep());
    return n;
}
}

// The grid fills a row from every user column at once, after asking whether they are
// all as long as the table: any one out of step must say no.
TEST(TDaten, UserColumnsInStepSeesAnyColumnOutOfStep)
{
    const std::vector<std::function<void(TDaten&)>> damages = {
        [](TDaten& d) { d.UserMAC.push_back("x"); },       [](TDaten& d) { d.UserName.pop_back(); },
        [](TDaten& d) { d.UserCPort.emplace_back(); },     [](TDaten& d) { d.UserStatus.pop_back(); },
        [](TDaten& d) { d.UserMACTime.push_back("0"); },   [](TDaten& d) { d.UserLastTime.pop_back(); },
        [](TDaten& d) { d.UserDevice.push_back("eth0"); },
    };
    for (std::size_t i = 0; i < damages.size(); ++i) {
        SCOPED_TRACE(i);
        TDaten d;
        d.AddUser("10.0.0.1", "02:00:00:00:00:01", "eth0", TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0));
        ASSERT_TRUE(d.UserColumnsInStep());
        damages[i](d);
        EXPECT_FALSE(d.UserColumnsInStep());
    }
}

TEST(TDaten, FreshStoreHoldsOnlyTheFlowLogPlaceholdersAndDefaults)
{
    const TDaten d;
    for (const TFlowLogList* list : {&d.FlowLogSrcIP, &d.FlowLogDstIP, &d.FlowLogSrcPort, &d.FlowLogDstPort}) {
        ASSERT_EQ(list->size(), 150u);
        for (std::size_t i = 0; i < 150; ++i)
            EXPECT_EQ((*list)[i], "");
    }
    ASSERT_EQ(d.FlowLogTraffic.size(), 150u);
    for (std::size_t i = 0; i < 150; ++i)
        EXPECT_EQ(d.FlowLogTraffic[i], "0");

    EXPECT_EQ(AlignedUserRows(d), 0u);
    EXPECT_EQ(d.RouterCount(), 0u);
    EXPECT_TRUE(d.LocalSubnets.empty() && d.LocalIPs.empty() && d.HideSubnets.empty() && d.HideIPs.empty());

    EXPECT_EQ(d.HttpUrl, "");
    EXPECT_EQ(d.HttpUser, "");
    EXPECT_EQ(d.HttpPassword, "");
    EXPECT_EQ(d.MySqlHost, "");
    EXPECT_EQ(d.MySqlUser, "user");
    EXPECT_EQ(d.MySqlPassword, "kzq");
    EXPECT_EQ(d.MySqlDatabase, "vexal");
    EXPECT_EQ(d.MySqlPort, "3306");
    EXPECT_EQ(d.ExportInterval, 30);
    EXPECT_FALSE(d.ExportEnabled);
    EXPECT_TRUE(d.ExportDetailed);
    EXPECT_EQ(d.FlowPort, "2055");
    EXPECT_EQ(d.MacPort, "2056");
    EXPECT_EQ(d.VersionText, "Version #1");
}

TEST(TDaten, FlowLogDropsTheOldestEntry)
{
    TDaten d;
    for (int i = 0; i < 200; ++i)
        d.FlowLogTraffic.Append(std::to_string(i));
    EXPECT_EQ(d.FlowLogTraffic[0], "50");
    EXPECT_EQ(d.FlowLogTraffic[149], "199");
    d.FlowLogSrcIP.Append("10.0.0.1");
    EXPECT_EQ(d.FlowLogSrcIP[149], "10.0.0.1");
    EXPECT_EQ(d.FlowLogSrcIP[148], "");
}

TEST(TDaten, IsLocalAddressIsATextualPrefixOrWholeMatch)
{
    struct {
        std::vector<std::string> Subnets;
        std::vector<std::string> Ips;
        const char* Address;
        bool Local;
    } const cases[] = {
        {{"10"}, {}, "10.1.2.3", true},
        {{"10"}, {}, "100.1.2.3", false},
        {{}, {}, "10.1.2.3", false},
        {{}, {"192.168.1.5"}, "192.168.1.5", true},
        {{}, {"192.168.1.50"}, "192.168.1.5", false},
        {{"192.168.1"}, {}, "192.168.1.7", true},
        {{"192.168.1"}, {}, "192.168.10.7", false},
        {{"192.168.1"}, {}, "192.168.1", false},
        {{""}, {}, "10.0.0.1", false},  // an empty subnet line matches nothing
        {{}, {""}, "", true},           // an empty address line matches the empty text
        {{"172.16", "10"}, {"8.8.8.8"}, "8.8.8.8", true},
        {{"192.168.1"}, {}, "192.168.1.7 ", true},  // textual: no address parsing
        {{"192.168.1."}, {}, "192.168.1.7", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Address);
        TDaten d;
        d.LocalSubnets = c.Subnets;
        d.LocalIPs = c.Ips;
        EXPECT_EQ(d.IsLocalAddress(c.Address), c.Local);
    }
}

TEST(TDaten, AddUserWritesACompleteRow)
{
    TDaten d;
    d.AddUser("192.168.1.23", "02:1a:2b:3c:4d:5e", "eth1", Noon);
    ASSERT_EQ(AlignedUserRows(d), 1u);
    EXPECT_EQ(d.UserIP[0], "192.168.1.23");
    EXPECT_EQ(d.UserMAC[0], "02:1a:2b:3c:4d:5e");
    EXPECT_EQ(d.UserName[0], "-");
    EXPECT_EQ(d.UserDL.Text(0), "0");
    EXPECT_EQ(d.UserUL.Text(0), "0");
    EXPECT_EQ(d.UserCDL.Text(0), "0");
    EXPECT_EQ(d.UserCUL.Text(0), "0");
    EXPECT_TRUE(d.UserCPort[0].Empty());
    EXPECT_EQ(d.UserStatus[0], "1");
    EXPECT_EQ(d.UserMACTime[0], StampText(Noon));
    EXPECT_EQ(d.UserLastTime[0], "0");
    EXPECT_EQ(d.UserDevice[0], "eth1");
}

TEST(TDaten, RemoveUserDeletesTheRowFromEveryList)
{
    TDaten d;
    d.AddUser("10.0.0.1", "m1", "eth0", Noon);
    d.AddUser("10.0.0.2", "m2", "eth1", Noon);
    d.AddUser("10.0.0.3", "m3", "wlan0", Noon);
    d.UserDL.Set(2, "333");
    d.RemoveUser(1);
    ASSERT_EQ(AlignedUserRows(d), 2u);
    EXPECT_EQ(d.UserIP[1], "10.0.0.3");
    EXPECT_EQ(d.UserMAC[1], "m3");
    EXPECT_EQ(d.UserDevice[1], "wlan0");
    EXPECT_EQ(d.UserDL.Text(1), "333");
    EXPECT_EQ(d.UserIP.IndexOf("10.0.0.3"), 1);
    EXPECT_EQ(d.UserIP.IndexOf("10.0.0.2"), -1);

    for (int outside : {2, 3, -1}) {
        d.RemoveUser(outside);
        EXPECT_EQ(AlignedUserRows(d), 2u) << outside;
    }
}

TEST(TDaten, UserIndexFindsTheFirstOfDuplicateAddresses)
{
    // The announcement handler never adds a known address, but the state file can carry
    // one twice; every lookup must then still find the first row, as a scan would.
    TDaten d;
    d.AddUser("10.0.0.9", "first", "", Noon);
    d.AddUser("10.0.0.5", "other", "", Noon);
    d.AddUser("10.0.0.9", "second", "", Noon);
    EXPECT_EQ(d.UserIP.IndexOf("10.0.0.9"), 0);
    d.RemoveUser(0);
    EXPECT_EQ(d.UserIP.IndexOf("10.0.0.9"), 1);
    EXPECT_EQ(d.UserIP.IndexOf("10.0.0.5"), 0);
    d.RemoveUser(1);
    EXPECT_EQ(d.UserIP.IndexOf("10.0.0.9"), -1);
    d.AddUser("10.0.0.9", "third", "", Noon);
    EXPECT_EQ(d.UserIP.IndexOf("10.0.0.9"), 1);
    d.ClearUsers();
    EXPECT_EQ(AlignedUserRows(d), 0u);
    EXPECT_EQ(d.UserIP.IndexOf("10.0.0.5"), -1);
}

TEST(TDaten, AddRouterAppendsARowToEveryRouterList)
{
    TDaten d;
    EXPECT_EQ(d.AddRouter("192.168.1.1", 4711, Noon), 0);
    EXPECT_EQ(d.AddRouter("192.168.2.1", 5, Noon), 1);
    EXPECT_EQ(d.RouterIP.IndexOf("192.168.2.1"), 1);
    for (std::size_t size : {d.RouterSequenz.size(), d.RouterTime.size(), d.RouterDownload.size(),
                             d.RouterUpload.size(), d.RouterRecordCount.size(), d.RouterPortTrafficUL.size(),
                             d.RouterPortTrafficDL.size(), d.RouterPLoss.size()})
        EXPECT_EQ(size, 2u);
    EXPECT_EQ(d.RouterSequenz.Text(0), "4711");
    EXPECT_EQ(d.RouterRecordCount.Text(0), "4711");
    EXPECT_EQ(d.RouterTime[0], "12:00:00");
    EXPECT_EQ(d.RouterUpload.Text(0), "0");
    EXPECT_EQ(d.RouterDownload.Text(0), "0");
    EXPECT_EQ(d.RouterPLoss[0], "0");
    EXPECT_TRUE(d.RouterPortTrafficUL[0].Empty());
}

TEST(TDaten, RemoveUsersWhereKeepsOrderAlignmentAndIndex)
{
    TDaten d;
    for (int i = 0; i < 6; ++i)
        d.AddUser("10.0.0." + std::to_string(i), "m" + std::to_string(i), "eth" + std::to_string(i), Noon);
    d.RemoveUsersWhere([&](std::size_t row) { return d.UserIP[row] == "10.0.0.1" || d.UserIP[row] == "10.0.0.2"
                                                    || d.UserIP[row] == "10.0.0.5"; });
    ASSERT_EQ(AlignedUserRows(d), 3u);
    EXPECT_EQ(d.UserIP[0], "10.0.0.0");
    EXPECT_EQ(d.UserIP[1], "10.0.0.3");
    EXPECT_EQ(d.UserDevice[1], "eth3");
    EXPECT_EQ(d.UserMAC[2], "m4");
    EXPECT_EQ(d.UserIP.IndexOf("10.0.0.4"), 2);
    EXPECT_EQ(d.UserIP.IndexOf("10.0.0.5"), -1);

    // A failing decision stops there: what was decided stays, the rest is kept whole.
    EXPECT_THROW(d.RemoveUsersWhere([&](std::size_t row) {
        if (row == 1)
            throw std::runtime_error("kaputt");
        return true;
    }),
                 std::runtime_error);
    ASSERT_EQ(AlignedUserRows(d), 2u);
    EXPECT_EQ(d.UserIP[0], "10.0.0.3");
    EXPECT_EQ(d.UserMAC[1], "m4");
    EXPECT_EQ(d.UserIP.IndexOf("10.0.0.4"), 1);
}

// The display redraws a user when the row's mark moved and starts afresh when the
// layout moved: every write of a shown column moves the mark of its row (and only
// of its row), every change to the rows as a whole moves the layout.
TEST(TDaten, WritesMoveTheRowMarkAndRowOperationsTheLayout)
{
    const TIpAddress v6 = *TIpAddress::Parse("2001:db8::5");
    struct {
        const char* Change;
        std::function<void(TDaten&)> Apply;
        std::vector<std::size_t> Marked;  // rows whose mark must move; the others must not
        bool Layout;
    } const cases[] = {
        {"a charge", [](TDaten& d) { d.UserDL.Add(1, 1500); }, {1}, false},
        {"a charge refused", [](TDaten& d) {
             d.UserUL.Set(2, "abc");
             EXPECT_ANY_THROW(d.UserUL.Add(2, 1));
         }, {2}, false},
        {"a counter set", [](TDaten& d) { d.UserCUL.Set(0, "7"); }, {0}, false},
        {"totals reset", [](TDaten& d) { d.ResetUserTotals(); }, {0, 1, 2, 3}, false},
        {"a row touched", [](TDaten& d) { d.MarkUser(3); }, {3}, false},
        {"an IPv6 address learned", [&](TDaten& d) { d.LearnIPv6(2, v6, Noon); }, {2}, false},
        {"the address moves", [&](TDaten& d) {
             d.LearnIPv6(2, v6, Noon);
             d.LearnIPv6(1, v6, Noon);
         }, {1, 2}, false},
        {"the address forgotten", [&](TDaten& d) {
             d.LearnIPv6(3, v6, Noon);
             d.ForgetIPv6(v6);
         }, {3}, false},
        {"a user added at the end", [](TDaten& d) { d.AddUser("10.0.0.9", "m9", "eth0", Noon); }, {}, false},
        {"a user removed", [](TDaten& d) { d.RemoveUser(1); }, {}, true},
        {"nobody removed", [](TDaten& d) { d.RemoveUsersWithAddress({"10.9.9.9"}); }, {}, false},
        {"users removed in one pass", [](TDaten& d) { d.RemoveUsersWithAddress({"10.0.0.2"}); }, {}, true},
        {"ports cleared", [](TDaten& d) { d.ClearUserPorts(); }, {}, true},
        {"all users cleared", [](TDaten& d) { d.ClearUsers(); }, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Change);
        TDaten d;
        for (int n = 0; n < 4; ++n)
            d.AddUser("10.0.0." + std::to_string(n), "m" + std::to_string(n), "eth0", Noon);
        std::vector<std::uint32_t> marks;
        for (std::size_t row = 0; row < d.UserCount(); ++row)
            marks.push_back(d.UserMark(row));
        const std::uint64_t layout = d.UserLayout();
        c.Apply(d);
        EXPECT_EQ(d.UserLayout() != layout, c.Layout);
        if (c.Layout)
            continue;
        ASSERT_GE(d.UserCount(), marks.size()) << "rows were only appended";
        std::vector<std::size_t> moved;
        for (std::size_t row = 0; row < marks.size(); ++row)
            if (d.UserMark(row) != marks[row])
                moved.push_back(row);
        EXPECT_EQ(moved, c.Marked);
    }
}

// Removing rows one at a time (a replaced client leaves from the middle of the table)
// keeps every lookup as a scan from the top would answer it: duplicates of a key, keys
// that collide in the index, dotted quads and other text, over many removals.
TEST(TDaten, RemovingRowsOneByOneKeepsEveryLookupRight)
{
    TDaten d;
    std::vector<std::string> model;
    std::uint32_t random = 12345;
    auto next = [&random](std::uint32_t below) {
        random = random * 1103515245U + 12345U;
        return (random >> 8) % below;
    };
    auto key = [&](std::uint32_t n) {
        return n % 7 == 0 ? "host-" + std::to_string(n) : "10.0." + std::to_string(n / 250) + "." + std::to_string(n % 250);
    };
    for (int step = 0; step < 4000; ++step) {
        if (model.size() < 50 || next(3) != 0) {
            const std::string k = key(next(120));  // few keys: many duplicates
            d.AddUser(k, "m", "eth0", Noon);
            model.push_back(k);
        } else {
            const std::size_t at = next(static_cast<std::uint32_t>(model.size()));
            d.RemoveUser(static_cast<int>(at));
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        }
        // A lookup keeps the index up to date, so the next removal patches it.
        const std::string probe = key(next(120));
        const auto probeFound = std::find(model.begin(), model.end(), probe);
        ASSERT_EQ(d.UserIP.IndexOf(probe), probeFound == model.end() ? -1 : static_cast<int>(probeFound - model.begin()));
        if (step % 97 != 0)
            continue;
        ASSERT_EQ(AlignedUserRows(d), model.size());
        for (std::uint32_t n = 0; n < 120; ++n) {
            const std::string k = key(n);
            const auto found = std::find(model.begin(), model.end(), k);
            const int expected = found == model.end() ? -1 : static_cast<int>(found - model.begin());
            ASSERT_EQ(d.UserIP.IndexOf(k), expected) << k << " at step " << step;
            if (const auto v4 = TIpAddress::ParseV4(k)) {
                ASSERT_EQ(d.UserIP.IndexOfV4(v4->V4Value()), expected) << k << " at step " << step;
            }
        }
    }
}
