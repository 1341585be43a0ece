#include "MacAnnouncement.h"
#include "TDaten.h"
#include "TStateFile.h"
#include "TempDir.h"
#include "TextForms.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
const TLocalTime Later = TLocalTime::FromCivil(2026, 12, 10, 12, 5, 0);
const std::string Router = "192.168.1.1";
// The router's example announcement: two spaces after the address, three before the
// MAC, a line feed at the end; 51 bytes.
const std::string Example = "f0 192.168.1.23  f2 f3   02:1a:2b:3c:4d:5e f5 eth1\n";
// One datagram that, were its quoted field written as it is, would add lines to the
// state file and with them other local subnets, another export period and other ports.
const std::string InjectionDatagram =
    "f0 192.168.1.60 f2 f3 02:00:00:00:00:60 f5 \"eth1\r\n0\r\n0\r\n1\r\n10\r\n0\r\n5\r\nX\r\nY\r\n0\r\n0\"";

std::span<const unsigned char> Bytes(const std::string& text)
{
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

class MacAnnouncementTest : public ::testing::Test {
protected:
    MacAnnouncementTest() { d.LocalSubnets = {"192.168"}; }

    TDatagramOutcome Announce(const std::string& text, const TLocalTime& now = Noon)
    {
        return AccountMacAnnouncement(d, Bytes(text), Router, Count, now);
    }

    TDaten d;
    std::int32_t Count = 0;
};
}

TEST(MacAnnouncementText, NormalisingFollowsTheFiveHalvingPasses)
{
    struct {
        const char* In;
        const char* Out;
    } const cases[] = {
        {"f0 192.168.1.23  f2 f3   02:1a:2b:3c:4d:5e f5 eth1\n",
         "f0,192.168.1.23,f2,f3,02:1a:2b:3c:4d:5e,f5,eth1\n"},
        {"   a b", "a,b"},      // one leading comma is dropped
        {"a,, ,b", "a,b"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.In);
        EXPECT_EQ(NormaliseSeparators(c.In), c.Out);
    }
    // Runs of up to 32 separators become one comma; 33 leave two.
    EXPECT_EQ(NormaliseSeparators("a" + std::string(32, ' ') + "b"), "a,b");
    EXPECT_EQ(NormaliseSeparators("a" + std::string(33, ' ') + "b"), "a,,b");
}

TEST(MacAnnouncementText, SplittingRules)
{
    using Fields = std::vector<std::string>;
    struct {
        const char* Name;
        std::string Text;
        Fields Expected;
    } const cases[] = {
        {"commas", "a,b,c", {"a", "b", "c"}},
        {"tabs separate like commas", "a\tb\tc", {"a", "b", "c"}},
        {"blanks around a comma", "a \t, \tb", {"a", "b"}},
        {"trailing line break adds nothing", "a,b\r\n", {"a", "b"}},
        {"leading blanks are skipped", "\t\n a,b", {"a", "b"}},
        {"two commas enclose an empty field", "a,,b", {"a", "", "b"}},
        {"a comma at the very end adds one empty field", "a,b,", {"a", "b", ""}},
        {"a comma followed by blanks at the end adds nothing", "a,b,\n", {"a", "b"}},
        {"quoted field keeps commas and blanks", "\"x, y\",z", {"x, y", "z"}},
        {"doubled quote stands for one", "\"say \"\"hi\"\"\",z", {"say \"hi\"", "z"}},
        {"unterminated quote runs to the end", "a,\"open", {"a", "open"}},
        {"text after a closing quote starts a field", "\"ab\"cd,e", {"ab", "cd", "e"}},
        {"leading comma gives an empty first field", "\t,a", {"", "a"}},
        {"bytes above 127 are field text", "M\xFC" "ller,b", {"M\xFC" "ller", "b"}},
        {"empty text has no fields", "", {}},
        {"only blanks have no fields", " \t\r\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(SplitFields(c.Text), c.Expected);
    }
}

TEST_F(MacAnnouncementTest, WorkedExampleRegistersTheClient)
{
    Count = 16;
    ASSERT_EQ(Example.size(), 51u);
    const TDatagramOutcome outcome = Announce(Example);
    EXPECT_FALSE(outcome.Failed()) << outcome.Error;
    ASSERT_TRUE(outcome.Memo.has_value());
    EXPECT_EQ(*outcome.Memo,
              (std::vector<std::string>{"IP:192.168.1.1 (51)", "02:1a:2b:3c:4d:5e", "192.168.1.23 [17]"}));
    EXPECT_EQ(Count, 17);
    ASSERT_EQ(d.UserCount(), 1u);
    EXPECT_EQ(d.UserIP[0], "192.168.1.23");
    EXPECT_EQ(d.UserMAC[0], "02:1a:2b:3c:4d:5e");
    EXPECT_EQ(d.UserDevice[0], "eth1");
    EXPECT_EQ(d.UserName[0], "-");
    EXPECT_EQ(d.UserStatus[0], "1");
    EXPECT_EQ(d.UserMACTime[0], StampText(Noon));
}

TEST_F(MacAnnouncementTest, SeparatorVariantsGiveTheSameUser)
{
    const std::string variants[] = {
        "f0 192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 eth1",
        "f0     192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e     f5 eth1",
        "f0\t192.168.1.23\tf2\tf3\t02:1a:2b:3c:4d:5e\tf5\teth1\r\n",
        "f0, 192.168.1.23, f2, f3, 02:1a:2b:3c:4d:5e, f5, eth1",
        "   f0 192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 eth1",
        "f0 192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 eth1 f7 f8 f9",
        "f0 192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 eth1\0 ignored junk after nul"s,
    };
    for (const std::string& text : variants) {
        SCOPED_TRACE(text);
        d.ClearUsers();
        EXPECT_FALSE(Announce(text).Failed());
        ASSERT_EQ(d.UserCount(), 1u);
        EXPECT_EQ(d.UserIP[0], "192.168.1.23");
        EXPECT_EQ(d.UserMAC[0], "02:1a:2b:3c:4d:5e");
        EXPECT_EQ(d.UserDevice[0], "eth1");
    }
}

TEST_F(MacAnnouncementTest, ThirtyThreeSpacesShiftTheFields)
{
    const TDatagramOutcome outcome =
        Announce("f0" + std::string(33, ' ') + "192.168.1.23 f2 f3 02:1a:2b:3c:4d:5e f5 eth1");
    ASSERT_TRUE(outcome.Memo.has_value());
    // Field 1 is now empty, field 4 is f3 and field 6 the MAC's neighbour f5.
    EXPECT_EQ((*outcome.Memo)[1], "f3");
    EXPECT_EQ((*outcome.Memo)[2], " [1]");
    EXPECT_EQ(d.UserCount(), 0u) << "the empty address is not local";
}

TEST_F(MacAnnouncementTest, MalformedDatagramCountsAndShowsOnlyItsFirstLine)
{
    d.AddUser("192.168.1.5", "m", "eth0", Noon);
    struct {
        const char* Name;
        std::string Text;
        const char* FirstLine;
        const char* Error;  // a part of the error text
    } const cases[] = {
        {"empty datagram", "", "IP:192.168.1.1 (0)", "unvollständig"},
        {"six fields", "f0 192.168.1.5 f2 f3 02:1a:2b:3c:4d:5e f5", "IP:192.168.1.1 (41)", "unvollständig"},
        {"fields cut by a nul", "f0 192.168.1.5\0 f2 f3 m f5 eth1"s, "IP:192.168.1.1 (31)", "unvollständig"},
        // Control characters can reach a field only through quotes. The known user's
        // address and MAC make sure not even its interface is refreshed.
        {"line breaks in a quoted interface", InjectionDatagram, "IP:192.168.1.1 (80)", "Steuerzeichen in Feld 7"},
        {"line feed alone", "f0 192.168.1.5 f2 f3 m f5 \"eth1\nX\"", "IP:192.168.1.1 (34)", "Feld 7"},
        {"tab in a quoted MAC", "f0 192.168.1.5 f2 f3 \"m\t\" f5 eth1", "IP:192.168.1.1 (33)", "Feld 5"},
        {"escape in a quoted address", "f0 \"192.168.1.5\x1b[2J\" f2 f3 m f5 eth1", "IP:192.168.1.1 (36)",
         "Feld 2"},
        {"delete byte in an unquoted address", "f0 192.168.1.5\x7f f2 f3 m f5 eth1", "IP:192.168.1.1 (31)",
         "Feld 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::int32_t before = Count;
        const TDatagramOutcome outcome = Announce(c.Text);
        EXPECT_TRUE(outcome.Failed());
        EXPECT_NE(outcome.Error.find(c.Error), std::string::npos) << outcome.Error;
        ASSERT_TRUE(outcome.Memo.has_value());
        EXPECT_EQ(*outcome.Memo, std::vector<std::string>{c.FirstLine});
        EXPECT_EQ(Count, before + 1);
        ASSERT_EQ(d.UserCount(), 1u);
        EXPECT_EQ(d.UserMAC[0], "m");
        EXPECT_EQ(d.UserDevice[0], "eth0");
        EXPECT_EQ(d.UserMACTime[0], StampText(Noon));
    }
}

TEST_F(MacAnnouncementTest, InjectionDatagramCannotChangeTheStateFile)
{
    d.HideIPs = {"192.168.1.250"};
    d.ExportInterval = 60;
    d.AddUser("192.168.1.5", "m", "eth0", Noon);
    const std::string before = TStateFile::Format(d);
    TTempDir dir;
    const std::string path = dir.File("vexal.ini");

    // Stopped where it enters: the announcement is malformed and changes nothing.
    EXPECT_TRUE(Announce(InjectionDatagram).Failed());
    ASSERT_TRUE(TStateFile::Save(d, path));
    EXPECT_EQ(ReadWholeFile(path), before);

    // And had it been taken, the writer still keeps the value on one line: the same
    // settings and filters come back after a restart.
    d.AddUser("192.168.1.60", "02:00:00:00:00:60", SplitFields(InjectionDatagram).back(), Noon);
    ASSERT_TRUE(TStateFile::Save(d, path));
    TDaten restarted;
    ASSERT_TRUE(TStateFile::Load(restarted, path));
    EXPECT_EQ(restarted.LocalSubnets, std::vector<std::string>{"192.168"});
    EXPECT_EQ(restarted.LocalIPs, std::vector<std::string>{});
    EXPECT_EQ(restarted.HideSubnets, std::vector<std::string>{});
    EXPECT_EQ(restarted.HideIPs, std::vector<std::string>{"192.168.1.250"});
    EXPECT_EQ(restarted.ExportInterval, 60);
    EXPECT_EQ(restarted.FlowPort, "2055");
    EXPECT_EQ(restarted.MacPort, "2056");
    EXPECT_FALSE(restarted.ExportEnabled);
    EXPECT_TRUE(restarted.ExportDetailed);
    ASSERT_EQ(restarted.UserCount(), 2u);
    EXPECT_EQ(restarted.UserDevice[1], "eth1  0  0  1  10  0  5  X  Y  0  0");
    EXPECT_EQ(TStateFile::Format(restarted), ReadWholeFile(path)) << "a reload writes the same file again";
}

TEST_F(MacAnnouncementTest, WhoBecomesAUser)
{
    struct {
        const char* Name;
        const char* Ip;
        const char* Mac;
        bool Registered;
    } const cases[] = {
        {"local address", "192.168.7.9", "02:00:00:00:00:01", true},
        {"public address", "93.184.216.34", "02:00:00:00:00:01", false},
        {"all-zero MAC means none", "192.168.7.9", "00:00:00:00:00:00", false},
        {"almost all-zero MAC is a MAC", "192.168.7.9", "00:00:00:00:00:01", true},
        {"fields are not checked for form", "192.168.x", "kein-mac", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        d.ClearUsers();
        const TDatagramOutcome outcome = Announce(std::string("x ") + c.Ip + " x x " + c.Mac + " x wlan0");
        EXPECT_FALSE(outcome.Failed());
        ASSERT_TRUE(outcome.Memo.has_value());
        EXPECT_EQ(outcome.Memo->size(), 3u) << "all three lines, registered or not";
        EXPECT_EQ(d.UserCount(), c.Registered ? 1u : 0u);
    }
}

TEST_F(MacAnnouncementTest, SameMacRefreshesOnlyTimeAndInterface)
{
    Announce("x 192.168.1.2 x x 02:00:00:00:00:02 x eth0");
    Announce(Example);
    d.UserName[1] = "Drucker";
    d.UserDL.Set(1, "5000");
    d.UserStatus[1] = "0";
    Announce("x 192.168.1.23 x x 02:1a:2b:3c:4d:5e x wlan1", Later);
    ASSERT_EQ(d.UserCount(), 2u);
    EXPECT_EQ(d.UserIP[1], "192.168.1.23") << "the row keeps its place";
    EXPECT_EQ(d.UserName[1], "Drucker");
    EXPECT_EQ(d.UserDL.Text(1), "5000");
    EXPECT_EQ(d.UserStatus[1], "0");
    EXPECT_EQ(d.UserDevice[1], "wlan1");
    EXPECT_EQ(d.UserMACTime[1], StampText(Later));
}

TEST_F(MacAnnouncementTest, ChangedMacReplacesTheClient)
{
    Announce(Example);
    Announce("x 192.168.1.2 x x 02:00:00:00:00:02 x eth0");
    d.UserName[0] = "Laptop";
    d.UserUL.Set(0, "777");
    // The same MAC in capital letters is another MAC: compared as text.
    Announce("x 192.168.1.23 x x 02:1A:2B:3C:4D:5E x eth1", Later);
    ASSERT_EQ(d.UserCount(), 2u);
    EXPECT_EQ(d.UserIP[0], "192.168.1.2");
    EXPECT_EQ(d.UserIP[1], "192.168.1.23") << "removed and appended at the end";
    EXPECT_EQ(d.UserMAC[1], "02:1A:2B:3C:4D:5E");
    EXPECT_EQ(d.UserName[1], "-");
    EXPECT_EQ(d.UserUL.Text(1), "0");
    EXPECT_EQ(d.UserIP.IndexOf("192.168.1.23"), 1);
    EXPECT_EQ(d.UserIP.IndexOf("192.168.1.2"), 0);
}

// The hook before a replacement (the local history's last look at the old client) runs
// exactly when a row is replaced, while the old client's row and totals are still there.
TEST_F(MacAnnouncementTest, ReplacementIsAnnouncedWhileTheOldClientIsStillThere)
{
    d.LocalSubnets.push_back("2001:db8:1::/64");
    std::vector<std::string> seen;  // "address mac total" of the row the hook found
    auto announce = [&](const std::string& ip, const std::string& mac) {
        AccountMacAnnouncement(d, Bytes("x " + ip + " x x " + mac + " x eth0"), Router, Count, Noon, [&] {
            const int row = d.UserIP.IndexOf(ip);
            seen.push_back(row < 0 ? "none" : ip + " " + d.UserMAC[row] + " " + d.UserUL.Text(row));
        });
    };
    const struct {
        const char* Ip;
        const char* Mac;
        const char* Seen;  // nullptr: no replacement
    } steps[] = {
        {"192.168.1.23", "02:1a:2b:3c:4d:5e", nullptr},          // a new client
        {"192.168.1.23", "02:1a:2b:3c:4d:5e", nullptr},          // the same one again
        {"192.168.1.23", "02:00:00:00:00:99", "192.168.1.23 02:1a:2b:3c:4d:5e 777"},
        {"10.0.0.1", "02:00:00:00:00:98", nullptr},              // not local
        {"2001:db8:1::1", "02:00:00:00:00:0c", nullptr},         // a device known only by IPv6
        {"2001:db8:1::1", "02:00:00:00:00:0d", "2001:db8:1::1 02:00:00:00:00:0c 777"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.Ip) + " " + step.Mac);
        seen.clear();
        announce(step.Ip, step.Mac);
        if (step.Seen)
            EXPECT_EQ(seen, std::vector<std::string>{step.Seen});
        else
            EXPECT_TRUE(seen.empty());
        // Every client has counted something by the next step.
        for (std::size_t row = 0; row < d.UserCount(); ++row)
            d.UserUL.Set(row, "777");
    }
    ASSERT_EQ(d.UserCount(), 2u);
    EXPECT_EQ(d.UserMAC[d.UserIP.IndexOf("2001:db8:1::1")], "02:00:00:00:00:0d");
}

TEST_F(MacAnnouncementTest, CounterWrapsInsteadOfOverflowing)
{
    Count = INT32_MAX;
    const TDatagramOutcome outcome = Announce(Example);
    EXPECT_EQ(Count, INT32_MIN);
    EXPECT_EQ((*outcome.Memo)[2], "192.168.1.23 [-2147483648]");
}
