#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The octet counters of a table (a user's totals and interval counters, a router's
// totals and sequences), kept as numbers so the flow path adds without reading or
// writing text. A row's four counters sit together in one small struct: a flow touches
// one cache line per side, not one per column.
//
// The text form is what everyone else sees (state file, grids, export) and it must
// stay what was loaded: a cell whose text is not the plain decimal form of its value
// ("007", "abc", "" from a hand-edited state file) keeps that text until it is set
// again or charged. Reading its value parses the text, so a damaged counter raises the
// same EConvertError where it is used as it always did.
class TCounterTable {
public:
    static constexpr std::size_t Columns = 4;

    std::size_t size() const { return Rows.size(); }

    // The text form of a cell; out_of_range for a row outside the table.
    std::string Text(std::size_t row, std::size_t column) const;
    // The cell's value; EConvertError for a text that is not a decimal integer.
    std::int64_t Value(std::size_t row, std::size_t column) const;
    // The value as a real, as StrToFloat reads the text form (a kept text is read as
    // text, so "1e3" stays 1000 and "abc" raises EConvertError as before).
    double Real(std::size_t row, std::size_t column) const;
    // True when the text form is exactly "0".
    bool IsZero(std::size_t row, std::size_t column) const;
    // True when the cell holds a text of its own (not the plain form of a number).
    bool HoldsText(std::size_t row, std::size_t column) const;
    // True when every cell of the row is its number: reading the row cannot fail.
    bool AllNumbers(std::size_t row) const { return Rows[row].TextSlot == 0; }

    void Set(std::size_t row, std::size_t column, std::string_view text);
    void SetValue(std::size_t row, std::size_t column, std::int64_t value);
    // Adds amount to the cell. A cell that is not a number raises EConvertError, a sum
    // beyond 64 bits raises ERangeError; either way the cell stays as it was.
    void Add(std::size_t row, std::size_t column, std::int64_t amount)
    {
        TRow& r = Rows[row];
        ++r.Mark;
        if (r.TextSlot == 0) [[likely]] {
            std::int64_t sum = 0;
            if (!__builtin_add_overflow(r.Values[column], amount, &sum)) [[likely]] {
                r.Values[column] = sum;
                return;
            }
        }
        AddSlowly(row, column, amount);
    }

    const void* RowAddress(std::size_t row) const { return &Rows[row]; }

    // A number that changes whenever a cell of the row is written (set or charged) or
    // the row is touched: the display redraws only rows whose mark moved since its last
    // look. It lives in the row's own cache line, so a charge pays one increment for it.
    std::uint32_t Mark(std::size_t row) const { return Rows[row].Mark; }
    void Touch(std::size_t row) { ++Rows[row].Mark; }

    // Row operations, for the store's own row operations only: they keep this table as
    // long as the other columns.
    void AppendTexts(const std::array<std::string_view, Columns>& texts);
    void AppendValues(const std::array<std::int64_t, Columns>& values);
    void Erase(std::size_t row);
    void MoveRow(std::size_t to, std::size_t from);
    void Resize(std::size_t rows);
    void Clear();

private:
    // A row never straddles two cache lines: the flow path prefetches the line of
    // each row it is going to charge, and the charge reads the whole row.
    struct alignas(64) TRow {
        std::array<std::int64_t, Columns> Values{};
        // 0: every cell is its number; else 1 + the index of this row's kept texts.
        std::uint32_t TextSlot = 0;
        std::uint32_t Mark = 0;
    };
    using TTexts = std::array<std::optional<std::string>, Columns>;

    const std::optional<std::string>* KeptText(std::size_t row, std::size_t column) const;
    void AddSlowly(std::size_t row, std::size_t column, std::int64_t amount);
    void KeepText(std::size_t row, std::size_t column, std::string_view text);
    void DropText(std::size_t row, std::size_t column);

    std::vector<TRow> Rows;
    // Texts of cells that are not plain numbers. Only a hand-edited state file makes
    // them, so they live apart from the rows; a slot freed by a removed row is simply
    // left until the table is cleared.
    std::vector<TTexts> Texts;
};

// One column of a counter table, under the column's own name (daten.UserDL), so that
// reading a counter stays as plain as reading any other column.
class TCounterColumn {
public:
    TCounterColumn(TCounterTable& table, std::size_t column) : Table(&table), Column(column) {}
    // A column is bound to the table of its owner for good: copying the owner copies
    // the tables, and the owner's columns stay bound to its own.
    TCounterColumn(const TCounterColumn&) = delete;
    TCounterColumn& operator=(const TCounterColumn&) = delete;

    std::size_t size() const { return Table->size(); }
    bool empty() const { return Table->size() == 0; }
    std::string Text(std::size_t row) const { return Table->Text(row, Column); }
    std::int64_t Value(std::size_t row) const { return Table->Value(row, Column); }
    double Real(std::size_t row) const { return Table->Real(row, Column); }
    bool IsZero(std::size_t row) const { return Table->IsZero(row, Column); }
    bool HoldsText(std::size_t row) const { return Table->HoldsText(row, Column); }
    // The text forms of the whole column, top to bottom.
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        texts.reserve(size());
        for (std::size_t row = 0; row < size(); ++row)
            texts.push_back(Text(row));
        return texts;
    }
    void Set(std::size_t row, std::string_view text) { Table->Set(row, Column, text); }
    void SetValue(std::size_t row, std::int64_t value) { Table->SetValue(row, Column, value); }
    void Add(std::size_t row, std::int64_t amount) { Table->Add(row, Column, amount); }

private:
    TCounterTable* Table;
    std::size_t Column;
};
