#include "TCounterTable.h"

#include "Errors.h"
#include "TextForms.h"

#include <charconv>
#include <stdexcept>

namespace {
// The value of a text that is exactly the decimal form IntToStr writes, else nullopt:
// only such a text can be left to the number and written again from it.
std::optional<std::int64_t> PlainValue(std::string_view text)
{
    std::int64_t value = 0;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    if (text.empty() || ec != std::errc() || end != last)
        return std::nullopt;
    // "007", "-0" and the like read as numbers but are not the form written back.
    if (text.size() > 1 && (text[0] == '0' || (text[0] == '-' && text[1] == '0')))
        return std::nullopt;
    return value;
}
}

const std::optional<std::string>* TCounterTable::KeptText(std::size_t row, std::size_t column) const
{
    const TRow& r = Rows.at(row);
    if (r.TextSlot == 0)
        return nullptr;
    const std::optional<std::string>& text = Texts[r.TextSlot - 1][column];
    return text ? &text : nullptr;
}

std::string TCounterTable::Text(std::size_t row, std::size_t column) const
{
    if (const auto* text = KeptText(row, column))
        return **text;
    return IntToStr(Rows[row].Values[column]);
}

std::int64_t TCounterTable::Value(std::size_t row, std::size_t column) const
{
    if (const auto* text = KeptText(row, column))
        return StrToInt64(**text);
    return Rows[row].Values[column];
}

double TCounterTable::Real(std::size_t row, std::size_t column) const
{
    if (const auto* text = KeptText(row, column))
        return StrToFloat(**text);
    // The nearest double, as reading the decimal text would give.
    return static_cast<double>(Rows[row].Values[column]);
}

bool TCounterTable::IsZero(std::size_t row, std::size_t column) const
{
    if (const auto* text = KeptText(row, column))
        return **text == "0";
    return Rows[row].Values[column] == 0;
}

bool TCounterTable::HoldsText(std::size_t row, std::size_t column) const
{
    return KeptText(row, column) != nullptr;
}

void TCounterTable::KeepText(std::size_t row, std::size_t column, std::string_view text)
{
    TRow& r = Rows[row];
    if (r.TextSlot == 0) {
        Texts.emplace_back();
        r.TextSlot = static_cast<std::uint32_t>(Texts.size());
    }
    Texts[r.TextSlot - 1][column] = std::string(text);
}

void TCounterTable::DropText(std::size_t row, std::size_t column)
{
    TRow& r = Rows[row];
    if (r.TextSlot == 0)
        return;
    TTexts& texts = Texts[r.TextSlot - 1];
    texts[column].reset();
    for (const auto& text : texts)
        if (text)
            return;
    // The slot stays allocated but unused; the row goes back to the fast path.
    r.TextSlot = 0;
}

void TCounterTable::Set(std::size_t row, std::size_t column, std::string_view text)
{
    if (row >= Rows.size())
        throw std::out_of_range("TCounterTable::Set");
    ++Rows[row].Mark;
    if (const auto value = PlainValue(text)) {
        Rows[row].Values[column] = *value;
        DropText(row, column);
    } else {
        Rows[row].Values[column] = 0;
        KeepText(row, column, text);
    }
}

void TCounterTable::SetValue(std::size_t row, std::size_t column, std::int64_t value)
{
    if (row >= Rows.size())
        throw std::out_of_range("TCounterTable::SetValue");
    ++Rows[row].Mark;
    Rows[row].Values[column] = value;
    DropText(row, column);
}

void TCounterTable::AddSlowly(std::size_t row, std::size_t column, std::int64_t amount)
{
    const std::string text = Text(row, column);
    const std::int64_t value = Value(row, column);  // EConvertError for a damaged text
    std::int64_t sum = 0;
    if (__builtin_add_overflow(value, amount, &sum))
        throw ERangeError("Zählerüberlauf: " + text + " + " + IntToStr(amount));
    SetValue(row, column, sum);
}

void TCounterTable::AppendTexts(const std::array<std::string_view, Columns>& texts)
{
    Rows.emplace_back();
    for (std::size_t column = 0; column < Columns; ++column)
        Set(Rows.size() - 1, column, texts[column]);
}

void TCounterTable::AppendValues(const std::array<std::int64_t, Columns>& values)
{
    Rows.push_back(TRow{values, 0, 0});
}

void TCounterTable::Erase(std::size_t row)
{
    Rows.erase(Rows.begin() + static_cast<std::ptrdiff_t>(row));
}

void TCounterTable::MoveRow(std::size_t to, std::size_t from)
{
    Rows[to] = Rows[from];
    Rows[from].TextSlot = 0;
}

void TCounterTable::Resize(std::size_t rows)
{
    Rows.resize(rows);
}

void TCounterTable::Clear()
{
    Rows.clear();
    Texts.clear();
}
