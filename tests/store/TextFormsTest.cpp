#include "Errors.h"
#include "TextForms.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(TextForms, DecimalTextReadsSigned64BitAndRejectsEverythingElse)
{
    struct {
        const char* Text;
        bool Valid;
        std::int64_t Value;
    } const cases[] = {
        {"0", true, 0},
        {"1500", true, 1500},
        {"-42", true, -42},
        {"9223372036854775807", true, INT64_MAX},
        {"-9223372036854775808", true, INT64_MIN},
        {"9223372036854775808", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {"12a", false, 0},
        {" 12", false, 0},
        {"12 ", false, 0},
        {"1.5", false, 0},
        {"abc", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        if (c.Valid)
            EXPECT_EQ(StrToInt64(c.Text), c.Value);
        else
            EXPECT_THROW(StrToInt64(c.Text), EConvertError);
    }
}

TEST(TextForms, ConversionErrorNamesTheText)
{
    try {
        StrToInt64("abc");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'abc' ist kein gültiger Integerwert");
    }
}

TEST(TextForms, CounterAddsAndRefusesToOverflow)
{
    std::string counter = "4294967295";
    AddToCounter(counter, 4294967295);
    EXPECT_EQ(counter, "8589934590");

    counter = "9223372036854775800";
    EXPECT_THROW(AddToCounter(counter, 100), ERangeError);
    EXPECT_EQ(counter, "9223372036854775800") << "a failed addition leaves the counter as it was";

    counter = "x1";
    EXPECT_THROW(AddToCounter(counter, 1), EConvertError);
    EXPECT_EQ(counter, "x1");
}

TEST(TextForms, DottedQuadHasNoLeadingZeros)
{
    const unsigned char a[] = {10, 0, 0, 1};
    const unsigned char b[] = {192, 168, 1, 10};
    const unsigned char c[] = {255, 255, 255, 255};
    EXPECT_EQ(DottedQuad(a), "10.0.0.1");
    EXPECT_EQ(DottedQuad(b), "192.168.1.10");
    EXPECT_EQ(DottedQuad(c), "255.255.255.255");
}

TEST(TextForms, TimeTextIsTwentyFourHourClock)
{
    EXPECT_EQ(TimeText(TLocalTime::FromCivil(2026, 12, 10, 0, 0, 0)), "00:00:00");
    EXPECT_EQ(TimeText(TLocalTime::FromCivil(2026, 12, 10, 7, 5, 9, 999)), "07:05:09");
    EXPECT_EQ(TimeText(TLocalTime::FromCivil(2026, 12, 10, 23, 59, 59)), "23:59:59");
}

TEST(TextForms, StampCarriesDateAndTimeOfDay)
{
    const TLocalTime noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
    EXPECT_EQ(noon.Day, 46366);  // serial day of 2026-12-10
    EXPECT_EQ(StampText(noon), "46366.5");
    // The serial day keeps well below a millisecond of resolution in 15 digits.
    const TLocalTime t = TLocalTime::FromCivil(2026, 12, 10, 17, 23, 41, 123);
    EXPECT_NEAR(StrToFloat(StampText(t)), t.Serial(), 1e-9);
    EXPECT_NEAR(StampAge(StampText(t), t), 0.0, 1e-3);
}

TEST(TextForms, StampAgeInUnitsOf75000PerDay)
{
    const TLocalTime noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
    const TLocalTime evening = TLocalTime::FromCivil(2026, 12, 9, 23, 59, 0);
    const TLocalTime afterMidnight = TLocalTime::FromCivil(2026, 12, 10, 0, 1, 0);
    struct {
        const char* Name;
        std::string Stamp;
        TLocalTime Now;
        double Age;
    } const cases[] = {
        {"none yet ages by the time of day", "0", noon, 37'500.0},
        {"none yet just after midnight", "0", afterMidnight, 75'000.0 / 1440},
        {"same stamp", StampText(noon), noon, 0.0},
        {"one day old", StampText(TLocalTime::FromCivil(2026, 12, 9, 12, 0, 0)), noon, 75'000.0},
        {"across midnight stays small and positive", StampText(evening), afterMidnight, 2 * 75'000.0 / 1440},
        {"a time of day without date is today's", "0.25", noon, 0.25 * 75'000.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_NEAR(StampAge(c.Stamp, c.Now), c.Age, 1e-3);
    }
    EXPECT_THROW(StampAge("gestern", noon), EConvertError);
    EXPECT_THROW(StampAge("", noon), EConvertError);
}
