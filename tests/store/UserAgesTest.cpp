#include "LocalTime.h"
#include "Errors.h"
#include "TDaten.h"
#include "TextForms.h"
#include "UserAges.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

TEST(UserAges, ThresholdsAreStrictForBandsAndInclusiveForOnline)
{
    const std::pair<double, int> bands[] = {{-5, 0}, {0, 0}, {9.999, 0}, {10, 1}, {29.999, 1}, {30, 2},
                                            {59.999, 2}, {60, 3}, {599.999, 3}, {600, 4}, {1e9, 4}};
    for (const auto& [age, band] : bands)
        EXPECT_EQ(FlowAgeBand(age), band) << age;
    EXPECT_TRUE(OnlineByAge(120));
    EXPECT_TRUE(OnlineByAge(-3));
    EXPECT_FALSE(OnlineByAge(120.001));
}

namespace {
// A stamp `age` units (1/75,000 of a day) before `now`, as a fraction of the day.
std::string StampBefore(const TLocalTime& now, double age)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.15g", now.FractionOfDay() - age / 75'000.0);
    return buffer;
}
}

// The rule a program without a window applies: every user's status from its last
// announcement, loaded users ("0") offline except in the first minutes of a day.
TEST(UserAges, OnlineRuleWritesEveryUsersStatus)
{
    const TLocalTime noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
    const TLocalTime afterMidnight = TLocalTime::FromCivil(2026, 12, 10, 0, 0, 5);
    const struct {
        const char* Name;
        TLocalTime Now;
        std::string MACTime;
        const char* Before;
        const char* After;
    } cases[] = {
        {"announced just now", noon, StampBefore(noon, 0), "0", "1"},
        {"at the time-out", noon, StampBefore(noon, 119.99), "0", "1"},
        {"past the time-out", noon, StampBefore(noon, 120.01), "1", "0"},
        {"loaded, at noon", noon, "0", "1", "0"},
        {"loaded, just after midnight", afterMidnight, "0", "0", "1"},
        {"announced late yesterday", afterMidnight, "0.9999", "0", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TDaten d;
        d.AddUser("192.168.1.2", "02:00:00:00:00:02", "eth0", c.Now);
        d.UserMACTime[0] = c.MACTime;
        d.UserStatus[0] = c.Before;
        ApplyOnlineRule(d, c.Now);
        EXPECT_EQ(d.UserStatus[0], c.After);
    }
}

// A damaged stamp stops the rule at its user, as it stops the window's tick: the users
// before it have their status, the ones after it keep theirs.
TEST(UserAges, OnlineRuleStopsAtADamagedStamp)
{
    const TLocalTime noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
    TDaten d;
    for (const char* ip : {"192.168.1.2", "192.168.1.3", "192.168.1.4"})
        d.AddUser(ip, "02:00:00:00:00:02", "eth0", noon);
    d.UserMACTime = {"0", "gestern", "0"};
    EXPECT_THROW(ApplyOnlineRule(d, noon), EConvertError);
    EXPECT_EQ(d.UserStatus, (std::vector<std::string>{"0", "1", "1"}));
}
