#include "Errors.h"
#include "TPortList.h"

#include <gtest/gtest.h>

namespace {
// A port list as the state file holds it, with octets added to one port, as text again.
std::string AddPortTraffic(std::int32_t port, std::int64_t octets, std::string_view text)
{
    TPortList list = TPortList::FromText(text);
    list.Add(port, octets);
    return list.ToText();
}
}

TEST(AddPortTraffic, AddsToTheEntryOfThePortOrAppendsOne)
{
    struct {
        std::int32_t Port;
        std::int64_t Octets;
        const char* Before;
        const char* After;
    } const cases[] = {
        {80, 500, "80:1500,443:100", "80:2000,443:100"},
        {8080, 500, "80:1500,443:100", "80:1500,443:100,8080:500"},
        {53, 60, "", "53:60"},
        {80, 7, "8080:7", "8080:7,80:7"},    // 8080 is not the entry of port 80
        {443, 1, "80:1,443:2,53:3", "80:1,443:3,53:3"},  // order never changes
        {0, 0, "", "0:0"},
        {65535, 1, "65535:4", "65535:5"},
        // Sixteen entries are still found by scanning: the last one before the index takes over.
        {16, 5, "1:1,2:1,3:1,4:1,5:1,6:1,7:1,8:1,9:1,10:1,11:1,12:1,13:1,14:1,15:1,16:1",
         "1:1,2:1,3:1,4:1,5:1,6:1,7:1,8:1,9:1,10:1,11:1,12:1,13:1,14:1,15:1,16:6"},
        {3, 5, "1:1,2:1,3:1,4:1,5:1,6:1,7:1,8:1,9:1,10:1,11:1,12:1,13:1,14:1,15:1,16:1",
         "1:1,2:1,3:6,4:1,5:1,6:1,7:1,8:1,9:1,10:1,11:1,12:1,13:1,14:1,15:1,16:1"},
        {17, 5, "1:1,2:1,3:1,4:1,5:1,6:1,7:1,8:1,9:1,10:1,11:1,12:1,13:1,14:1,15:1,16:1",
         "1:1,2:1,3:1,4:1,5:1,6:1,7:1,8:1,9:1,10:1,11:1,12:1,13:1,14:1,15:1,16:1,17:5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Before) + " + " + std::to_string(c.Port));
        EXPECT_EQ(AddPortTraffic(c.Port, c.Octets, c.Before), c.After);
    }
}

TEST(AddPortTraffic, SumsAreSixtyFourBit)
{
    // A single flow above 2^31 and a port sum above 2^32 are kept in full.
    EXPECT_EQ(AddPortTraffic(443, 4'294'967'295, "443:4294967295"), "443:8589934590");
    EXPECT_EQ(AddPortTraffic(80, 2'147'483'648, ""), "80:2147483648");
}

TEST(AddPortTraffic, DamagedEntryIsAConversionError)
{
    EXPECT_THROW(AddPortTraffic(80, 1, "80:abc"), EConvertError);
    EXPECT_THROW(AddPortTraffic(80, 1, "80"), EConvertError);
}

TEST(TPortList, ManyPortsKeepTheirFirstSeenOrder)
{
    TPortList list;
    for (int round = 0; round < 3; ++round)
        for (std::int32_t port = 5000; port > 0; port -= 7)
            list.Add(port, round + 1);
    ASSERT_EQ(list.Count(), 715u);
    EXPECT_EQ(list.Entries().front().Port, 5000);
    EXPECT_EQ(list.Entries().front().Octets, 6);
    EXPECT_EQ(list.Entries().back().Port, 2);
    // Every entry, those found by scanning and those found through the index alike.
    for (std::size_t i = 0; i < list.Count(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(list.Entries()[i].Port, 5000 - 7 * static_cast<std::int32_t>(i));
        EXPECT_EQ(list.Entries()[i].Octets, 6);
    }
    // Around the point where the index takes over: adding again to port 18 of 19.
    TPortList nineteen;
    for (std::int32_t port = 1; port <= 19; ++port)
        nineteen.Add(port, 1);
    nineteen.Add(18, 1000);
    EXPECT_EQ(nineteen.ToText(), "1:1,2:1,3:1,4:1,5:1,6:1,7:1,8:1,9:1,10:1,11:1,12:1,13:1,14:1,15:1,16:1,17:1,18:1001,19:1");
    EXPECT_EQ(TPortList::FromText(list.ToText()).ToText(), list.ToText());

    list.Clear();
    EXPECT_TRUE(list.Empty());
    EXPECT_EQ(list.ToText(), "");
    list.Add(80, 1);
    EXPECT_EQ(list.ToText(), "80:1");
}

TEST(TPortList, OverflowLeavesTheSumAsItWas)
{
    TPortList list;
    list.Add(80, INT64_MAX - 1);
    EXPECT_THROW(list.Add(80, 2), ERangeError);
    EXPECT_EQ(list.Entries()[0].Octets, INT64_MAX - 1);
}
