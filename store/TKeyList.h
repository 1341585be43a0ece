#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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
    int IndexOf(std::string_view key) const { return IndexOf(key, Hash(key)); }

    // The same in two steps, for callers that look up many keys at once: hash them all
    // and Prefetch their slots first, so the cache misses of the lookups overlap.
    static std::uint64_t Hash(std::string_view key);
    void Prefetch(std::uint64_t hash) const;
    int IndexOf(std::string_view key, std::uint64_t hash) const;

    // The first row whose key is the dotted quad of this IPv4 address (host order), or
    // -1: the flow path looks up addresses as numbers, without writing their text. A
    // dotted quad key has exactly one text per address, so this finds what IndexOf
    // finds for that text.
    int IndexOfV4(std::uint32_t address) const;
    void PrefetchV4(std::uint32_t address) const;

private:
    friend class TDaten;
    friend class TTableRows;

    void Append(std::string key);
    void Delete(std::size_t index);
    void Clear();

    // Open addressing with linear probing: one flat array, so a lookup usually costs
    // one cache miss for the slot and one for the key it points to.
    struct TSlot {
        std::uint32_t HashTag = 0;
        std::int32_t Row = -1;  // -1: empty
    };
    void Rebuild() const;
    // Takes a row out of the index before it is erased from Items.
    void Unindex(std::size_t index) const;
    template <typename TEntry, typename THome>
    static void EraseSlot(std::vector<TEntry>& slots, std::size_t hole, THome home);
    void Insert(std::uint64_t hash, std::int32_t row) const;
    void InsertV4(std::int32_t row) const;
    static std::uint64_t HashV4(std::uint32_t address) { return (address * 0x9E3779B97F4A7C15ULL) >> 20; }
    std::size_t SlotOf(std::uint64_t hash) const { return static_cast<std::size_t>(hash) & (Slots.size() - 1); }

    std::vector<std::string> Items;
    mutable std::vector<TSlot> Slots;
    // The same rows by IPv4 address, for keys that are dotted quads; as large as Slots.
    struct TV4Slot {
        std::uint32_t Address = 0;
        std::int32_t Row = -1;  // -1: empty
    };
    mutable std::vector<TV4Slot> V4Slots;
    // Rows removed in bulk (RemoveUsersWhere) or a table outgrowing the index: rebuilt on
    // the next lookup.
    mutable bool IndexStale = false;
    // Rows whose key an earlier row has too (valid while the index is): only then does a
    // removal look for the row that takes over its key.
    mutable std::size_t Duplicates = 0;
};
