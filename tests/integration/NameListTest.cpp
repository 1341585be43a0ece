#include "NameList.h"
#include "TDaten.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace {
const TLocalTime Noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);

TDaten Users(std::initializer_list<const char*> macs)
{
    TDaten d;
    int i = 1;
    for (const char* mac : macs)
        d.AddUser("192.168.1." + std::to_string(i++), mac, "eth0", Noon);
    return d;
}
}

TEST(NameList, TwoCutsGiveTheName)
{
    const std::pair<const char*, const char*> cases[] = {
        {"00:34:32:33:A2:F4||Beschreibung der MAC||Name User", "Name User"},
        {"00:34:32:33:A2:F4||Kasse", "asse"},            // the second cut drops one character
        {"00:34:32:33:A2:F4", ":34:32:33:A2:F4"},         // no separator: two characters go
        {"00:34:32:33:A2:F4||PC||", ""},
        {"a||b||c||d", "c||d"},
        {"x||y|| Name mit Leerzeichen ", " Name mit Leerzeichen "},
        {"", ""},
    };
    for (const auto& [line, name] : cases)
        EXPECT_EQ(NameFromLine(line), name) << line;
}

TEST(NameList, MatchingRules)
{
    TDaten d = Users({"00:34:32:33:A2:F4", "00:54:32:12:32:C3", "", "02:aa:bb:cc:dd:ee"});
    d.UserName[3] = "bleibt";
    const std::string list =
        "00:34:32:33:A2:F4||PC||Erster\r\n"
        "00:54:32:12:32:c3||PC||falsche Schreibweise\n"      // letter case differs: no match
        "00:34:32:33:A2:F4||PC||Zweiter\r"                    // the later line wins
        "||leer||nie\n"                                       // an empty MAC never matches
        "Gruppe 00:54:32:12:32:C3 und 00:34:32:33:A2:F4||x||M\xFC" "ller & O'Brien\n";
    ASSERT_TRUE(ApplyNameList(d, list));
    EXPECT_EQ(d.UserName[0], "M\xFC" "ller & O'Brien") << "one line names every MAC in it, bytes unchanged";
    EXPECT_EQ(d.UserName[1], "M\xFC" "ller & O'Brien");
    EXPECT_EQ(d.UserName[2], "-");
    EXPECT_EQ(d.UserName[3], "bleibt") << "users not in the list keep their names";
}

TEST(NameList, AuthorizationAnywhereChangesNothing)
{
    TDaten d = Users({"00:34:32:33:A2:F4"});
    EXPECT_FALSE(ApplyNameList(d, "00:34:32:33:A2:F4||PC||Kasse\nHeader Authorization fehlt\n"));
    EXPECT_EQ(d.UserName[0], "-");
}
