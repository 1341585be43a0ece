// Tables that any sender on the network can grow: router rows (one per flow sender),
// user rows (one per announced address) and rows of devices known only by IPv6. Each
// is bounded; rows that exist are kept, what does not fit is refused and counted.
#include "FlowAccounting.h"
#include "FlowDatagramBuilder.h"
#include "MacAnnouncement.h"
#include "TDaten.h"
#include "TStateFile.h"
#include "TemplateDatagramBuilder.h"
#include "TextForms.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
const std::string RealRouter = "192.168.1.1";

TLocalTime After(const TLocalTime& start, std::int64_t ms)
{
    TLocalTime t = start;
    const std::int64_t total = t.MsOfDay + ms;
    t.Day += static_cast<std::int32_t>(total / TLocalTime::MsPerDay);
    t.MsOfDay = static_cast<std::int32_t>(total % TLocalTime::MsPerDay);
    return t;
}

// A made-up sender address per number: 10.x.y.z.
std::string Spoofed(int i)
{
    return "10." + std::to_string((i >> 16) & 0xFF) + "." + std::to_string((i >> 8) & 0xFF) + "."
           + std::to_string(i & 0xFF);
}

std::string Mac(int i)
{
    char text[32];
    std::snprintf(text, sizeof text, "02:01:00:%02x:%02x:%02x", (i >> 16) & 0xFF, (i >> 8) & 0xFF, i & 0xFF);
    return text;
}

class TableBounds : public ::testing::Test {
protected:
    TableBounds() { d.LocalSubnets = {"192.168", "2001:db8:1::/64"}; }

    // The real router: one upload of 1,000 octets per datagram, sequence in step.
    void RealDatagram(const TLocalTime& now)
    {
        const TDatagramOutcome outcome = AccountFlowDatagram(
            d, TFlowDatagramBuilder(RealSequence).Add(Ip(192, 168, 1, 2), 40000, Ip(8, 8, 8, 8), 443, 1000).Bytes(),
            RealRouter, now);
        ASSERT_FALSE(outcome.Failed()) << outcome.Error;
        ++RealSequence;
        ++RealDatagrams;
    }

    // A spoofed sender: one v9 header and nothing else.
    void SpoofedHeader(int i, const TLocalTime& now)
    {
        const std::vector<std::uint8_t> header = TTemplateDatagramBuilder(9, 1).Bytes();
        AccountFlowDatagram(d, header, Spoofed(i), now, 2055);
    }

    TDatagramOutcome Announce(const std::string& ip, const std::string& mac, const TLocalTime& now = Noon)
    {
        const std::string text = "f0 " + ip + " f2 f3 " + mac + " f5 br-lan\n";
        return AccountMacAnnouncement(d, {reinterpret_cast<const unsigned char*>(text.data()), text.size()}, RealRouter,
                                      Count, now);
    }

    void ExpectRealRouterExact()
    {
        const int row = d.RouterIP.IndexOf(RealRouter);
        ASSERT_GE(row, 0) << "the real router keeps its row";
        EXPECT_EQ(d.RouterUpload.Value(static_cast<std::size_t>(row)), 1000 * RealDatagrams);
        EXPECT_EQ(d.RouterPLoss[static_cast<std::size_t>(row)], "0");
        EXPECT_EQ(d.UserUL.Value(static_cast<std::size_t>(d.UserIP.IndexOf("192.168.1.2"))), 1000 * RealDatagrams);
    }

    TDaten d;
    std::int32_t Count = 0;
    std::uint32_t RealSequence = 1;
    std::int64_t RealDatagrams = 0;
};
}

// A flood of senders of one v9 header each fills the router table up to its bound and
// no further; the real router, sending in between, keeps its row and every octet. An
// hour later the made-up senders are silent and give way to new senders; the real
// router, still sending every ten seconds, stays.
TEST_F(TableBounds, RouterTableIsBoundedAndARealRouterKeepsItsRowAndItsOctets)
{
    d.AddUser("192.168.1.2", "02:00:00:00:00:02", "eth1", Noon);
    RealDatagram(Noon);
    constexpr int Flood = 20'000;
    for (int i = 0; i < Flood; ++i) {
        SpoofedHeader(i, Noon);
        if (i % 1000 == 0)
            RealDatagram(Noon);
    }
    EXPECT_EQ(d.RouterCount(), TDaten::MaxRouters);
    EXPECT_EQ(d.RoutersRefused, static_cast<std::uint64_t>(Flood - (TDaten::MaxRouters - 1)));
    EXPECT_EQ(d.RoutersDropped, 0u);
    ExpectRealRouterExact();

    // The real router goes on every ten seconds for an hour and a minute.
    TLocalTime now = Noon;
    for (int tick = 0; tick < 366; ++tick) {
        now = After(now, 10'000);
        RealDatagram(now);
    }
    SpoofedHeader(Flood, now);
    EXPECT_EQ(d.RoutersDropped, TDaten::MaxRouters - 1) << "every made-up sender was silent for an hour";
    EXPECT_EQ(d.RouterCount(), 2u);
    EXPECT_GE(d.RouterIP.IndexOf(Spoofed(Flood)), 0) << "the new sender got a row";
    ExpectRealRouterExact();
    for (std::size_t column : {d.RouterTime.size(), d.RouterPLoss.size(), d.RouterFlow.size(), d.RouterSeenMs.size(),
                               d.RouterPortTrafficUL.size(), d.RouterPortTrafficDL.size(), d.RouterUpload.size()})
        EXPECT_EQ(column, d.RouterCount()) << "every router column keeps its length";
}

// The user table takes new devices up to its bound, then refuses them (counted); a
// device announced again, or another MAC on a known address, still changes its row.
TEST_F(TableBounds, UserTableRefusesNewDevicesWhenFullAndKeepsItsRows)
{
    for (int i = 0; i < static_cast<int>(TDaten::MaxUsers) - 1; ++i)
        ASSERT_TRUE(d.AddUser(Spoofed(i), Mac(i), "br-lan", Noon));
    d.LocalSubnets.push_back("10");
    Announce("192.168.7.1", "02:00:00:00:07:01");
    EXPECT_EQ(d.UserCount(), TDaten::MaxUsers);
    EXPECT_EQ(d.UsersRefused, 0u);

    Announce("192.168.7.2", "02:00:00:00:07:02");
    Announce("192.168.7.3", "02:00:00:00:07:03");
    EXPECT_EQ(d.UserCount(), TDaten::MaxUsers);
    EXPECT_EQ(d.UsersRefused, 2u);
    EXPECT_EQ(d.UserIP.IndexOf("192.168.7.2"), -1);

    // Rows that exist go on as before: a refresh, and a new MAC on a known address.
    Announce("192.168.7.1", "02:00:00:00:07:01", After(Noon, 5000));
    EXPECT_EQ(d.UserMACTime[d.UserIP.IndexOf("192.168.7.1")], StampText(After(Noon, 5000)));
    Announce(Spoofed(5), "02:00:00:00:05:55");
    const int replaced = d.UserIP.IndexOf(Spoofed(5));
    ASSERT_GE(replaced, 0);
    EXPECT_EQ(d.UserMAC[replaced], "02:00:00:00:05:55");
    EXPECT_EQ(d.UserCount(), TDaten::MaxUsers);
    EXPECT_EQ(d.UsersRefused, 2u);
}

// A row known only by IPv6 goes again once it holds no traffic and was not announced
// for the online time-out (138.24 s); any octets keep it, and rows of IPv4 devices are
// never touched by this rule.
TEST_F(TableBounds, IdleRowsKnownOnlyByIPv6GoAgain)
{
    const struct {
        const char* Name;
        const char* Key;
        std::int64_t AnnouncedMsAgo;
        int Column;  // counter given 1 octet: 0 DL, 1 UL, 2 CDL, 3 CUL, -1 none
        bool Kept;
        // The state file keeps neither the announcement time nor the interval counters:
        // after a restart only the totals hold a row until it is announced again.
        bool KeptAfterRestart;
    } cases[] = {
        {"idle beyond the time-out", "2001:db8:1::1", 138'300, -1, false, false},
        {"announced within the time-out", "2001:db8:1::2", 138'000, -1, true, false},
        {"total download", "2001:db8:1::3", 600'000, 0, true, true},
        {"total upload", "2001:db8:1::4", 600'000, 1, true, true},
        {"interval download only", "2001:db8:1::5", 600'000, 2, true, false},
        {"interval upload only", "2001:db8:1::6", 600'000, 3, true, false},
        {"an IPv4 device", "192.168.1.9", 600'000, -1, true, true},
    };
    const TLocalTime now = After(Noon, 3'600'000);
    for (const auto& c : cases) {
        ASSERT_TRUE(d.AddUser(c.Key, Mac(static_cast<int>(d.UserCount())), "br-lan", After(now, -c.AnnouncedMsAgo)));
        if (c.Column >= 0)
            d.UserCounters.SetValue(d.UserCount() - 1, static_cast<std::size_t>(c.Column), 1);
    }
    const std::string file = TStateFile::Format(d);
    TDaten loaded;
    TStateFile::Parse(loaded, file);

    // As it runs, and after a restart from the state file (the addresses are not saved).
    for (TDaten* daten : {&d, &loaded}) {
        const bool restarted = daten == &loaded;
        SCOPED_TRACE(restarted ? "after a restart" : "running");
        EXPECT_EQ(daten->RemoveIdleIPv6Rows(now), restarted ? 4u : 1u);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.Name);
            EXPECT_EQ(daten->UserIP.IndexOf(c.Key) >= 0, restarted ? c.KeptAfterRestart : c.Kept);
        }
        EXPECT_EQ(daten->IPv6User(*TIpAddress::ParseV6("2001:db8:1::1")), -1);
        EXPECT_EQ(daten->IPv6User(*TIpAddress::ParseV6("2001:db8:1::3")), daten->UserIP.IndexOf("2001:db8:1::3"));
    }
}

// Once the room for devices known only by IPv6 is full, a new one is refused (counted);
// after the time-out the idle rows go and a new device gets a row again.
TEST_F(TableBounds, RoomForIPv6OnlyDevicesComesBackAfterTheTimeOut)
{
    auto address = [](int i) {
        char text[48];
        std::snprintf(text, sizeof text, "2001:db8:1::%x:%x", (i >> 16) & 0xFFFF, i & 0xFFFF);
        return std::string(text);
    };
    const int bound = static_cast<int>(TIPv6Aliases::MaxOwnRows);
    for (int i = 0; i < bound; ++i)
        Announce(address(i), Mac(i));
    ASSERT_EQ(d.UserCount(), TIPv6Aliases::MaxOwnRows);
    Announce(address(bound), Mac(bound));
    EXPECT_EQ(d.UserIP.IndexOf(address(bound)), -1);
    EXPECT_EQ(d.IPv6RowsRefused, 1u);

    const TLocalTime later = After(Noon, 140'000);
    EXPECT_EQ(d.RemoveIdleIPv6Rows(later), TIPv6Aliases::MaxOwnRows);
    Announce(address(bound + 1), Mac(bound + 1), later);
    EXPECT_EQ(d.UserIP.IndexOf(address(bound + 1)), 0);
    EXPECT_EQ(d.IPv6User(*TIpAddress::ParseV6(address(bound + 1))), 0);
}
