#pragma once

#include "LocalTime.h"
#include "TIpAddress.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// One IPv6 address of a user row.
struct TUserAlias {
    TIpAddress Address;
    // When it was last announced or seen in a flow, in ms on the serial time line.
    std::int64_t LastSeen = 0;
    // The row's own key: a device known only by IPv6 is keyed by its address text, and
    // that address stays with the row for as long as the row exists.
    bool Own = false;
};

// The IPv6 addresses of the user rows: a column parallel to the user lists (one list of
// aliases per row, changed with the rows) and a hash index from the 16-byte address to
// its row and place, so a flow finds its device with one probe and no text. Addresses
// are learned from announcements and flows, never saved, and forgotten when not seen
// for the online time-out. Bounded per row and in all, so a flood of addresses cannot
// exhaust memory. Only TDaten changes it.
class TIPv6Aliases {
public:
    static constexpr std::size_t MaxPerUser = 16;        // learned addresses per row
    // Learned addresses in all: room for the 65,000 devices a user table is made for,
    // with the few addresses a dual-stack client uses at once (privacy addresses and a
    // stable one), and some to spare.
    static constexpr std::size_t MaxAliases = 262'144;
    // Rows of devices known only by IPv6 (each keyed by its address): as many as the
    // user table is made for, so announcements cannot grow the table past that.
    static constexpr std::size_t MaxOwnRows = 65'536;
    static constexpr std::size_t MaxPending = 4'096;     // announced for a MAC without a row
    static constexpr std::size_t MaxPendingPerMac = 16;
    // A user is online while announced within 120 age units of 1.152 s; an address not
    // seen for as long is forgotten.
    static constexpr std::int64_t TimeoutMs = 120LL * TLocalTime::MsPerDay / 75'000;

    static std::int64_t Moment(const TLocalTime& time)
    {
        return time.Day * TLocalTime::MsPerDay + time.MsOfDay;
    }

    std::size_t size() const { return Rows.size(); }
    const std::vector<TUserAlias>& operator[](std::size_t row) const { return Rows[row]; }
    // Addresses in all rows, own keys included.
    std::size_t Count() const { return Total; }
    std::size_t LearnedCount() const { return Total - OwnCount; }
    std::size_t PendingCount() const { return Pending.size(); }
    // The row is a device known only by its IPv6 address.
    bool IsIPv6Only(std::size_t row) const { return !Rows[row].empty() && Rows[row].front().Own; }

    // The row holding the address, or -1: one probe of the index.
    int UserOf(const TIpAddress& address) const;
    // Requests the address's index slot ahead of a look-up, so the cache misses of a
    // datagram's look-ups overlap (nothing while the index waits to be rebuilt).
    void Prefetch(const TIpAddress& address) const
    {
        if (!IndexStale && !Slots.empty())
            __builtin_prefetch(&Slots[Home(address.Bytes())], 0, 3);
    }

private:
    friend class TDaten;
    friend class TTableRows;

    struct TSlot {
        TIpAddress::TBytes Key{};
        std::int32_t Row = -1;  // -1: empty
        std::uint16_t Pos = 0;  // place in the row's list
    };
    struct TPendingAlias {
        std::string Mac;
        std::int64_t LastSeen = 0;
    };
    struct TKeyHash {
        std::size_t operator()(const TIpAddress::TBytes& key) const;
    };

    // Row operations, in step with the user lists.
    void AppendRow(std::string_view key);
    void DeleteRow(std::size_t row);
    void Clear();
    // After rows were moved down in place (RemoveUsersWhere): keep the first `rows`.
    void RowsMoved(std::size_t rows);

    // Gives the address to the row (moving it from another row) or refreshes it there.
    // An own key of another row is never taken. When the row is full its least recently
    // seen address makes room; when all are full and the row has none to give, the
    // address is refused. Returns whether the row holds the address afterwards.
    bool Learn(std::size_t row, const TIpAddress& address, std::int64_t seen);
    // Drops a learned address from whichever row holds it.
    void Forget(const TIpAddress& address);
    // Finds the address; on success row and pos name its entry.
    bool Locate(const TIpAddress& address, int& row, std::size_t& pos) const;
    // Drops learned addresses and remembered ones older than limit; true when a row
    // lost an address.
    bool ForgetOlderThan(std::int64_t limit);

    // Addresses announced with a MAC that no row has yet.
    void Remember(const TIpAddress& address, const std::string& mac, std::int64_t seen);
    std::vector<std::pair<TIpAddress, std::int64_t>> TakePending(const std::string& mac);

    void RemoveAt(std::size_t row, std::size_t pos);
    void DropPending(const TIpAddress::TBytes& key);
    void Rebuild() const;
    void Insert(const TIpAddress::TBytes& key, std::int32_t row, std::uint16_t pos) const;
    std::size_t FindSlot(const TIpAddress::TBytes& key) const;  // Slots.size() when absent
    void EraseSlot(std::size_t slot) const;
    std::size_t Home(const TIpAddress::TBytes& key) const { return TKeyHash{}(key) & (Slots.size() - 1); }

    std::vector<std::vector<TUserAlias>> Rows;
    std::size_t Total = 0;
    std::size_t OwnCount = 0;
    // Open addressing with linear probing and the key in the slot: a look-up touches one
    // cache line. Removing a row shifts the rows behind it, so the index is then rebuilt
    // on the next look-up, as the key column's index is.
    mutable std::vector<TSlot> Slots;
    mutable bool IndexStale = false;

    std::unordered_map<TIpAddress::TBytes, TPendingAlias, TKeyHash> Pending;
    std::unordered_map<std::string, std::vector<TIpAddress::TBytes>> PendingByMac;
};
