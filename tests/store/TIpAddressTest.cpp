#include "TIpAddress.h"

#include <gtest/gtest.h>

TEST(TIpAddress, CanonicalTextOfIPv6)
{
    struct {
        const char* In;
        const char* Canonical;
    } const cases[] = {
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},  // lower case, no leading zeros
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},               // first of two equal runs
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},                     // longest run wins
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},            // one zero group stays "0"
        {"2001:db8:0:1:0:1:0:1", "2001:db8:0:1:0:1:0:1"},            // several single zero groups
        {"0:0:0:0:0:0:0:0", "::"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"1:0:0:0:0:0:0:0", "1::"},                                  // trailing run
        {"0:0:1:0:0:0:0:0", "0:0:1::"},
        {"0:0:0:1:2:3:4:5", "::1:2:3:4:5"},                          // leading run
        {"1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7:0"},
        {"0:1:2:3:4:5:6:7", "0:1:2:3:4:5:6:7"},
        {"fe80::ABCD:ef01", "fe80::abcd:ef01"},
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},                    // IPv4-mapped in mixed form
        {"::ffff:c000:0201", "::ffff:192.0.2.1"},
        {"::2:3", "::2:3"},                                          // not the deprecated ::0.2.0.3
        {"::1.2.3.4", "::102:304"},
        {"2001:db8::1.2.3.4", "2001:db8::102:304"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.In);
        const auto address = TIpAddress::Parse(c.In);
        ASSERT_TRUE(address.has_value());
        EXPECT_FALSE(address->IsV4());
        EXPECT_EQ(address->Text(), c.Canonical);
        // The canonical text reads back as the same address.
        EXPECT_EQ(TIpAddress::Parse(c.Canonical), address);
    }
}

TEST(TIpAddress, IPv4StaysApartFromItsMappedForm)
{
    const auto v4 = TIpAddress::Parse("192.0.2.1");
    const auto mapped = TIpAddress::Parse("::ffff:192.0.2.1");
    ASSERT_TRUE(v4 && mapped);
    EXPECT_TRUE(v4->IsV4());
    EXPECT_EQ(v4->Text(), "192.0.2.1");
    EXPECT_EQ(v4->V4Value(), 0xC0000201u);
    EXPECT_NE(*v4, *mapped);
    EXPECT_EQ(v4->Bytes(), mapped->Bytes()) << "same 16 bytes, told apart by the family";
    const unsigned char wire[4] = {10, 0, 0, 7};
    EXPECT_EQ(TIpAddress::FromV4(wire).Text(), "10.0.0.7");
}

TEST(TIpAddress, OnlyStrictTextIsAnAddress)
{
    for (const char* text : {"", " 10.0.0.1", "10.0.0.1 ", "010.0.0.1", "10.0.0", "10.0.0.256", "10.0.0.1.",
                             "1.2.3.4.5", "fe80::1%eth0", "2001:db8::/64", "2001:db8:::1", "1:2:3:4:5:6:7:8:9",
                             "2001:db8::g", "12345::", "::ffff:1.2.3", "abc"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(TIpAddress::Parse(text).has_value());
    }
}

TEST(TIpAddress, Networks)
{
    struct {
        const char* Network;
        const char* Address;
        bool Valid;
        bool Contains;
    } const cases[] = {
        {"192.168.1.0/24", "192.168.1.77", true, true},
        {"192.168.1.0/24", "192.168.2.1", true, false},
        {"192.168.1.1/24", "192.168.1.200", true, true},  // host bits are ignored
        {"10.0.0.0/8", "10.255.255.255", true, true},
        {"172.16.0.0/12", "172.31.0.1", true, true},
        {"172.16.0.0/12", "172.32.0.1", true, false},
        {"0.0.0.0/0", "203.0.113.9", true, true},
        {"0.0.0.0/0", "2001:db8::1", true, false},        // families never mix
        {"10.0.0.7/32", "10.0.0.7", true, true},
        {"2001:db8:1::/64", "2001:db8:1:0:abcd::1", true, true},
        {"2001:db8:1::/64", "2001:db8:1:1::1", true, false},
        {"2001:db8::/29", "2001:dbf:ffff::1", true, true},
        {"2001:db8::/29", "2001:dc0::1", true, false},
        {"::/0", "fe80::1", true, true},
        {"::/0", "10.0.0.1", true, false},
        {"2001:db8::1/128", "2001:db8::1", true, true},
        {"192.168.1.0/33", "192.168.1.1", false, false},
        {"2001:db8::/129", "2001:db8::1", false, false},
        {"192.168.1/24", "192.168.1.1", false, false},
        {"192.168.1.0/", "192.168.1.1", false, false},
        {"/24", "192.168.1.1", false, false},
        {"192.168.1.0/024", "192.168.1.1", false, false},
        {"192.168.1.0/+24", "192.168.1.1", false, false},
        {"192.168.1.0/24 ", "192.168.1.1", false, false},
        {"192.168.1.0/2 4", "192.168.1.1", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Network) + " " + c.Address);
        const auto network = TIpNetwork::Parse(c.Network);
        ASSERT_EQ(network.has_value(), c.Valid);
        if (network) {
            EXPECT_EQ(network->Contains(*TIpAddress::Parse(c.Address)), c.Contains);
        }
    }
}

TEST(TIpAddress, SpecialIPv6Addresses)
{
    for (const char* text : {"fe80::1", "febf::1", "ff02::1", "::", "::1", "::ffff:10.0.0.1"})
        EXPECT_TRUE(TIpAddress::Parse(text)->IsSpecialV6()) << text;
    for (const char* text : {"2001:db8::1", "fd00::1", "fec0::1", "::2", "10.0.0.1"})
        EXPECT_FALSE(TIpAddress::Parse(text)->IsSpecialV6()) << text;
}
