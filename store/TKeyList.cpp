#include "TKeyList.h"

#include "TIpAddress.h"

#include <functional>

std::uint64_t TKeyList::Hash(std::string_view key)
{
    return std::hash<std::string_view>{}(key);
}

void TKeyList::Prefetch(std::uint64_t hash) const
{
    if (!IndexStale && !Slots.empty())
        __builtin_prefetch(&Slots[SlotOf(hash)]);
}

int TKeyList::IndexOf(std::string_view key, std::uint64_t hash) const
{
    if (IndexStale)
        Rebuild();
    if (Slots.empty())
        return -1;
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t slot = SlotOf(hash);; slot = (slot + 1) & (Slots.size() - 1)) {
        const TSlot& entry = Slots[slot];
        if (entry.Row < 0)
            return -1;
        if (entry.HashTag == tag && Items[entry.Row] == key)
            return entry.Row;
    }
}

int TKeyList::IndexOfV4(std::uint32_t address) const
{
    if (IndexStale)
        Rebuild();
    if (V4Slots.empty())
        return -1;
    for (std::size_t slot = SlotOf(HashV4(address));; slot = (slot + 1) & (V4Slots.size() - 1)) {
        const TV4Slot& entry = V4Slots[slot];
        if (entry.Row < 0)
            return -1;
        if (entry.Address == address)
            return entry.Row;
    }
}

void TKeyList::PrefetchV4(std::uint32_t address) const
{
    if (!IndexStale && !V4Slots.empty())
        __builtin_prefetch(&V4Slots[SlotOf(HashV4(address))]);
}

void TKeyList::InsertV4(std::int32_t row) const
{
    const auto parsed = TIpAddress::ParseV4(Items[static_cast<std::size_t>(row)]);
    if (!parsed)
        return;
    const std::uint32_t address = parsed->V4Value();
    for (std::size_t slot = SlotOf(HashV4(address));; slot = (slot + 1) & (V4Slots.size() - 1)) {
        TV4Slot& entry = V4Slots[slot];
        if (entry.Row < 0) {
            entry = {address, row};
            return;
        }
        if (entry.Address == address)
            return;  // rows go in ascending order: the first one stays
    }
}

void TKeyList::Insert(std::uint64_t hash, std::int32_t row) const
{
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t slot = SlotOf(hash);; slot = (slot + 1) & (Slots.size() - 1)) {
        TSlot& entry = Slots[slot];
        if (entry.Row < 0) {
            entry = {tag, row};
            return;
        }
        // Rows are inserted in ascending order, so an equal key already here is the first.
        if (entry.HashTag == tag && Items[entry.Row] == Items[row])
            return;
    }
}

void TKeyList::Rebuild() const
{
    // At most half full keeps probe runs short.
    std::size_t capacity = 16;
    while (capacity < Items.size() * 2)
        capacity *= 2;
    Slots.assign(capacity, TSlot{});
    V4Slots.assign(capacity, TV4Slot{});
    for (std::size_t row = 0; row < Items.size(); ++row) {
        Insert(Hash(Items[row]), static_cast<std::int32_t>(row));
        InsertV4(static_cast<std::int32_t>(row));
    }
    IndexStale = false;
}

void TKeyList::Append(std::string key)
{
    Items.push_back(std::move(key));
    if (IndexStale)
        return;
    if (Slots.size() < Items.size() * 2)
        IndexStale = true;  // grows on the next lookup
    else {
        Insert(Hash(Items.back()), static_cast<std::int32_t>(Items.size() - 1));
        InsertV4(static_cast<std::int32_t>(Items.size() - 1));
    }
}

void TKeyList::Delete(std::size_t index)
{
    Items.erase(Items.begin() + static_cast<std::ptrdiff_t>(index));
    IndexStale = true;
}

void TKeyList::Clear()
{
    Items.clear();
    Slots.clear();
    V4Slots.clear();
    IndexStale = false;
}
