#include "MacAnnouncement.h"
#include "TDaten.h"
#include "TextForms.h"

#include <gtest/gtest.h>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
const TLocalTime Later = TLocalTime::FromCivil(2026, 12, 10, 12, 1, 0);
const std::string Router = "192.168.1.1";
const std::string MacA = "02:00:00:00:00:0a";
const std::string MacB = "02:00:00:00:00:0b";

TIpAddress V6(const std::string& text)
{
    return *TIpAddress::Parse(text);
}

class IPv6Announcements : public ::testing::Test {
protected:
    IPv6Announcements() { d.LocalSubnets = {"192.168"}; }

    TDatagramOutcome Announce(const std::string& ip, const std::string& mac, const TLocalTime& now = Noon,
                              const std::string& device = "br-lan")
    {
        const std::string text = "f0 " + ip + " f2 f3 " + mac + " f5 " + device + "\n";
        return AccountMacAnnouncement(d, {reinterpret_cast<const unsigned char*>(text.data()), text.size()}, Router,
                                      Count, now);
    }

    int Row(const std::string& ipv6) const { return d.IPv6User(V6(ipv6)); }

    TDaten d;
    std::int32_t Count = 0;
};
}

TEST_F(IPv6Announcements, AddressJoinsTheRowWithItsMac)
{
    Announce("192.168.1.20", MacB);
    Announce("192.168.1.10", MacA);
    d.UserName[1] = "Laptop";
    const TDatagramOutcome outcome = Announce("2001:db8::a", MacA, Later, "wlan0");
    EXPECT_FALSE(outcome.Failed());
    ASSERT_TRUE(outcome.Memo.has_value());
    EXPECT_EQ(*outcome.Memo, (std::vector<std::string>{"IP:192.168.1.1 (48)", MacA, "2001:db8::a [3]"}))
        << "shown like an IPv4 announcement";
    ASSERT_EQ(d.UserCount(), 2u) << "no row of its own";
    EXPECT_EQ(Row("2001:db8::a"), 1);
    EXPECT_EQ(d.UserName[1], "Laptop");
    EXPECT_EQ(d.UserMACTime[1], StampText(Later)) << "the device counts as announced";
    EXPECT_EQ(d.UserDevice[1], "wlan0");
    EXPECT_EQ(d.UserMACTime[0], StampText(Noon));

    // Written in any form, it is the same address.
    Announce("2001:DB8:0:0::A", MacA, Later);
    EXPECT_EQ(d.UserIPv6[1].size(), 1u);
}

TEST_F(IPv6Announcements, AddressWaitsForItsDevice)
{
    Announce("2001:db8::a", MacA);
    Announce("2001:db8::a:2", MacA);
    EXPECT_EQ(d.UserCount(), 0u) << "not local, and no row has the MAC";
    EXPECT_EQ(Row("2001:db8::a"), -1);
    EXPECT_EQ(d.UserIPv6.PendingCount(), 2u);

    Announce("192.168.1.10", MacA, Later);
    ASSERT_EQ(d.UserCount(), 1u);
    EXPECT_EQ(Row("2001:db8::a"), 0);
    EXPECT_EQ(Row("2001:db8::a:2"), 0);
    EXPECT_EQ(d.UserIPv6.PendingCount(), 0u);

    // Waiting addresses expire with the online time-out.
    Announce("2001:db8::b", MacB, Noon);
    d.ForgetStaleIPv6(Later);
    EXPECT_EQ(d.UserIPv6.PendingCount(), 1u);
    d.ForgetStaleIPv6(TLocalTime::FromCivil(2026, 12, 10, 12, 3, 0));
    EXPECT_EQ(d.UserIPv6.PendingCount(), 0u);
    Announce("192.168.1.11", MacB, Later);
    EXPECT_EQ(Row("2001:db8::b"), -1);
}

TEST_F(IPv6Announcements, LocalDeviceKnownOnlyByIPv6GetsItsRowUntilItsIPv4Appears)
{
    d.LocalSubnets.push_back("2001:db8:1::/64");
    Announce("2001:DB8:1:0::5", MacA);
    ASSERT_EQ(d.UserCount(), 1u);
    EXPECT_EQ(d.UserIP[0], "2001:db8:1::5") << "keyed by the canonical text";
    EXPECT_EQ(d.UserMAC[0], MacA);
    EXPECT_EQ(Row("2001:db8:1::5"), 0);
    // Its other addresses, local or not, join it.
    Announce("2001:db8:1::6", MacA);
    Announce("2001:db8:9::6", MacA);
    EXPECT_EQ(d.UserCount(), 1u);
    EXPECT_EQ(Row("2001:db8:1::6"), 0);
    EXPECT_EQ(Row("2001:db8:9::6"), 0);
    // Outside the local networks and with a MAC without row: no row.
    Announce("2001:db8:2::7", MacB);
    EXPECT_EQ(d.UserCount(), 1u);

    d.UserDL.Set(0, "4000");
    d.UserCUL.Set(0, "300");
    d.UserName[0] = "Kamera";
    Announce("192.168.1.30", MacA, Later);
    ASSERT_EQ(d.UserCount(), 1u) << "one device, one row";
    EXPECT_EQ(d.UserIP[0], "192.168.1.30");
    EXPECT_EQ(d.UserDL.Text(0), "4000");
    EXPECT_EQ(d.UserCUL.Text(0), "300");
    EXPECT_EQ(d.UserName[0], "Kamera");
    for (const char* address : {"2001:db8:1::5", "2001:db8:1::6", "2001:db8:9::6"})
        EXPECT_EQ(Row(address), 0) << address;
    // From now on its IPv6 addresses only refresh it.
    Announce("2001:db8:1::5", MacA, Later);
    EXPECT_EQ(d.UserCount(), 1u);
}

TEST_F(IPv6Announcements, AnAddressAnnouncedWithAnotherMacMoves)
{
    d.LocalSubnets.push_back("2001:db8:1::/64");
    Announce("192.168.1.10", MacA);
    Announce("192.168.1.11", MacB);
    Announce("2001:db8:1::1", MacA);
    ASSERT_EQ(Row("2001:db8:1::1"), 0);

    Announce("2001:db8:1::1", MacB, Later);
    EXPECT_EQ(Row("2001:db8:1::1"), 1);
    EXPECT_EQ(d.UserIPv6[0].size(), 0u);
    EXPECT_EQ(d.UserMACTime[1], StampText(Later));

    // A MAC without a row: the address leaves its old device and, being local, is a
    // device of its own.
    const std::string macC = "02:00:00:00:00:0c";
    Announce("2001:db8:1::1", macC, Later);
    EXPECT_EQ(d.UserIPv6[1].size(), 0u);
    ASSERT_EQ(d.UserCount(), 3u);
    EXPECT_EQ(d.UserIP[2], "2001:db8:1::1");
    EXPECT_EQ(Row("2001:db8:1::1"), 2);

    // That device's own address announced with yet another MAC: another client, as a
    // changed MAC on an IPv4 address is.
    d.UserDL.Set(2, "999");
    const std::string macD = "02:00:00:00:00:0d";
    Announce("2001:db8:1::1", macD, Later);
    ASSERT_EQ(d.UserCount(), 3u);
    EXPECT_EQ(d.UserIP[2], "2001:db8:1::1");
    EXPECT_EQ(d.UserMAC[2], macD);
    EXPECT_EQ(d.UserDL.Text(2), "0");

    // Not local and the MAC has no row: it waits.
    Announce("2001:db8:5::1", MacA);
    Announce("2001:db8:5::1", macC);
    EXPECT_EQ(Row("2001:db8:5::1"), -1);
    EXPECT_EQ(d.UserIPv6[0].size(), 0u);
}

TEST_F(IPv6Announcements, WhatChangesNothing)
{
    Announce("192.168.1.10", MacA);
    d.LocalSubnets.push_back("::/0");
    const std::size_t rows = d.UserCount();
    struct {
        const char* Name;
        const char* Ip;
        const char* Mac;
    } const cases[] = {
        {"no MAC", "2001:db8::1", "00:00:00:00:00:00"},
        {"link-local", "fe80::1", MacA.c_str()},
        {"multicast", "ff02::1", MacA.c_str()},
        {"unspecified", "::", MacA.c_str()},
        {"loopback", "::1", MacA.c_str()},
        {"IPv4-mapped", "::ffff:192.168.1.10", MacA.c_str()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const TDatagramOutcome outcome = Announce(c.Ip, c.Mac, Later);
        ASSERT_TRUE(outcome.Memo.has_value());
        EXPECT_EQ(outcome.Memo->size(), 3u);
        EXPECT_EQ(d.UserCount(), rows);
        EXPECT_EQ(d.UserIPv6.Count(), 0u);
        EXPECT_EQ(d.UserIPv6.PendingCount(), 0u);
        EXPECT_EQ(d.UserMACTime[0], StampText(Noon));
    }
    // Text with colons that is no IPv6 address keeps the textual rule of the field.
    d.LocalIPs = {"fe80::1%eth0"};
    Announce("fe80::1%eth0", MacB);
    EXPECT_EQ(d.UserIP.IndexOf("fe80::1%eth0"), static_cast<int>(rows));
}

TEST_F(IPv6Announcements, FloodsStayWithinBounds)
{
    Announce("192.168.1.10", MacA);
    d.LocalSubnets.push_back("2001:db8:1::/64");
    auto address = [](const char* prefix, int i) {
        char text[64];
        std::snprintf(text, sizeof text, "%s%x:%x", prefix, i >> 16, i & 0xFFFF);
        return std::string(text);
    };
    auto mac = [](int i) {
        char text[32];
        std::snprintf(text, sizeof text, "02:01:00:%02x:%02x:%02x", (i >> 16) & 0xFF, (i >> 8) & 0xFF, i & 0xFF);
        return std::string(text);
    };
    // Distinct addresses for one known device: it keeps the latest few.
    for (int i = 0; i < 5000; ++i)
        Announce(address("2001:db8:2::", i), MacA);
    EXPECT_EQ(d.UserIPv6[0].size(), TIPv6Aliases::MaxPerUser);
    // Distinct addresses with distinct unknown MACs outside the local networks: a bounded wait.
    for (int i = 0; i < 10'000; ++i)
        Announce(address("2001:db8:3::", i), mac(i));
    EXPECT_EQ(d.UserIPv6.PendingCount(), TIPv6Aliases::MaxPending);
    // Inside a local network: rows of their own, up to the bound of addresses.
    const int flood = static_cast<int>(TIPv6Aliases::MaxOwnRows) + 1000;
    for (int i = 0; i < flood; ++i)
        Announce(address("2001:db8:1::", i), mac(i + 20'000));
    EXPECT_LE(d.UserIPv6.Count() - d.UserIPv6.LearnedCount(), TIPv6Aliases::MaxOwnRows);
    EXPECT_LE(d.UserCount(), TIPv6Aliases::MaxOwnRows + 1);
    EXPECT_EQ(d.UserIPv6.PendingCount(), TIPv6Aliases::MaxPending);
}
