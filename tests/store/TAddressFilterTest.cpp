#include "TDaten.h"

#include <gtest/gtest.h>

namespace {
using TList = std::vector<std::string>;

// Every rule of the local lists holds for the hide lists as well.
struct TFilterCase {
    const char* Name;
    TList Subnets;
    TList Addresses;
    const char* Address;
    bool Matches;
};

const TFilterCase FilterCases[] = {
    // The textual rule, as every existing state file means it.
    {"subnet then dot", {"10"}, {}, "10.1.2.3", true},
    {"subnet is no text prefix", {"10"}, {}, "100.1.2.3", false},
    {"subnet of three octets", {"192.168.1"}, {}, "192.168.1.20", true},
    {"subnet does not cover its neighbour", {"192.168.1"}, {}, "192.168.10.20", false},
    {"subnet alone is not inside itself", {"192.168.1"}, {}, "192.168.1", false},
    {"subnet with trailing dot matches nothing", {"192.168.1."}, {}, "192.168.1.20", false},
    {"subnet with trailing space matches nothing", {"192.168.1 "}, {}, "192.168.1.20", false},
    {"empty subnet matches nothing", {""}, {}, "192.168.1.20", false},
    {"whole address equal", {}, {"192.168.1.5"}, "192.168.1.5", true},
    {"whole address is no prefix", {}, {"192.168.1.50"}, "192.168.1.5", false},
    {"empty address entry matches the empty text", {}, {""}, "", true},
    {"empty lists match nothing", {}, {}, "10.0.0.1", false},
    {"IPv6 text equal as typed", {}, {"2001:db8::5"}, "2001:db8::5", true},
    {"IPv6 text compared as text", {}, {"2001:DB8::5"}, "2001:db8::5", false},
    {"text that is no address", {"a"}, {}, "a.b", true},
    // Networks, written with "/", in either list.
    {"IPv4 network", {"192.168.1.0/24"}, {}, "192.168.1.77", true},
    {"IPv4 network excludes others", {"192.168.1.0/24"}, {}, "192.168.2.1", false},
    {"IPv4 network in the address list", {}, {"10.0.0.0/8"}, "10.20.30.40", true},
    {"IPv4 network on a non-octet border", {"172.16.0.0/12"}, {}, "172.20.1.1", true},
    {"IPv6 network", {"2001:db8:1::/64"}, {}, "2001:db8:1::abcd", true},
    {"IPv6 network excludes others", {"2001:db8:1::/64"}, {}, "2001:db8:2::1", false},
    {"IPv6 network and a non-canonical address text", {"2001:db8:1::/64"}, {}, "2001:DB8:1:0::1", true},
    {"IPv4 network never holds IPv6", {"0.0.0.0/0"}, {}, "2001:db8::1", false},
    {"network entry is not text", {"10.0.0.0/8"}, {}, "10.0.0.0/8.1", false},
    {"network entry is no whole address", {}, {"10.0.0.0/8"}, "10.0.0.0/8", false},
    {"invalid network matches nothing", {"192.168.1.0/33"}, {}, "192.168.1.1", false},
    {"network without address matches nothing", {"192.168.1/24"}, {}, "192.168.1.1", false},
    {"network with a blank matches nothing", {"192.168.1.0/24 "}, {}, "192.168.1.1", false},
    {"text that is no address is outside every network", {"0.0.0.0/0", "::/0"}, {}, "localhost", false},
    {"textual and network entries together", {"10", "2001:db8::/32"}, {"192.168.0.1"}, "2001:db8:ff::1", true},
};
}

TEST(AddressFilter, LocalAndHiddenFollowOneTable)
{
    for (const TFilterCase& c : FilterCases) {
        SCOPED_TRACE(c.Name);
        TDaten d;
        d.LocalSubnets = c.Subnets;
        d.LocalIPs = c.Addresses;
        d.HideSubnets = c.Subnets;
        d.HideIPs = c.Addresses;
        EXPECT_EQ(d.IsLocalAddress(c.Address), c.Matches);
        EXPECT_EQ(d.IsHiddenAddress(c.Address), c.Matches);
        // The two families of lists stay apart.
        d.HideSubnets.clear();
        d.HideIPs.clear();
        EXPECT_EQ(d.IsLocalAddress(c.Address), c.Matches);
        EXPECT_FALSE(d.IsHiddenAddress(c.Address));
    }
}

// The flow path asks with binary addresses: the answer must be the one the text rule
// gives for the address's own text, whatever the entries.
TEST(AddressFilter, BinaryAddressesGetTheAnswerOfTheirText)
{
    const TList subnets = {"10", "192.168.1", "172.016", "1.2.3.4", "192.168.", "", "256", "::ffff:10",
                           "2001:db8:1::/64", "172.16.0.0/12", "bad/99"};
    const TList addresses = {"192.168.5.5", "010.0.0.1", "2001:db8::5", "2001:DB8::6", "::ffff:192.0.2.1", ""};
    const char* probes[] = {"10.1.2.3", "100.1.2.3", "192.168.1.9", "192.168.10.9", "172.16.0.1", "172.31.255.255",
                            "172.32.0.1", "1.2.3.4", "192.168.5.5", "10.0.0.1", "2001:db8::5", "2001:db8::6",
                            "2001:db8:1::77", "2001:db8:2::1", "::ffff:10.1.1.1", "::ffff:192.0.2.1", "fe80::1",
                            "0.0.0.0", "255.255.255.255"};
    TDaten d;
    d.LocalSubnets = subnets;
    d.LocalIPs = addresses;
    for (const char* text : probes) {
        SCOPED_TRACE(text);
        const auto address = TIpAddress::Parse(text);
        ASSERT_TRUE(address.has_value());
        ASSERT_EQ(address->Text(), text) << "probes are written canonically";
        EXPECT_EQ(d.IsLocalAddress(*address), d.IsLocalAddress(text));
    }
    // Spot checks that the table above is not trivially all false.
    EXPECT_TRUE(d.IsLocalAddress(*TIpAddress::Parse("10.1.2.3")));
    EXPECT_TRUE(d.IsLocalAddress(*TIpAddress::Parse("172.20.0.1")));
    EXPECT_TRUE(d.IsLocalAddress(*TIpAddress::Parse("2001:db8::5")));
    EXPECT_TRUE(d.IsLocalAddress(*TIpAddress::Parse("::ffff:10.1.1.1")));
    EXPECT_FALSE(d.IsLocalAddress(*TIpAddress::Parse("2001:db8::6")));
}

TEST(AddressFilter, ListsChangedInPlaceTakeEffectAtOnce)
{
    TDaten d;
    const auto inside = *TIpAddress::Parse("2001:db8:1::1");
    EXPECT_FALSE(d.IsLocalAddress(inside));
    d.LocalSubnets.push_back("2001:db8:1::/64");
    EXPECT_TRUE(d.IsLocalAddress(inside));
    EXPECT_TRUE(d.IsLocalAddress("2001:db8:1::1"));
    d.LocalSubnets[0] = "2001:db8:2::/64";  // same length, same place, other network
    EXPECT_FALSE(d.IsLocalAddress(inside));
    EXPECT_FALSE(d.IsLocalAddress("2001:db8:1::1"));
    d.LocalSubnets.clear();
    d.LocalIPs = {"2001:db8:1::1"};
    EXPECT_TRUE(d.IsLocalAddress(inside));
    d.HideIPs = {"2001:db8:1::/48"};
    EXPECT_TRUE(d.IsHiddenAddress(inside));
    EXPECT_TRUE(d.IsLocalAddress(inside)) << "hiding never changes what is local";
}
