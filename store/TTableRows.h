#pragma once

#include "TCounterTable.h"
#include "TIPv6Aliases.h"
#include "TKeyList.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The row operations of a table's columns, one name for each whatever the column's
// kind, so that a table's one list of its columns (TDaten) can be walked by every
// operation that adds, removes or moves rows: a column in that list cannot be left
// out of any of them.
class TTableRows {
public:
    // Plain columns: one value per row.
    template <typename T, typename V>
    static void Append(std::vector<T>& column, V&& value)
    {
        column.push_back(std::forward<V>(value));
    }
    template <typename T>
    static void Erase(std::vector<T>& column, std::size_t row)
    {
        column.erase(column.begin() + static_cast<std::ptrdiff_t>(row));
    }
    template <typename T>
    static void Move(std::vector<T>& column, std::size_t to, std::size_t from)
    {
        column[to] = std::move(column[from]);
    }
    template <typename T>
    static void KeepFirst(std::vector<T>& column, std::size_t rows)
    {
        column.resize(rows);
    }
    template <typename T>
    static void Clear(std::vector<T>& column)
    {
        column.clear();
    }
    template <typename T>
    static std::size_t Count(const std::vector<T>& column)
    {
        return column.size();
    }

    // The key column and its index.
    static void Append(TKeyList& keys, std::string key) { keys.Append(std::move(key)); }
    static void Erase(TKeyList& keys, std::size_t row) { keys.Delete(row); }
    static void Move(TKeyList& keys, std::size_t to, std::size_t from) { keys.Items[to] = std::move(keys.Items[from]); }
    static void KeepFirst(TKeyList& keys, std::size_t rows)
    {
        keys.Items.resize(rows);
        keys.IndexStale = true;
    }
    static void Clear(TKeyList& keys) { keys.Clear(); }
    static std::size_t Count(const TKeyList& keys) { return keys.size(); }

    // The counters, kept as numbers in rows of their own.
    static void Append(TCounterTable& counters, const std::array<std::string_view, TCounterTable::Columns>& texts)
    {
        counters.AppendTexts(texts);
    }
    static void Append(TCounterTable& counters, const std::array<std::int64_t, TCounterTable::Columns>& values)
    {
        counters.AppendValues(values);
    }
    static void Erase(TCounterTable& counters, std::size_t row) { counters.Erase(row); }
    static void Move(TCounterTable& counters, std::size_t to, std::size_t from) { counters.MoveRow(to, from); }
    static void KeepFirst(TCounterTable& counters, std::size_t rows) { counters.Resize(rows); }
    static void Clear(TCounterTable& counters) { counters.Clear(); }
    static std::size_t Count(const TCounterTable& counters) { return counters.size(); }

    // A device's IPv6 addresses, with their index; a row is added by the device's key.
    static void Append(TIPv6Aliases& aliases, std::string_view key) { aliases.AppendRow(key); }
    static void Erase(TIPv6Aliases& aliases, std::size_t row) { aliases.DeleteRow(row); }
    static void Move(TIPv6Aliases& aliases, std::size_t to, std::size_t from)
    {
        aliases.Rows[to] = std::move(aliases.Rows[from]);
    }
    static void KeepFirst(TIPv6Aliases& aliases, std::size_t rows) { aliases.RowsMoved(rows); }
    static void Clear(TIPv6Aliases& aliases) { aliases.Clear(); }
    static std::size_t Count(const TIPv6Aliases& aliases) { return aliases.size(); }
};
