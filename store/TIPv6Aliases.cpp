#include "TIPv6Aliases.h"

#include <algorithm>
#include <cstring>

std::size_t TIPv6Aliases::TKeyHash::operator()(const TIpAddress::TBytes& key) const
{
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, key.data(), 8);
    std::memcpy(&low, key.data() + 8, 8);
    // Interface identifiers differ in the low half, prefixes in the high half; mix both
    // and finish like a 64-bit murmur, so consecutive addresses spread over the table.
    std::uint64_t h = high * 0x9E3779B97F4A7C15ULL ^ low;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return static_cast<std::size_t>(h);
}

std::size_t TIPv6Aliases::FindSlot(const TIpAddress::TBytes& key) const
{
    if (IndexStale)
        Rebuild();
    if (Slots.empty())
        return Slots.size();
    for (std::size_t slot = Home(key);; slot = (slot + 1) & (Slots.size() - 1)) {
        const TSlot& entry = Slots[slot];
        if (entry.Row < 0)
            return Slots.size();
        if (entry.Key == key)
            return slot;
    }
}

int TIPv6Aliases::UserOf(const TIpAddress& address) const
{
    if (address.IsV4())
        return -1;
    const std::size_t slot = FindSlot(address.Bytes());
    return slot == Slots.size() ? -1 : Slots[slot].Row;
}

bool TIPv6Aliases::Locate(const TIpAddress& address, int& row, std::size_t& pos) const
{
    if (address.IsV4())
        return false;
    const std::size_t slot = FindSlot(address.Bytes());
    if (slot == Slots.size())
        return false;
    row = Slots[slot].Row;
    pos = Slots[slot].Pos;
    return true;
}

void TIPv6Aliases::Insert(const TIpAddress::TBytes& key, std::int32_t row, std::uint16_t pos) const
{
    for (std::size_t slot = Home(key);; slot = (slot + 1) & (Slots.size() - 1)) {
        TSlot& entry = Slots[slot];
        if (entry.Row < 0) {
            entry = {key, row, pos};
            return;
        }
        if (entry.Key == key)
            return;  // an address in two rows (possible only from a state file): the first wins
    }
}

void TIPv6Aliases::Rebuild() const
{
    // At most half full keeps probe runs short.
    std::size_t capacity = 16;
    while (capacity < Total * 2)
        capacity *= 2;
    Slots.assign(capacity, TSlot{});
    for (std::size_t row = 0; row < Rows.size(); ++row)
        for (std::size_t pos = 0; pos < Rows[row].size(); ++pos)
            Insert(Rows[row][pos].Address.Bytes(), static_cast<std::int32_t>(row), static_cast<std::uint16_t>(pos));
    IndexStale = false;
}

void TIPv6Aliases::EraseSlot(std::size_t slot) const
{
    // Backward-shift deletion: later entries of the probe run move up, so no tombstones
    // pile up under a stream of addresses that come and go.
    const std::size_t mask = Slots.size() - 1;
    std::size_t hole = slot;
    Slots[hole].Row = -1;
    for (std::size_t next = (hole + 1) & mask; Slots[next].Row >= 0; next = (next + 1) & mask) {
        const std::size_t home = Home(Slots[next].Key);
        // The entry may fill the hole unless its home lies cyclically in (hole, next].
        const bool stays = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
        if (stays)
            continue;
        Slots[hole] = Slots[next];
        Slots[next].Row = -1;
        hole = next;
    }
}

void TIPv6Aliases::AppendRow(std::string_view key)
{
    Rows.emplace_back();
    // Only a key that reads as IPv6 is an address of its own; dotted quads stay keys of
    // the IPv4 table.
    if (key.find(':') == std::string_view::npos)
        return;
    const std::optional<TIpAddress> address = TIpAddress::ParseV6(key);
    if (!address)
        return;
    int holder = -1;
    std::size_t pos = 0;
    if (Locate(*address, holder, pos)) {
        if (Rows[holder][pos].Own)
            return;
        RemoveAt(static_cast<std::size_t>(holder), pos);
    }
    DropPending(address->Bytes());
    const std::size_t row = Rows.size() - 1;
    Rows[row].push_back({*address, 0, true});
    ++Total;
    ++OwnCount;
    if (IndexStale)
        return;
    if (Slots.size() < Total * 2)
        IndexStale = true;  // grows on the next look-up
    else
        Insert(address->Bytes(), static_cast<std::int32_t>(row), 0);
}

void TIPv6Aliases::DeleteRow(std::size_t row)
{
    for (const TUserAlias& alias : Rows[row]) {
        --Total;
        if (alias.Own)
            --OwnCount;
    }
    Rows.erase(Rows.begin() + static_cast<std::ptrdiff_t>(row));
    IndexStale = true;
}

void TIPv6Aliases::Clear()
{
    Rows.clear();
    Slots.clear();
    Total = 0;
    OwnCount = 0;
    IndexStale = false;
}

void TIPv6Aliases::RowsMoved(std::size_t rows)
{
    for (std::size_t row = rows; row < Rows.size(); ++row)
        for (const TUserAlias& alias : Rows[row])
            if (alias.Own)
                --OwnCount;
    Rows.resize(rows);
    Total = 0;
    for (const std::vector<TUserAlias>& list : Rows)
        Total += list.size();
    IndexStale = true;
}

void TIPv6Aliases::RemoveAt(std::size_t row, std::size_t pos)
{
    std::vector<TUserAlias>& list = Rows[row];
    if (!IndexStale) {
        EraseSlot(FindSlot(list[pos].Address.Bytes()));
        if (pos + 1 != list.size())
            Slots[FindSlot(list.back().Address.Bytes())].Pos = static_cast<std::uint16_t>(pos);
    }
    --Total;
    if (list[pos].Own)
        --OwnCount;
    list[pos] = list.back();
    list.pop_back();
}

bool TIPv6Aliases::Learn(std::size_t row, const TIpAddress& address, std::int64_t seen)
{
    if (address.IsV4())
        return false;
    int holder = -1;
    std::size_t pos = 0;
    if (Locate(address, holder, pos)) {
        TUserAlias& alias = Rows[holder][pos];
        if (static_cast<std::size_t>(holder) == row) {
            alias.LastSeen = std::max(alias.LastSeen, seen);
            return true;
        }
        if (alias.Own)
            return false;
        RemoveAt(static_cast<std::size_t>(holder), pos);
    }
    DropPending(address.Bytes());

    std::vector<TUserAlias>& list = Rows[row];
    const std::size_t learned = list.size() - (IsIPv6Only(row) ? 1 : 0);
    if (learned >= MaxPerUser || Total - OwnCount >= MaxAliases) {
        // Privacy addresses come and go: the one seen longest ago gives way.
        std::size_t oldest = list.size();
        for (std::size_t i = 0; i < list.size(); ++i)
            if (!list[i].Own && (oldest == list.size() || list[i].LastSeen < list[oldest].LastSeen))
                oldest = i;
        if (oldest == list.size())
            return false;
        RemoveAt(row, oldest);
    }
    list.push_back({address, seen, false});
    ++Total;
    if (!IndexStale) {
        if (Slots.size() < Total * 2)
            IndexStale = true;
        else
            Insert(address.Bytes(), static_cast<std::int32_t>(row), static_cast<std::uint16_t>(list.size() - 1));
    }
    return true;
}

void TIPv6Aliases::Forget(const TIpAddress& address)
{
    int holder = -1;
    std::size_t pos = 0;
    if (Locate(address, holder, pos) && !Rows[holder][pos].Own)
        RemoveAt(static_cast<std::size_t>(holder), pos);
    DropPending(address.Bytes());
}

bool TIPv6Aliases::ForgetOlderThan(std::int64_t limit)
{
    bool forgotten = false;
    for (std::size_t row = 0; row < Rows.size(); ++row) {
        std::vector<TUserAlias>& list = Rows[row];
        for (std::size_t pos = list.size(); pos-- > 0;)
            if (!list[pos].Own && list[pos].LastSeen < limit) {
                RemoveAt(row, pos);
                forgotten = true;
            }
    }
    std::vector<TIpAddress::TBytes> stale;
    for (const auto& [key, pending] : Pending)
        if (pending.LastSeen < limit)
            stale.push_back(key);
    for (const TIpAddress::TBytes& key : stale)
        DropPending(key);
    return forgotten;
}

void TIPv6Aliases::Remember(const TIpAddress& address, const std::string& mac, std::int64_t seen)
{
    const auto found = Pending.find(address.Bytes());
    if (found != Pending.end()) {
        if (found->second.Mac == mac) {
            found->second.LastSeen = std::max(found->second.LastSeen, seen);
            return;
        }
        DropPending(address.Bytes());
    }
    std::vector<TIpAddress::TBytes>& ofMac = PendingByMac[mac];
    if (ofMac.size() >= MaxPendingPerMac) {
        const auto oldest = std::min_element(ofMac.begin(), ofMac.end(), [&](const auto& a, const auto& b) {
            return Pending.at(a).LastSeen < Pending.at(b).LastSeen;
        });
        const TIpAddress::TBytes key = *oldest;
        DropPending(key);
    } else if (Pending.size() >= MaxPending) {
        // Full of addresses from within the last time-out: the newest waits until older
        // ones have expired, so a flood cannot push out what is already remembered.
        if (ofMac.empty())
            PendingByMac.erase(mac);
        return;
    }
    Pending.emplace(address.Bytes(), TPendingAlias{mac, seen});
    PendingByMac[mac].push_back(address.Bytes());
}

std::vector<std::pair<TIpAddress, std::int64_t>> TIPv6Aliases::TakePending(const std::string& mac)
{
    std::vector<std::pair<TIpAddress, std::int64_t>> taken;
    const auto found = PendingByMac.find(mac);
    if (found == PendingByMac.end())
        return taken;
    for (const TIpAddress::TBytes& key : found->second) {
        taken.emplace_back(TIpAddress::FromV6(key.data()), Pending.at(key).LastSeen);
        Pending.erase(key);
    }
    PendingByMac.erase(found);
    return taken;
}

void TIPv6Aliases::DropPending(const TIpAddress::TBytes& key)
{
    const auto found = Pending.find(key);
    if (found == Pending.end())
        return;
    const auto ofMac = PendingByMac.find(found->second.Mac);
    if (ofMac != PendingByMac.end()) {
        std::erase(ofMac->second, key);
        if (ofMac->second.empty())
            PendingByMac.erase(ofMac);
    }
    Pending.erase(found);
}
