#include "BillingPeriod.h"
#include "LimitCrossing.h"
#include "TLimitFile.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
std::int64_t D(int year, int month, int day)
{
    return SerialDayOf(year, month, day);
}

std::string Text(std::int64_t day)
{
    const TCivilDate date = CivilDateOf(day);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.Year, date.Month, date.Day);
    return text;
}
}

TEST(BillingPeriod, RunsFromTheBillingDayToTheDayBeforeItNextMonth)
{
    struct TCase {
        int StartDay;
        std::int64_t Day;
        const char* First;
        const char* Last;
    };
    const TCase cases[] = {
        // The calendar month.
        {1, D(2026, 3, 1), "2026-03-01", "2026-03-31"},
        {1, D(2026, 3, 31), "2026-03-01", "2026-03-31"},
        {1, D(2026, 12, 31), "2026-12-01", "2026-12-31"},
        // The 28th: every month has it.
        {28, D(2026, 3, 27), "2026-02-28", "2026-03-27"},
        {28, D(2026, 3, 28), "2026-03-28", "2026-04-27"},
        {28, D(2026, 1, 5), "2025-12-28", "2026-01-27"},
        {28, D(2026, 12, 28), "2026-12-28", "2027-01-27"},
        // The 29th to 31st of a month, with billing days that the short months lack elsewhere.
        {28, D(2026, 1, 29), "2026-01-28", "2026-02-27"},
        {28, D(2026, 1, 31), "2026-01-28", "2026-02-27"},
        {15, D(2026, 1, 31), "2026-01-15", "2026-02-14"},
        {15, D(2026, 3, 30), "2026-03-15", "2026-04-14"},
        {1, D(2026, 4, 30), "2026-04-01", "2026-04-30"},
        {28, D(2026, 5, 31), "2026-05-28", "2026-06-27"},
        // February in a leap year and in a common one.
        {28, D(2028, 2, 28), "2028-02-28", "2028-03-27"},
        {28, D(2028, 2, 27), "2028-01-28", "2028-02-27"},
        {1, D(2028, 2, 29), "2028-02-01", "2028-02-29"},
        {29 - 1, D(2028, 2, 29), "2028-02-28", "2028-03-27"},
        {1, D(2027, 2, 28), "2027-02-01", "2027-02-28"},
        {15, D(2028, 2, 29), "2028-02-15", "2028-03-14"},
        {15, D(2027, 3, 14), "2027-02-15", "2027-03-14"},
        // Out-of-range billing days count as 1.
        {0, D(2026, 3, 15), "2026-03-01", "2026-03-31"},
        {31, D(2026, 3, 15), "2026-03-01", "2026-03-31"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE("start day " + std::to_string(c.StartDay) + ", date " + Text(c.Day));
        const TBillingPeriod period = BillingPeriodOf(c.StartDay, c.Day);
        EXPECT_EQ(Text(period.First), c.First);
        EXPECT_EQ(Text(period.Last), c.Last);
        EXPECT_TRUE(period.Contains(c.Day));
        // The next period begins the day after this one ends.
        EXPECT_EQ(BillingPeriodOf(c.StartDay, period.Last + 1).First, period.Last + 1);
    }
}

TEST(LimitCrossing, EachMarkIsSaidOncePerPeriodAndAgainInTheNext)
{
    constexpr std::int64_t MB = 1'000'000;
    struct TCase {
        const char* What;
        std::int64_t Before, After, Limit;
        std::vector<int> Said;
    };
    const TCase cases[] = {
        {"below 80 %", 0, 7 * MB, 10 * MB, {}},
        {"just below 80 %", 0, 8 * MB - 1, 10 * MB, {}},
        {"to exactly 80 %", 0, 8 * MB, 10 * MB, {80}},
        {"past 80 %", 5 * MB, 9 * MB, 10 * MB, {80}},
        {"within 80 % and 100 %", 8 * MB, 9 * MB, 10 * MB, {}},
        {"from 80 % to 100 %", 9 * MB, 10 * MB, 10 * MB, {100}},
        {"past both at once", 0, 11 * MB, 10 * MB, {80, 100}},
        {"beyond 100 %", 10 * MB, 20 * MB, 10 * MB, {}},
        {"a limit of one octet", 0, 1, 1, {80, 100}},
        {"80 % of an odd limit", 0, 6, 7, {80}},
        {"just below 80 % of an odd limit", 0, 5, 7, {}},
        {"a limit near the top", 0, INT64_MAX - INT64_MAX / 5, INT64_MAX, {80}},
    };
    const TBillingPeriod march = BillingPeriodOf(1, D(2026, 3, 10));
    const TBillingPeriod april = BillingPeriodOf(1, D(2026, 4, 10));
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TDeviceLimit limit{c.Limit};
        bool changed = false;
        LimitCrossings(limit, c.Before, march, changed);
        EXPECT_EQ(LimitCrossings(limit, c.After, march, changed), c.Said);
        EXPECT_EQ(changed, !c.Said.empty());
        // Not again in the same period, whatever the use does.
        EXPECT_EQ(LimitCrossings(limit, c.After, march, changed), std::vector<int>{});
        EXPECT_FALSE(changed);
        // Remembered across a restart: the file keeps what was said.
        TLimitFile saved;
        saved.Limits["aa"] = limit;
        TDeviceLimit reloaded = TLimitFile::Parse(saved.Format()).Limits.at("aa");
        EXPECT_EQ(LimitCrossings(reloaded, c.After, march, changed), std::vector<int>{});
        // The next period starts from nothing: the use there says its marks again.
        std::vector<int> again;
        for (const int mark : {80, 100})
            if (LimitMarkOf(c.Before, c.Limit) >= mark || LimitMarkOf(c.After, c.Limit) >= mark)
                again.push_back(mark);
        EXPECT_EQ(LimitCrossings(limit, std::max(c.Before, c.After), april, changed), again);
    }
}

TEST(LimitCrossing, PercentIsRoundedDown)
{
    EXPECT_EQ(LimitPercentOf(43, 100), 43);
    EXPECT_EQ(LimitPercentOf(4399, 10'000), 43);
    EXPECT_EQ(LimitPercentOf(0, 100), 0);
    EXPECT_EQ(LimitPercentOf(250, 100), 250);
    EXPECT_EQ(LimitPercentOf(INT64_MAX / 2, INT64_MAX), 49);
    EXPECT_EQ(LimitPercentOf(INT64_MAX, 1), 99'999);
}

TEST(LimitFile, KeepsLimitsAndWhatWasSaidAndLosesNothingOfADamagedLine)
{
    TLimitFile file;
    file.Limits["00:11:22:33:44:55"] = {10'000'000};
    file.Limits["aa:bb=cc\nx"] = {5, 46'000, 100};
    const std::string text = file.Format();
    EXPECT_EQ(text, "00:11:22:33:44:55=10000000\naa:bb%3Dcc%0Ax=5;46000;100\n");
    const TLimitFile back = TLimitFile::Parse(text);
    EXPECT_EQ(back.Limits, file.Limits);
    EXPECT_TRUE(back.Errors.empty());

    const std::string damaged = "# Volumenlimits\n"
                                "00:11:22:33:44:55=10000000\n"
                                "66:77:88:99:aa:bb=zehn\n"
                                "kein Gleichheitszeichen\n"
                                "cc:cc:cc:cc:cc:cc=100;1;50\n"
                                "dd:dd:dd:dd:dd:dd=200;46000;80\n";
    TLimitFile read = TLimitFile::Parse(damaged);
    EXPECT_EQ(read.Limits.size(), 2U);
    EXPECT_EQ(read.Limits.at("dd:dd:dd:dd:dd:dd"), (TDeviceLimit{200, 46'000, 80}));
    ASSERT_EQ(read.Errors.size(), 3U);
    EXPECT_EQ(read.Errors[0], "vexal-limits.ini, Zeile 3: kein gültiges Limit in Byte (Zeile bleibt unverändert)");
    EXPECT_NE(read.Errors[1].find("Zeile 4"), std::string::npos);
    EXPECT_NE(read.Errors[2].find("Zeile 5"), std::string::npos);
    // A save keeps the damaged lines as they were.
    read.Limits["ee:ee:ee:ee:ee:ee"] = {300};
    const TLimitFile again = TLimitFile::Parse(read.Format());
    EXPECT_EQ(again.KeptLines, read.KeptLines);
    EXPECT_EQ(again.Limits.size(), 3U);

    TTempDir dir;
    EXPECT_TRUE(TLimitFile::Load(dir.File("vexal-limits.ini")).Errors.empty()) << "no file: no limits, no error";
    ASSERT_TRUE(read.Save(dir.File("vexal-limits.ini")));
    EXPECT_EQ(TLimitFile::Load(dir.File("vexal-limits.ini")).Limits, read.Limits);
    // A file that cannot be read is never written over.
    std::filesystem::create_directory(dir.File("folder"));
    TLimitFile unreadable = TLimitFile::Load(dir.File("folder"));
    EXPECT_TRUE(unreadable.Unreadable);
    EXPECT_FALSE(unreadable.Errors.empty());
}
