#pragma once

#include "LocalTime.h"
#include "TAddressFilter.h"
#include "TAtomicFile.h"
#include "TCarriedTraffic.h"
#include "TCounterTable.h"
#include "TDatenSettings.h"
#include "TFlowLogList.h"
#include "TIPv6Aliases.h"
#include "TIpAddress.h"
#include "TKeyList.h"
#include "TPortList.h"
#include "TRouterFlowState.h"

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// The counter columns of the two tables, each table's counters kept as numbers in rows
// of their own (TCounterTable). Copying or moving copies the tables; the named columns
// stay bound to the tables of the object they belong to.
class TCounterColumns {
public:
    TCounterColumns() = default;
    TCounterColumns(const TCounterColumns& other) : UserCounters(other.UserCounters), RouterCounters(other.RouterCounters) {}
    TCounterColumns(TCounterColumns&& other) noexcept
        : UserCounters(std::move(other.UserCounters)), RouterCounters(std::move(other.RouterCounters))
    {
    }
    TCounterColumns& operator=(const TCounterColumns& other)
    {
        UserCounters = other.UserCounters;
        RouterCounters = other.RouterCounters;
        return *this;
    }
    TCounterColumns& operator=(TCounterColumns&& other) noexcept
    {
        UserCounters = std::move(other.UserCounters);
        RouterCounters = std::move(other.RouterCounters);
        return *this;
    }
    ~TCounterColumns() = default;

    // User counters: totals (DL, UL) and interval counters (CDL, CUL), in the order of
    // the columns below.
    TCounterTable UserCounters;
    // Router counters: totals and the sequence figures.
    TCounterTable RouterCounters;

    TCounterColumn UserDL{UserCounters, 0};
    TCounterColumn UserUL{UserCounters, 1};
    TCounterColumn UserCDL{UserCounters, 2};
    TCounterColumn UserCUL{UserCounters, 3};
    TCounterColumn RouterDownload{RouterCounters, 0};
    TCounterColumn RouterUpload{RouterCounters, 1};
    TCounterColumn RouterRecordCount{RouterCounters, 2};
    TCounterColumn RouterSequenz{RouterCounters, 3};
};

// The traffic store: every table as parallel column lists, one list per column, a row
// being the same index in every list of its table. Handlers read and change the value
// columns in place; rows are added and removed only through the operations below, which
// walk the table's one list of its columns (ForEachUserColumn, ForEachRouterColumn), so
// the lists always stay of equal length. A new column is added to that list and to the
// table's row struct (TUserRow, TRouterRow). The settings are apart (TDatenSettings).
class TDaten : public TCounterColumns, public TDatenSettings {
public:
    TDaten();

    // Router table, one row per flow exporter, keyed by RouterIP. Not saved.
    TKeyList RouterIP;
    std::vector<std::string> RouterTime;
    std::vector<TPortList> RouterPortTrafficUL;
    std::vector<TPortList> RouterPortTrafficDL;
    std::vector<std::string> RouterPLoss;
    // Per router, what the flow path follows between datagrams (sequences per exporter
    // domain); not a column anyone shows, never saved.
    std::vector<TRouterFlowState> RouterFlow;
    // Per router, when it was last heard from (ms on the serial time line): a row that
    // stays silent long enough may give way to a new sender when the table is full.
    std::vector<std::int64_t> RouterSeenMs;
    // Damaged counters already reported, by user address and column: a damaged row is
    // named once, not for every flow that touches it.
    std::set<std::string> ReportedCounterFaults;
    // Bytes of v9/IPFIX data held for their templates over all routers (bounded), and
    // the data sets given up unread since the start.
    std::size_t FlowHeldBytes = 0;
    std::uint64_t FlowHeldExpired = 0;

    // User table, one row per client address, keyed by UserIP.
    TKeyList UserIP;
    std::vector<std::string> UserMAC;
    std::vector<std::string> UserName;
    // Interval octets per remote port (kept with the interval counters, cleared with
    // them after each export; the detailed export writes them). Filled only while
    // KeepsUserPorts(): nothing else reads them, and a client that sees every port
    // would otherwise grow its list without bound.
    std::vector<TPortList> UserCPort;
    std::vector<std::string> UserStatus;
    std::vector<std::string> UserMACTime;
    std::vector<std::string> UserLastTime;
    std::vector<std::string> UserDevice;
    // The device's IPv6 addresses, learned again after every start (not in the state
    // file). Changed only through the operations below.
    TIPv6Aliases UserIPv6;

    // The last flows, index 0 the oldest; exactly TFlowLogList::Capacity entries each.
    TFlowLogList FlowLogSrcIP;
    TFlowLogList FlowLogDstIP;
    TFlowLogList FlowLogSrcPort;
    TFlowLogList FlowLogDstPort;
    TFlowLogList FlowLogTraffic{"0"};

    std::size_t UserCount() const { return UserIP.size(); }
    std::size_t RouterCount() const { return RouterIP.size(); }

    // True when the address begins with a LocalSubnets entry followed by "." or equals
    // a LocalIPs entry (a textual test), or lies in a network entry of either list
    // (written with "/", IPv4 or IPv6). The hide lists play no part.
    bool IsLocalAddress(std::string_view address) const;
    // The same for a binary address, as the flow path has it: no text is written.
    bool IsLocalAddress(const TIpAddress& address) const;
    // The prepared local filter, for callers that test many addresses in a row while
    // the lists stay as they are (valid until the lists change).
    const TAddressFilter& LocalAddressFilter() const { return LocalFilter.For(LocalSubnets, LocalIPs); }

    // True when the address equals a HideIPs entry or begins with a HideSubnets entry
    // followed by ".", or lies in a network entry of either; hidden users are counted
    // but neither shown nor exported.
    bool IsHiddenAddress(std::string_view address) const;
    bool IsHiddenAddress(const TIpAddress& address) const;
    const TAddressFilter& HiddenAddressFilter() const { return HideFilter.For(HideSubnets, HideIPs); }

    // IPv6 addresses of the devices. A user row is a device: its IPv4 address is its key
    // (or, for a device known only by IPv6, its IPv6 address text), and the IPv6
    // addresses it uses are aliases learned from announcements and from flows.
    //
    // The row holding the IPv6 address, or -1; one probe of the index.
    int IPv6User(const TIpAddress& address) const { return UserIPv6.UserOf(address); }
    // The same, and the address counts as seen now (a flow charged through it).
    int SeenIPv6(const TIpAddress& address, const TLocalTime& now);
    // The same in two steps, for the flow path that looks up a datagram's addresses
    // before it touches what they lead to: the row and the entry whose last-seen time
    // to refresh (null when no row holds it). The entry stays valid until addresses or
    // rows change.
    int FindIPv6(const TIpAddress& address, TUserAlias*& alias);
    // The address belongs to the row (from now on): it moves there from another row, or
    // is refreshed there. Refused (false) for the own key of another row, for an IPv4
    // address, or when the bounds leave no room.
    bool LearnIPv6(int row, const TIpAddress& address, const TLocalTime& now);
    // The address no longer belongs to any row (announced with a MAC that has none).
    void ForgetIPv6(const TIpAddress& address);
    // The row of a device by its MAC: the first row keyed by an IPv4 address, else the
    // first device known only by IPv6, else -1.
    int UserOfMac(const std::string& mac) const;
    // An address announced with a MAC that no row has yet: kept (bounded, expiring)
    // until a row with that MAC appears.
    void RememberIPv6(const TIpAddress& address, const std::string& mac, const TLocalTime& now);
    // A row has just been added for a MAC: the addresses remembered for that MAC join
    // it, and rows of the same device known only by IPv6 are merged into an IPv4 row
    // (their addresses, totals, interval counters and name). Returns the row's index
    // afterwards (merged rows before it are gone).
    int JoinDevice(int row, const TLocalTime& now);
    // Forgets learned and remembered addresses not seen for the online time-out.
    void ForgetStaleIPv6(const TLocalTime& now);
    // Removes the rows of devices known only by IPv6 that hold no traffic and were not
    // announced for the online time-out (also rows loaded from the file): such a row is
    // a neighbour that came and went, and keeping it would fill the bounded room for
    // these rows for good. A row with any octets stays. Returns how many went.
    std::size_t RemoveIdleIPv6Rows(const TLocalTime& now);

    // Interval traffic of clients that left the table (replaced by another MAC on their
    // address, or removed from the list) while the export is on: the next export run
    // writes it as rows of their own. Not saved, like the interval counters.
    TCarriedTraffic CarriedTraffic;
    // Called right before a user's totals leave the table, while they are still in its
    // row: the row is replaced or removed (DepartUser and the removals below), or its
    // totals are set to 0. The local history books from here what it has not booked
    // yet. Not called when rows of one device are joined, nor by ClearUsers.
    std::function<void(std::size_t row)> TotalsLeaving;

    // Rows the user table holds at most: far above any real site (the IPv6 index is
    // sized for as many devices), low enough that a flood of announcements from the
    // LAN cannot exhaust memory or make every save and stop slow. Rows that exist are
    // never dropped to make room; a new device is refused and counted.
    static constexpr std::size_t MaxUsers = 262'144;
    bool UserTableFull() const { return UserIP.size() >= MaxUsers; }
    // New devices refused because the user table was full, and devices known only by
    // IPv6 refused because their bounded room was full.
    std::uint64_t UsersRefused = 0;
    std::uint64_t IPv6RowsRefused = 0;

    // Appends a complete user row: zero totals, name "-", online, announced now. False
    // (and counted in UsersRefused) when the table is full.
    bool AddUser(const std::string& address, const std::string& mac, const std::string& device, const TLocalTime& now);
    // Deletes the row from every user list; an index outside the table changes nothing.
    void RemoveUser(int index);
    // A client leaves the table (another MAC took its address): its interval traffic
    // is carried for the export and its totals are offered to TotalsLeaving, then the
    // row goes as with RemoveUser.
    void DepartUser(int index);
    // Empties the user table (the state file loader starts from here).
    void ClearUsers();
    // Removes, in one pass, every user row for which remove(index) is true, asking in
    // store order; the rows left keep their order. This is what removing them one by
    // one with RemoveUser would do, without its cost per row on large tables. If
    // remove throws, the rows decided before stay removed and the rest stay.
    void RemoveUsersWhere(const std::function<bool(std::size_t)>& remove);
    // Appends a row with every column given (the state file loader).
    struct TUserRow {
        std::string IP, MAC, Name = "-", DL = "0", UL = "0", CDL = "0", CUL = "0";
        TPortList CPort;
        std::string Status = "0", MACTime = "0", LastTime = "0", Device;
    };
    void AppendUser(TUserRow row);
    // True when every user column is as long as the table (only a fault could make
    // them differ): a reader may then fill rows from every column without failing.
    bool UserColumnsInStep() const;

    // The removals the user asks for. Removing a device from the list does not unsay
    // the traffic it had: each removed row leaves as with DepartUser.
    //
    // Removes every user whose address is one of these (the removal of selected rows).
    void RemoveUsersWithAddress(const std::vector<std::string>& addresses);
    // Removes every user whose download and upload totals add up to less than
    // `threshold` bytes, in store order. A damaged total raises EConvertError there;
    // the users removed before it stay removed.
    void RemoveLowTrafficUsers(std::int64_t threshold);
    // Removes every user ("Alle Clients entfernen").
    void RemoveAllUsers();
    // Sets every user's download and upload totals to "0" (offered to TotalsLeaving
    // first); interval counters stay.
    void ResetUserTotals();

    // True while the per-port interval lists are kept: the detailed export is on.
    bool KeepsUserPorts() const { return ExportEnabled && ExportDetailed; }
    // Empties every user's per-port interval list and frees its memory (the export
    // was switched off or to packed).
    void ClearUserPorts();

    // What the display needs to redraw only what changed. A user row's mark moves with
    // every write of its counters (TCounterTable) and with MarkUser, which every other
    // writer of a shown column calls (name, MAC, device, ports, IPv6 addresses); the
    // stamps are read on every tick anyway, as the ages they give change with time.
    // UserLayout moves whenever rows go or change places, or many rows change at once:
    // the display then starts afresh. A row appended at the end (a new user) does not
    // move it: the rows before it keep their places, and the display takes the new
    // rows on by the count.
    std::uint32_t UserMark(std::size_t row) const { return UserCounters.Mark(row); }
    // True when the user's counters are all plain numbers (no kept or damaged text).
    bool UserCountersAreNumbers(std::size_t row) const { return UserCounters.AllNumbers(row); }
    void MarkUser(std::size_t row) { UserCounters.Touch(row); }
    std::uint64_t UserLayout() const { return UserLayoutRevision; }
    void MarkUserLayout() { ++UserLayoutRevision; }

    // Appends a router row for a sender seen for the first time; returns its index.
    int AddRouter(const std::string& address, std::int64_t sequence, const TLocalTime& now);

    // Any sender of one well-formed flow header gets a router row, and a sender address
    // costs an attacker nothing to make up: the table and what each row keeps are
    // bounded. Real sites have a handful of exporters; a few thousand leaves room for
    // the largest while a flood of made-up senders stays a few MB.
    static constexpr std::size_t MaxRouters = 4096;
    // A full table lets rows go that have not been heard from for this long. A router
    // that exports traffic sends every few seconds and its templates every few minutes,
    // so a row silent for an hour belongs to nobody who still sends.
    static constexpr std::int64_t RouterIdleMs = 3'600'000;
    // The row of the sender, added when it is new; -1 when the table is full of routers
    // heard from lately (counted in RoutersRefused). Rows that exist are always found.
    int RouterFor(const std::string& address, std::int64_t sequence, const TLocalTime& now);
    // The router was heard from now: the time column and the age its row is kept by.
    void RouterSeen(int router, const TLocalTime& now);
    // Senders refused because the router table was full, and idle rows let go for them.
    std::uint64_t RoutersRefused = 0;
    std::uint64_t RoutersDropped = 0;
    // Datagrams of exporter domains beyond what one router's sequences are followed
    // for (a sender spoofing the router's address with ever new source IDs): charged,
    // but without the duplicate and loss checks. The sum over every router's state.
    std::uint64_t UnfollowedDatagrams = 0;

    // Empties every router's per-port lists (every 10 s); totals stay.
    void ClearPortTraffic();

    // Writes or reads "vexal.ini" in the working directory (TStateFile has the layout).
    // Neither shows anything; SaveState tells its caller how the save went, so the
    // window can report a save that failed or could not be made safely.
    TSaveOutcome SaveState() const;
    void LoadState();

private:
    // A new router row, as AddRouter makes it.
    struct TRouterRow {
        std::string IP;
        // Download, upload, record count and sequence (TCounterColumns).
        std::array<std::int64_t, TCounterTable::Columns> Counters{};
        std::string Time;
        TPortList PortTrafficUL;
        TPortList PortTrafficDL;
        std::string PLoss = "0";
        TRouterFlowState Flow;
        std::int64_t SeenMs = 0;
    };

    // A field of a new row, handed over to its column.
    template <typename TRow, typename T>
    static auto Take(T TRow::*field)
    {
        return [field](TRow& row) -> T&& { return std::move(row.*field); };
    }

    // Every column of the user table, each with what a new row gives it. Appending,
    // removing, moving and clearing rows all walk this one list. The device's IPv6 row
    // is added by the key before the key column takes it over.
    template <typename TSelf, typename TVisit>
    static void ForEachUserColumn(TSelf& d, TVisit&& visit)
    {
        visit(d.UserIPv6, [](TUserRow& row) { return std::string_view(row.IP); });
        visit(d.UserIP, Take(&TUserRow::IP));
        visit(d.UserMAC, Take(&TUserRow::MAC));
        visit(d.UserName, Take(&TUserRow::Name));
        visit(d.UserCounters, [](TUserRow& row) {
            return std::array<std::string_view, TCounterTable::Columns>{row.DL, row.UL, row.CDL, row.CUL};
        });
        visit(d.UserCPort, Take(&TUserRow::CPort));
        visit(d.UserStatus, Take(&TUserRow::Status));
        visit(d.UserMACTime, Take(&TUserRow::MACTime));
        visit(d.UserLastTime, Take(&TUserRow::LastTime));
        visit(d.UserDevice, Take(&TUserRow::Device));
    }
    // The same for the router table.
    template <typename TVisit>
    void ForEachRouterColumn(TVisit&& visit)
    {
        visit(RouterIP, Take(&TRouterRow::IP));
        visit(RouterCounters, [](TRouterRow& row) { return row.Counters; });
        visit(RouterTime, Take(&TRouterRow::Time));
        visit(RouterPortTrafficUL, Take(&TRouterRow::PortTrafficUL));
        visit(RouterPortTrafficDL, Take(&TRouterRow::PortTrafficDL));
        visit(RouterPLoss, Take(&TRouterRow::PLoss));
        visit(RouterFlow, Take(&TRouterRow::Flow));
        visit(RouterSeenMs, Take(&TRouterRow::SeenMs));
    }

    std::uint64_t UserLayoutRevision = 0;
    // Removes the router rows silent for RouterIdleMs; false when none was. Until
    // NoIdleRouterBefore no row can be that old, so a flood of refused senders does not
    // scan the table for every datagram.
    bool DropIdleRouters(std::int64_t nowMs);
    std::int64_t NoIdleRouterBefore = 0;
    // Prepared filter lists, rebuilt when a dialog or the loader changed the lists.
    TFilterCache LocalFilter;
    TFilterCache HideFilter;

    struct TMacRows {
        int IPv4Row = -1;  // first row keyed by an IPv4 address (or any text but IPv6)
        int IPv6Row = -1;  // first row of a device known only by IPv6
    };
    void NoteMac(std::size_t row) const;
    const TMacRows* FindMac(const std::string& mac) const;
    void MergeInto(int row, int other);
    // What a leaving row hands on: its interval traffic to CarriedTraffic (while the
    // export is on) and its totals to TotalsLeaving.
    void HandOn(std::size_t row);
    // MAC to rows; rebuilt on the next look-up after rows were removed. UserMAC changes
    // only with its row, so an entry found is checked against it and rebuilt if stale.
    mutable std::unordered_map<std::string, TMacRows> MacRows;
    mutable bool MacRowsStale = false;
};
