#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The key column of a table (UserIP, RouterIP). Readers see an ordinary list of text;
// only the store changes it, and it keeps a hash index in step so that finding a row
// costs the same with ten rows or 65,000. IndexOf returns the first matching row, as a
// scan from the top would.
class TKeyList {
public:
    std::size_t size() const { return Items.size(); }
    bool empty() const { return Items.empty(); }
    const std::string& operator[](std::size_t index) const { return Items[index]; }
    std::vector<std::string>::const_iterator begin() const { return Items.begin(); }
    std::vector<std::string>::const_iterator end() const { return Items.end(); }

    // First row whose key equals the text exactly, or -1.
    int IndexOf(std::string_view key) const;

private:
    friend class TDaten;

    void Append(std::string key);
    void Delete(std::size_t index);
    void Clear();

    struct THash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };

    std::vector<std::string> Items;
    // Key -> first row holding it. Deleting a row in the middle shifts the rows behind
    // it, so the index is rebuilt on the next lookup rather than patched row by row.
    mutable std::unordered_map<std::string, int, THash, std::equal_to<>> Index;
    mutable bool IndexStale = false;
};
