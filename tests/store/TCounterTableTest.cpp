#include "Errors.h"
#include "TCounterTable.h"
#include "TDaten.h"
#include "TextForms.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {
// The outcome of adding to a counter: the text afterwards, or the error raised.
struct TAddOutcome {
    std::string Text;
    std::string Error;
    bool operator==(const TAddOutcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TAddOutcome& outcome)
{
    return out << "'" << outcome.Text << "' error '" << outcome.Error << "'";
}

// What adding to the counter's text always did: the rule the table must keep.
TAddOutcome AddToText(std::string text, std::int64_t amount)
{
    try {
        AddToCounter(text, amount);
    } catch (const ERangeError& error) {
        return {text, std::string("range: ") + error.what()};
    } catch (const EConvertError& error) {
        return {text, std::string("convert: ") + error.what()};
    }
    return {text, ""};
}

TAddOutcome AddToCell(TCounterTable& table, std::int64_t amount)
{
    try {
        table.Add(0, 1, amount);
    } catch (const ERangeError& error) {
        return {table.Text(0, 1), std::string("range: ") + error.what()};
    } catch (const EConvertError& error) {
        return {table.Text(0, 1), std::string("convert: ") + error.what()};
    }
    return {table.Text(0, 1), ""};
}
}

TEST(TCounterTable, CellsKeepTheirTextAndAddAsTheTextDid)
{
    const char* const texts[] = {"0",   "42",  "-7", "007", "-0",  "+5",  "abc", "",
                                 "1e3", " 1", "9223372036854775807", "-9223372036854775808",
                                 "9223372036854775808"};
    const std::int64_t amounts[] = {0, 1, 1500, -8, std::int64_t{1} << 62};
    for (const char* text : texts) {
        SCOPED_TRACE(std::string("'") + text + "'");
        TCounterTable table;
        table.AppendTexts({"1", text, "2", "3"});
        EXPECT_EQ(table.Text(0, 1), text) << "the text stays as it was loaded";
        EXPECT_EQ(table.IsZero(0, 1), std::string(text) == "0");
        std::optional<std::int64_t> value;
        try {
            value = StrToInt64(text);
        } catch (const EConvertError&) {
        }
        if (value)
            EXPECT_EQ(table.Value(0, 1), *value);
        else
            EXPECT_THROW(table.Value(0, 1), EConvertError);
        for (std::int64_t amount : amounts) {
            SCOPED_TRACE(amount);
            TCounterTable cell;
            cell.AppendTexts({"1", text, "2", "3"});
            EXPECT_EQ(AddToCell(cell, amount), AddToText(text, amount));
            EXPECT_EQ(cell.Text(0, 0), "1") << "the other counters of the row stay";
            EXPECT_EQ(cell.Text(0, 2), "2");
        }
    }
}

TEST(TCounterTable, DamagedTextsMoveWithTheirRows)
{
    TDaten d;
    const TLocalTime noon = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
    for (int i = 0; i < 5; ++i)
        d.AddUser("192.168.1." + std::to_string(i), "m", "eth1", noon);
    d.UserDL.Set(1, "abc");
    d.UserCUL.Set(3, "007");
    d.UserUL.Set(4, "12");
    d.RemoveUser(0);
    EXPECT_EQ(d.UserDL.Texts(), (std::vector<std::string>{"abc", "0", "0", "0"}));
    d.RemoveUsersWithAddress({"192.168.1.2"});
    EXPECT_EQ(d.UserDL.Texts(), (std::vector<std::string>{"abc", "0", "0"}));
    EXPECT_EQ(d.UserCUL.Texts(), (std::vector<std::string>{"0", "007", "0"}));
    EXPECT_EQ(d.UserUL.Texts(), (std::vector<std::string>{"0", "0", "12"}));
    d.UserCUL.Add(1, 3);
    EXPECT_EQ(d.UserCUL.Text(1), "10") << "charged, the counter takes the plain form";
    EXPECT_THROW(d.UserDL.Add(0, 1), EConvertError);
    EXPECT_EQ(d.UserDL.Text(0), "abc");

    // A copy of the store has counters of its own.
    TDaten copy = d;
    copy.UserUL.SetValue(2, 99);
    EXPECT_EQ(d.UserUL.Text(2), "12");
    EXPECT_EQ(copy.UserUL.Text(2), "99");
    EXPECT_EQ(copy.UserDL.Text(0), "abc");
}
