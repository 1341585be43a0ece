#include "TDaten.h"
#include "TStateFile.h"
#include "TextForms.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <algorithm>
#include <functional>
#include <map>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

TIpAddress V6(const std::string& text)
{
    return *TIpAddress::Parse(text);
}

// Address number i of a device: 2001:db8:<device>::<i+1>.
TIpAddress DeviceAddress(int device, int i)
{
    // Both numbers in hex: a group holds four hex digits, and the tests go past 9,999
    // (16,385 devices for the bound, 10,000 addresses of one device for the waiting list).
    char text[40];
    std::snprintf(text, sizeof text, "2001:db8:%x::%x", static_cast<unsigned>(device), static_cast<unsigned>(i + 1));
    return V6(text);
}

TLocalTime After(const TLocalTime& time, std::int32_t ms)
{
    TLocalTime later = time;
    later.MsOfDay += ms;
    return later;
}

class UserAliases : public ::testing::Test {
protected:
    UserAliases() { AddDevices(); }

    // Five devices 10.0.0.1 .. 10.0.0.5, each with three IPv6 addresses.
    void AddDevices()
    {
        for (int device = 0; device < 5; ++device) {
            d.AddUser("10.0.0." + std::to_string(device + 1), "02:00:00:00:00:0" + std::to_string(device + 1),
                      "eth0", Noon);
            for (int i = 0; i < 3; ++i)
                EXPECT_TRUE(d.LearnIPv6(device, DeviceAddress(device, i), Noon));
        }
    }

    // Every address of every row is found at that row, and nothing else is found.
    void ExpectIndexMatchesRows()
    {
        ASSERT_EQ(d.UserIPv6.size(), d.UserCount());
        std::size_t total = 0;
        for (std::size_t row = 0; row < d.UserCount(); ++row) {
            for (const TUserAlias& alias : d.UserIPv6[row])
                EXPECT_EQ(d.IPv6User(alias.Address), static_cast<int>(row)) << alias.Address.Text();
            total += d.UserIPv6[row].size();
        }
        EXPECT_EQ(d.UserIPv6.Count(), total);
    }

    // The row of the device that was number `device` in the constructor, by its key.
    int RowOf(int device) const { return d.UserIP.IndexOf("10.0.0." + std::to_string(device + 1)); }

    TDaten d;
};
}

TEST_F(UserAliases, IndexFollowsRowRemovals)
{
    struct {
        const char* Name;
        std::function<void(TDaten&)> Change;
        std::vector<int> DevicesLeft;
    } const cases[] = {
        {"RemoveUser in the middle", [](TDaten& t) { t.RemoveUser(1); }, {0, 2, 3, 4}},
        {"RemoveUser of the first row", [](TDaten& t) { t.RemoveUser(0); }, {1, 2, 3, 4}},
        {"RemoveUser of the last row", [](TDaten& t) { t.RemoveUser(4); }, {0, 1, 2, 3}},
        {"RemoveUser outside the table", [](TDaten& t) { t.RemoveUser(5); }, {0, 1, 2, 3, 4}},
        {"removal of selected rows", [](TDaten& t) { t.RemoveUsersWithAddress({"10.0.0.1", "10.0.0.4"}); },
         {1, 2, 4}},
        {"removal of quiet rows",
         [](TDaten& t) {
             t.UserDL.Set(2, "5000");
             t.UserDL.Set(3, "5000");
             t.RemoveLowTrafficUsers(100);
         },
         {2, 3}},
        {"clearing the table", [](TDaten& t) { t.ClearUsers(); }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        d.ClearUsers();
        AddDevices();
        d.IPv6User(DeviceAddress(0, 0));  // the index is built before the change
        c.Change(d);
        ExpectIndexMatchesRows();
        for (int device = 0; device < 5; ++device) {
            const bool left = std::find(c.DevicesLeft.begin(), c.DevicesLeft.end(), device) != c.DevicesLeft.end();
            for (int i = 0; i < 3; ++i)
                EXPECT_EQ(d.IPv6User(DeviceAddress(device, i)), left ? RowOf(device) : -1)
                    << "device " << device << " address " << i;
        }
        // New rows and addresses after the change land in the right place.
        d.AddUser("10.0.0.9", "02:00:00:00:00:09", "eth0", Noon);
        EXPECT_TRUE(d.LearnIPv6(static_cast<int>(d.UserCount()) - 1, V6("2001:db8:9::1"), Noon));
        ExpectIndexMatchesRows();
        EXPECT_EQ(d.IPv6User(V6("2001:db8:9::1")), static_cast<int>(d.UserCount()) - 1);
    }
}

TEST_F(UserAliases, AnAddressBelongsToOneRowAndMoves)
{
    const TIpAddress moved = DeviceAddress(0, 1);
    EXPECT_TRUE(d.LearnIPv6(3, moved, Noon));
    EXPECT_EQ(d.IPv6User(moved), 3);
    EXPECT_EQ(d.UserIPv6[0].size(), 2u);
    EXPECT_EQ(d.UserIPv6[3].size(), 4u);
    ExpectIndexMatchesRows();
    d.ForgetIPv6(moved);
    EXPECT_EQ(d.IPv6User(moved), -1);
    ExpectIndexMatchesRows();
    EXPECT_FALSE(d.LearnIPv6(0, *TIpAddress::Parse("10.0.0.1"), Noon))
        << "IPv4 addresses are keys, not aliases";
    EXPECT_FALSE(d.LearnIPv6(99, moved, Noon));
}

TEST_F(UserAliases, BoundedPerDeviceAndInAll)
{
    // A flood of distinct addresses for one device: it keeps the 16 seen last.
    for (int i = 0; i < 1000; ++i)
        EXPECT_TRUE(d.LearnIPv6(0, DeviceAddress(50, i), After(Noon, i)));
    EXPECT_EQ(d.UserIPv6[0].size(), TIPv6Aliases::MaxPerUser);
    EXPECT_EQ(d.IPv6User(DeviceAddress(50, 999)), 0);
    EXPECT_EQ(d.IPv6User(DeviceAddress(50, 984)), 0);
    EXPECT_EQ(d.IPv6User(DeviceAddress(50, 983)), -1);
    EXPECT_EQ(d.IPv6User(DeviceAddress(0, 0)), -1) << "older than the flood";
    ExpectIndexMatchesRows();

    // Across many devices the total stays within its bound; a device without addresses
    // to give is refused, one with addresses gives its oldest.
    TDaten big;
    const int devices = static_cast<int>(TIPv6Aliases::MaxAliases / TIPv6Aliases::MaxPerUser) + 1;
    for (int device = 0; device < devices; ++device)
        big.AddUser("10." + std::to_string(device / 65536) + "." + std::to_string(device / 256 % 256) + "."
                        + std::to_string(device % 256),
                    "m" + std::to_string(device), "eth0", Noon);
    for (int device = 0; device + 1 < devices; ++device)
        for (int i = 0; i < static_cast<int>(TIPv6Aliases::MaxPerUser); ++i)
            ASSERT_TRUE(big.LearnIPv6(device, DeviceAddress(device, i), Noon));
    EXPECT_EQ(big.UserIPv6.LearnedCount(), TIPv6Aliases::MaxAliases);
    EXPECT_FALSE(big.LearnIPv6(devices - 1, DeviceAddress(devices - 1, 0), Noon));
    EXPECT_TRUE(big.LearnIPv6(0, DeviceAddress(0, 100), After(Noon, 1)));
    EXPECT_EQ(big.UserIPv6.LearnedCount(), TIPv6Aliases::MaxAliases);
    EXPECT_EQ(big.UserIPv6[0].size(), TIPv6Aliases::MaxPerUser);
    EXPECT_EQ(big.IPv6User(DeviceAddress(0, 100)), 0);
}

TEST_F(UserAliases, AddressesNotSeenForTheOnlineTimeoutAreForgotten)
{
    // 120 age units of 1.152 s: 138.24 s.
    ASSERT_EQ(TIPv6Aliases::TimeoutMs, 138'240);
    const TIpAddress fresh = DeviceAddress(1, 0);
    const TIpAddress seenByFlow = DeviceAddress(2, 0);
    const TLocalTime later = After(Noon, 100'000);
    d.LearnIPv6(1, fresh, later);
    EXPECT_EQ(d.SeenIPv6(seenByFlow, later), 2);
    d.RememberIPv6(V6("2001:db8:77::1"), "02:00:00:00:00:77", Noon);
    d.RememberIPv6(V6("2001:db8:77::2"), "02:00:00:00:00:77", later);

    d.ForgetStaleIPv6(After(Noon, 138'240));
    EXPECT_EQ(d.UserIPv6.LearnedCount(), 15u) << "exactly at the time-out nothing is forgotten";
    EXPECT_EQ(d.UserIPv6.PendingCount(), 2u);

    d.ForgetStaleIPv6(After(Noon, 138'241));
    EXPECT_EQ(d.IPv6User(fresh), 1);
    EXPECT_EQ(d.IPv6User(seenByFlow), 2);
    EXPECT_EQ(d.UserIPv6.LearnedCount(), 2u);
    EXPECT_EQ(d.UserIPv6.PendingCount(), 1u);
    ExpectIndexMatchesRows();

    // Across midnight the serial day keeps the age right.
    TLocalTime nextDay = Noon;
    nextDay.Day += 1;
    nextDay.MsOfDay = 0;
    d.ForgetStaleIPv6(nextDay);
    EXPECT_EQ(d.UserIPv6.Count(), 0u);
    EXPECT_EQ(d.UserIPv6.PendingCount(), 0u);
}

TEST(UserAliasesOfIPv6Devices, OwnKeyIsAnAliasForGoodAndSurvivesReloading)
{
    TDaten d;
    d.AddUser("2001:db8::10", "02:00:00:00:00:10", "br-lan", Noon);
    d.AddUser("10.0.0.1", "02:00:00:00:00:01", "br-lan", Noon);
    EXPECT_TRUE(d.UserIPv6.IsIPv6Only(0));
    EXPECT_FALSE(d.UserIPv6.IsIPv6Only(1));
    EXPECT_EQ(d.IPv6User(V6("2001:db8::10")), 0);
    EXPECT_FALSE(d.LearnIPv6(1, V6("2001:db8::10"), Noon)) << "another row's own key is not taken";
    TLocalTime nextDay = Noon;
    nextDay.Day += 2;
    d.ForgetStaleIPv6(nextDay);
    EXPECT_EQ(d.IPv6User(V6("2001:db8::10")), 0);

    // The state file keeps its layout; the own key comes back with the row.
    const std::string file = TStateFile::Format(d);
    TDaten loaded;
    TStateFile::Parse(loaded, file);
    EXPECT_EQ(TStateFile::Format(loaded), file);
    EXPECT_EQ(loaded.IPv6User(V6("2001:db8::10")), 0);
    EXPECT_EQ(loaded.UserIPv6.Count(), 1u);
}

TEST(UserAliasesOfIPv6Devices, IPv4RowTakesOverTheDevice)
{
    TDaten d;
    d.AddUser("10.0.0.5", "02:00:00:00:00:05", "eth0", Noon);
    d.AddUser("2001:db8::10", "02:00:00:00:00:10", "br-lan", Noon);
    d.LearnIPv6(1, V6("2001:db8::11"), Noon);
    d.UserDL.Set(1, "1000");
    d.UserUL.Set(1, "200");
    d.UserCDL.Set(1, "100");
    d.UserCUL.Set(1, "20");
    d.UserCPort[1].Add(443, 100);
    d.UserName[1] = "Telefon";
    d.UserLastTime[1] = StampText(Noon);
    d.RememberIPv6(V6("2001:db8::12"), "02:00:00:00:00:10", Noon);
    d.RememberIPv6(V6("2001:db8::99"), "02:00:00:00:00:99", Noon);

    d.AddUser("10.0.0.10", "02:00:00:00:00:10", "br-lan", Noon);
    EXPECT_EQ(d.JoinDevice(2, Noon), 1);
    ASSERT_EQ(d.UserCount(), 2u);
    EXPECT_EQ(d.UserIP[1], "10.0.0.10");
    EXPECT_EQ(d.UserDL.Text(1), "1000");
    EXPECT_EQ(d.UserUL.Text(1), "200");
    EXPECT_EQ(d.UserCDL.Text(1), "100");
    EXPECT_EQ(d.UserCUL.Text(1), "20");
    EXPECT_EQ(d.UserCPort[1].ToText(), "443:100");
    EXPECT_EQ(d.UserName[1], "Telefon");
    EXPECT_EQ(d.UserLastTime[1], StampText(Noon));
    for (const char* text : {"2001:db8::10", "2001:db8::11", "2001:db8::12"})
        EXPECT_EQ(d.IPv6User(V6(text)), 1) << text;
    EXPECT_EQ(d.IPv6User(V6("2001:db8::99")), -1);
    EXPECT_EQ(d.UserIPv6.PendingCount(), 1u);
    EXPECT_FALSE(d.UserIPv6.IsIPv6Only(1));
    EXPECT_EQ(d.UserOfMac("02:00:00:00:00:10"), 1);
    EXPECT_EQ(d.UserOfMac("02:00:00:00:00:05"), 0);
    EXPECT_EQ(d.UserOfMac("02:00:00:00:00:99"), -1);
}

TEST(UserAliasesOfIPv6Devices, RememberedAddressesAreBounded)
{
    TDaten d;
    for (int i = 0; i < 1000; ++i)
        d.RememberIPv6(DeviceAddress(1, i), "02:00:00:00:00:01", After(Noon, i));
    EXPECT_EQ(d.UserIPv6.PendingCount(), TIPv6Aliases::MaxPendingPerMac);
    for (int i = 0; i < 10'000; ++i)
        d.RememberIPv6(DeviceAddress(2, i), "m" + std::to_string(i), Noon);
    EXPECT_EQ(d.UserIPv6.PendingCount(), TIPv6Aliases::MaxPending);
    d.AddUser("10.0.0.1", "02:00:00:00:00:01", "eth0", Noon);
    d.JoinDevice(0, Noon);
    EXPECT_EQ(d.UserIPv6[0].size(), TIPv6Aliases::MaxPerUser);
    EXPECT_EQ(d.IPv6User(DeviceAddress(1, 999)), 0) << "the newest were kept";
}

// Addresses that come, move, are seen and go, against a plain map: the index, the place
// of each address in its row and its last-seen time must agree after every step. The
// pool is small, so probe runs collide and removals shift entries in the table.
TEST(UserAliasesChurn, AgreesWithASimpleModel)
{
    struct TModelEntry {
        int Row;
        std::int64_t Seen;
    };
    TDaten d;
    std::map<std::string, TModelEntry> model;
    std::vector<TIpAddress> pool;
    for (int i = 0; i < 300; ++i)
        pool.push_back(V6("2001:db8:" + std::to_string(i % 7) + "::" + std::to_string(i * 37 % 1000 + 1)));
    auto addRow = [&] { d.AddUser("10.1.0." + std::to_string(d.UserCount() + 1), "m", "eth0", Noon); };
    for (int i = 0; i < 6; ++i)
        addRow();

    std::uint32_t random = 12345;
    auto next = [&](std::uint32_t n) {
        random = random * 1664525u + 1013904223u;
        return (random >> 8) % n;
    };
    for (int step = 0; step < 20'000; ++step) {
        SCOPED_TRACE(step);
        const TLocalTime now = After(Noon, step);
        const std::int64_t moment = TIPv6Aliases::Moment(now);
        const TIpAddress& address = pool[next(static_cast<std::uint32_t>(pool.size()))];
        const std::string key = address.Text();
        switch (next(10)) {
        case 0:
            d.ForgetIPv6(address);
            model.erase(key);
            break;
        case 1:
            if (const int row = d.SeenIPv6(address, now); row >= 0) {
                ASSERT_TRUE(model.contains(key));
                model[key].Seen = moment;
            } else {
                ASSERT_FALSE(model.contains(key));
            }
            break;
        case 2:
            if (next(20) == 0) {
                const int row = static_cast<int>(next(static_cast<std::uint32_t>(d.UserCount())));
                d.RemoveUser(row);
                std::erase_if(model, [&](const auto& entry) { return entry.second.Row == row; });
                for (auto& entry : model)
                    if (entry.second.Row > row)
                        --entry.second.Row;
                addRow();
            }
            break;
        default: {
            const int row = static_cast<int>(next(static_cast<std::uint32_t>(d.UserCount())));
            ASSERT_TRUE(d.LearnIPv6(row, address, now));
            const auto known = model.find(key);
            if (known != model.end() && known->second.Row == row) {
                known->second.Seen = moment;
                break;
            }
            if (known != model.end())
                model.erase(known);
            std::vector<std::string> ofRow;
            for (const auto& [text, entry] : model)
                if (entry.Row == row)
                    ofRow.push_back(text);
            if (ofRow.size() >= TIPv6Aliases::MaxPerUser) {
                const auto oldest = std::min_element(ofRow.begin(), ofRow.end(), [&](const auto& a, const auto& b) {
                    return model[a].Seen < model[b].Seen;
                });
                model.erase(*oldest);
            }
            model[key] = {row, moment};
        }
        }
        if (step % 97 != 0 && step < 19'990)
            continue;
        std::size_t total = 0;
        for (std::size_t row = 0; row < d.UserCount(); ++row) {
            for (const TUserAlias& alias : d.UserIPv6[row]) {
                const auto entry = model.find(alias.Address.Text());
                ASSERT_NE(entry, model.end()) << alias.Address.Text();
                EXPECT_EQ(entry->second.Row, static_cast<int>(row));
                EXPECT_EQ(entry->second.Seen, alias.LastSeen) << alias.Address.Text();
            }
            total += d.UserIPv6[row].size();
        }
        ASSERT_EQ(total, model.size());
        for (const TIpAddress& probe : pool) {
            const auto entry = model.find(probe.Text());
            ASSERT_EQ(d.IPv6User(probe), entry == model.end() ? -1 : entry->second.Row) << probe.Text();
        }
    }
}
