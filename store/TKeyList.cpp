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
        if (entry.HashTag == tag && Items[entry.Row] == Items[row]) {
            ++Duplicates;
            return;
        }
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
    Duplicates = 0;
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
    if (!IndexStale && !Slots.empty())
        Unindex(index);
    Items.erase(Items.begin() + static_cast<std::ptrdiff_t>(index));
}

void TKeyList::Unindex(std::size_t index) const
{
    // A row replaced by another client leaves in the middle of the table, thousands of
    // times a second under a flood of announcements: the index is patched (the key's
    // slot goes or points at the next row with that key, rows behind move up one)
    // instead of hashing and parsing every key again.
    const std::string& key = Items[index];
    const auto row = static_cast<std::int32_t>(index);
    std::int32_t next = -1;  // the next row with the same key, which becomes the first
    const std::uint64_t hash = Hash(key);
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    std::size_t slot = SlotOf(hash);
    for (; Slots[slot].Row >= 0; slot = (slot + 1) & (Slots.size() - 1))
        if (Slots[slot].HashTag == tag && Items[Slots[slot].Row] == key)
            break;
    const bool first = Slots[slot].Row == row;
    if (!first)
        --Duplicates;  // a later row of a key: the first stays indexed
    if (first) {
        for (std::size_t later = index + 1; Duplicates > 0 && later < Items.size() && next < 0; ++later)
            if (Items[later] == key)
                next = static_cast<std::int32_t>(later);
        if (next >= 0)
            --Duplicates;
        if (next >= 0)
            Slots[slot].Row = next;
        else
            EraseSlot(Slots, slot, [this](const TSlot& entry) { return SlotOf(Hash(Items[entry.Row])); });
        if (const auto parsed = TIpAddress::ParseV4(key)) {
            const std::uint32_t address = parsed->V4Value();
            std::size_t v4 = SlotOf(HashV4(address));
            for (; V4Slots[v4].Row >= 0 && V4Slots[v4].Address != address; v4 = (v4 + 1) & (V4Slots.size() - 1)) {
            }
            if (V4Slots[v4].Row == row) {
                if (next >= 0)
                    V4Slots[v4].Row = next;
                else
                    EraseSlot(V4Slots, v4, [this](const TV4Slot& entry) { return SlotOf(HashV4(entry.Address)); });
            }
        }
    }
    // Without branches, so the passes over the slots run as vector instructions.
    for (TSlot& entry : Slots)
        entry.Row -= static_cast<std::int32_t>(entry.Row > row);
    for (TV4Slot& entry : V4Slots)
        entry.Row -= static_cast<std::int32_t>(entry.Row > row);
}

template <typename TEntry, typename THome>
void TKeyList::EraseSlot(std::vector<TEntry>& slots, std::size_t hole, THome home)
{
    // Linear probing without tombstones: entries behind the hole whose probe run passes
    // it move up into it, so every lookup still finds its key before an empty slot.
    const std::size_t mask = slots.size() - 1;
    for (std::size_t at = (hole + 1) & mask; slots[at].Row >= 0; at = (at + 1) & mask) {
        const std::size_t wanted = home(slots[at]);
        // The entry may fill the hole when its home is not cyclically in (hole, at].
        const bool homeAfterHole = hole <= at ? (wanted > hole && wanted <= at) : (wanted > hole || wanted <= at);
        if (!homeAfterHole) {
            slots[hole] = slots[at];
            hole = at;
        }
    }
    slots[hole] = TEntry{};
}

void TKeyList::Clear()
{
    Items.clear();
    Duplicates = 0;
    Slots.clear();
    V4Slots.clear();
    IndexStale = false;
}
