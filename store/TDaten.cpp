#include "TDaten.h"

#include "Errors.h"
#include "TStateFile.h"
#include "TTableRows.h"
#include "TextForms.h"

#include <algorithm>
#include <unordered_set>

namespace {
// The online time-out (the one the IPv6 addresses expire by) in the age units of stamps.
constexpr double OnlineAgeUnits = static_cast<double>(TIPv6Aliases::TimeoutMs) * 75'000.0 / TLocalTime::MsPerDay;
}

TDaten::TDaten() = default;

bool TDaten::IsLocalAddress(std::string_view address) const
{
    return LocalFilter.For(LocalSubnets, LocalIPs).Matches(address);
}

bool TDaten::IsLocalAddress(const TIpAddress& address) const
{
    return LocalFilter.For(LocalSubnets, LocalIPs).Matches(address);
}

bool TDaten::IsHiddenAddress(std::string_view address) const
{
    return HideFilter.For(HideSubnets, HideIPs).Matches(address);
}

bool TDaten::IsHiddenAddress(const TIpAddress& address) const
{
    return HideFilter.For(HideSubnets, HideIPs).Matches(address);
}

bool TDaten::AddUser(const std::string& address, const std::string& mac, const std::string& device,
                     const TLocalTime& now)
{
    if (UserTableFull()) {
        ++UsersRefused;
        return false;
    }
    TUserRow row;
    row.IP = address;
    row.MAC = mac;
    row.Status = "1";
    row.MACTime = StampText(now);
    row.Device = device;
    AppendUser(std::move(row));
    return true;
}

void TDaten::AppendUser(TUserRow row)
{
    ForEachUserColumn(*this, [&](auto& column, auto&& value) { TTableRows::Append(column, value(row)); });
    if (!MacRowsStale)
        NoteMac(UserMAC.size() - 1);
}

bool TDaten::UserColumnsInStep() const
{
    bool inStep = true;
    ForEachUserColumn(*this, [&](const auto& column, auto&&) {
        inStep = inStep && TTableRows::Count(column) == UserCount();
    });
    return inStep;
}

void TDaten::RemoveUser(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= UserIP.size())
        return;
    ++UserLayoutRevision;
    MacRowsStale = true;
    const auto row = static_cast<std::size_t>(index);
    ForEachUserColumn(*this, [&](auto& column, auto&&) { TTableRows::Erase(column, row); });
}

void TDaten::HandOn(std::size_t row)
{
    if (TotalsLeaving)
        TotalsLeaving(row);
    if (!ExportEnabled)
        return;
    std::int64_t ul = 0, dl = 0;
    try {
        ul = UserCUL.Value(row);
        dl = UserCDL.Value(row);
    } catch (const EConvertError&) {
        // A damaged interval counter cannot be exported anyway; it must not keep the
        // client from leaving.
        return;
    }
    // What the export would take of it: download always, upload only with a MAC.
    const bool takesPart = dl != 0 || (ul != 0 && !UserMAC[row].empty());
    if (takesPart)
        CarriedTraffic.Carry(UserIP[row], UserMAC[row], UserDevice[row], ul, dl, UserCPort[row]);
}

void TDaten::DepartUser(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= UserIP.size())
        return;
    HandOn(static_cast<std::size_t>(index));
    RemoveUser(index);
}

void TDaten::RemoveAllUsers()
{
    for (std::size_t row = 0; row < UserIP.size(); ++row)
        HandOn(row);
    ClearUsers();
}

void TDaten::ClearUsers()
{
    ++UserLayoutRevision;
    ForEachUserColumn(*this, [](auto& column, auto&&) { TTableRows::Clear(column); });
    MacRows.clear();
    MacRowsStale = false;
}

void TDaten::RemoveUsersWhere(const std::function<bool(std::size_t)>& remove)
{
    const std::size_t count = UserIP.size();
    std::size_t kept = 0;
    auto keep = [&](std::size_t row) {
        if (row != kept)
            ForEachUserColumn(*this, [&](auto& column, auto&&) { TTableRows::Move(column, kept, row); });
        ++kept;
    };
    auto finish = [&] {
        if (kept == count)
            return;
        ++UserLayoutRevision;
        ForEachUserColumn(*this, [&](auto& column, auto&&) { TTableRows::KeepFirst(column, kept); });
        MacRowsStale = true;
    };
    std::size_t row = 0;
    try {
        for (; row < count; ++row)
            if (!remove(row))
                keep(row);
    } catch (...) {
        for (; row < count; ++row)
            keep(row);
        finish();
        throw;
    }
    finish();
}

void TDaten::RemoveUsersWithAddress(const std::vector<std::string>& addresses)
{
    const std::unordered_set<std::string_view> doomed(addresses.begin(), addresses.end());
    RemoveUsersWhere([&](std::size_t row) {
        if (!doomed.contains(UserIP[row]))
            return false;
        HandOn(row);
        return true;
    });
}

void TDaten::RemoveLowTrafficUsers(std::int64_t threshold)
{
    RemoveUsersWhere([&](std::size_t row) {
        std::int64_t total = 0;
        if (__builtin_add_overflow(UserDL.Value(row), UserUL.Value(row), &total))
            return false;  // beyond any threshold
        if (total >= threshold)
            return false;
        HandOn(row);
        return true;
    });
}

void TDaten::ResetUserTotals()
{
    for (std::size_t row = 0; row < UserCounters.size(); ++row) {
        if (TotalsLeaving && !(UserDL.IsZero(row) && UserUL.IsZero(row)))
            TotalsLeaving(row);
        UserDL.SetValue(row, 0);
        UserUL.SetValue(row, 0);
    }
}

void TDaten::ClearUserPorts()
{
    // Clear() would keep the capacity; these lists may have held tens of thousands of ports.
    for (TPortList& list : UserCPort)
        list = TPortList();
    ++UserLayoutRevision;
}

int TDaten::AddRouter(const std::string& address, std::int64_t sequence, const TLocalTime& now)
{
    TRouterRow row;
    row.IP = address;
    row.Counters = {0, 0, sequence, sequence};
    row.Time = TimeText(now);
    row.SeenMs = TIPv6Aliases::Moment(now);
    ForEachRouterColumn([&](auto& column, auto&& value) { TTableRows::Append(column, value(row)); });
    return static_cast<int>(RouterIP.size()) - 1;
}

int TDaten::RouterFor(const std::string& address, std::int64_t sequence, const TLocalTime& now)
{
    const int row = RouterIP.IndexOf(address);
    if (row >= 0)
        return row;
    if (RouterIP.size() >= MaxRouters && !DropIdleRouters(TIPv6Aliases::Moment(now))) {
        ++RoutersRefused;
        return -1;
    }
    return AddRouter(address, sequence, now);
}

void TDaten::RouterSeen(int router, const TLocalTime& now)
{
    RouterTime[router] = TimeText(now);
    RouterSeenMs[router] = std::max(RouterSeenMs[router], TIPv6Aliases::Moment(now));
}

bool TDaten::DropIdleRouters(std::int64_t nowMs)
{
    if (nowMs < NoIdleRouterBefore)
        return false;
    const std::int64_t limit = nowMs - RouterIdleMs;
    std::int64_t oldestKept = nowMs;
    std::size_t kept = 0;
    for (std::size_t row = 0; row < RouterIP.size(); ++row) {
        if (RouterSeenMs[row] < limit) {
            FlowHeldBytes -= RouterFlow[row].HeldBytes;
            continue;
        }
        oldestKept = std::min(oldestKept, RouterSeenMs[row]);
        if (row != kept)
            ForEachRouterColumn([&](auto& column, auto&&) { TTableRows::Move(column, kept, row); });
        ++kept;
    }
    NoIdleRouterBefore = oldestKept + RouterIdleMs;
    const std::size_t dropped = RouterIP.size() - kept;
    if (dropped == 0)
        return false;
    ForEachRouterColumn([&](auto& column, auto&&) { TTableRows::KeepFirst(column, kept); });
    RoutersDropped += dropped;
    return true;
}

void TDaten::ClearPortTraffic()
{
    for (TPortList& list : RouterPortTrafficDL)
        list.Clear();
    for (TPortList& list : RouterPortTrafficUL)
        list.Clear();
}

TSaveOutcome TDaten::SaveState() const
{
    return TStateFile::Write(*this);
}

void TDaten::LoadState()
{
    TStateFile::Load(*this);
}

int TDaten::SeenIPv6(const TIpAddress& address, const TLocalTime& now)
{
    int row = -1;
    std::size_t pos = 0;
    if (!UserIPv6.Locate(address, row, pos))
        return -1;
    std::int64_t& seen = UserIPv6.Rows[row][pos].LastSeen;
    seen = std::max(seen, TIPv6Aliases::Moment(now));
    return row;
}

int TDaten::FindIPv6(const TIpAddress& address, TUserAlias*& alias)
{
    int row = -1;
    std::size_t pos = 0;
    alias = nullptr;
    if (!UserIPv6.Locate(address, row, pos))
        return -1;
    alias = &UserIPv6.Rows[row][pos];
    return row;
}

bool TDaten::LearnIPv6(int row, const TIpAddress& address, const TLocalTime& now)
{
    if (row < 0 || static_cast<std::size_t>(row) >= UserIPv6.size())
        return false;
    // The address may move here from another row: both rows show it changed.
    const int before = UserIPv6.UserOf(address);
    if (!UserIPv6.Learn(static_cast<std::size_t>(row), address, TIPv6Aliases::Moment(now)))
        return false;
    MarkUser(static_cast<std::size_t>(row));
    if (before >= 0 && static_cast<std::size_t>(before) < UserCounters.size())
        MarkUser(static_cast<std::size_t>(before));
    return true;
}

void TDaten::ForgetIPv6(const TIpAddress& address)
{
    const int holder = UserIPv6.UserOf(address);
    UserIPv6.Forget(address);
    if (holder >= 0 && static_cast<std::size_t>(holder) < UserCounters.size())
        MarkUser(static_cast<std::size_t>(holder));
}

void TDaten::RememberIPv6(const TIpAddress& address, const std::string& mac, const TLocalTime& now)
{
    if (!address.IsV4())
        UserIPv6.Remember(address, mac, TIPv6Aliases::Moment(now));
}

void TDaten::ForgetStaleIPv6(const TLocalTime& now)
{
    // Any number of rows may have lost addresses.
    if (UserIPv6.ForgetOlderThan(TIPv6Aliases::Moment(now) - TIPv6Aliases::TimeoutMs))
        ++UserLayoutRevision;
}

std::size_t TDaten::RemoveIdleIPv6Rows(const TLocalTime& now)
{
    if (UserIPv6.OwnCount == 0)
        return 0;
    const std::size_t before = UserIP.size();
    RemoveUsersWhere([&](std::size_t row) {
        if (!UserIPv6.IsIPv6Only(row) || !UserCPort[row].Entries().empty())
            return false;
        for (const TCounterColumn* counter : {&UserDL, &UserUL, &UserCDL, &UserCUL})
            if (!counter->IsZero(row))
                return false;
        try {
            return StampAge(UserMACTime[row], now) > OnlineAgeUnits;
        } catch (const EConvertError&) {
            return false;  // a damaged stamp says nothing about its age: the row stays
        }
    });
    return before - UserIP.size();
}

void TDaten::NoteMac(std::size_t row) const
{
    TMacRows& rows = MacRows[UserMAC[row]];
    int& first = UserIPv6.IsIPv6Only(row) ? rows.IPv6Row : rows.IPv4Row;
    if (first < 0)
        first = static_cast<int>(row);
}

const TDaten::TMacRows* TDaten::FindMac(const std::string& mac) const
{
    auto valid = [&](int row, bool ipv6Only) {
        return row < 0
            || (static_cast<std::size_t>(row) < UserMAC.size() && UserMAC[row] == mac
                && UserIPv6.IsIPv6Only(static_cast<std::size_t>(row)) == ipv6Only);
    };
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (MacRowsStale || attempt == 1) {
            MacRows.clear();
            for (std::size_t row = 0; row < UserMAC.size(); ++row)
                NoteMac(row);
            MacRowsStale = false;
        }
        const auto found = MacRows.find(mac);
        if (found == MacRows.end())
            return nullptr;
        if (valid(found->second.IPv4Row, false) && valid(found->second.IPv6Row, true))
            return &found->second;
    }
    return nullptr;
}

int TDaten::UserOfMac(const std::string& mac) const
{
    const TMacRows* rows = FindMac(mac);
    if (!rows)
        return -1;
    return rows->IPv4Row >= 0 ? rows->IPv4Row : rows->IPv6Row;
}

void TDaten::MergeInto(int row, int other)
{
    // Everything is worked out first, so a damaged counter (EConvertError) or an
    // overflow (ERangeError) leaves both rows as they were.
    std::string dl = UserDL.Text(row), ul = UserUL.Text(row), cdl = UserCDL.Text(row), cul = UserCUL.Text(row);
    AddToCounter(dl, UserDL.Value(other));
    AddToCounter(ul, UserUL.Value(other));
    AddToCounter(cdl, UserCDL.Value(other));
    AddToCounter(cul, UserCUL.Value(other));
    TPortList ports = UserCPort[row];
    for (const TPortEntry& entry : UserCPort[other].Entries())
        ports.Add(entry.Port, entry.Octets);
    const bool laterFlow = StrToFloat(UserLastTime[other]) > StrToFloat(UserLastTime[row]);

    UserDL.Set(row, dl);
    UserUL.Set(row, ul);
    UserCDL.Set(row, cdl);
    UserCUL.Set(row, cul);
    UserCPort[row] = std::move(ports);
    if (laterFlow)
        UserLastTime[row] = UserLastTime[other];
    if (UserName[row] == "-")
        UserName[row] = UserName[other];
    MarkUser(static_cast<std::size_t>(row));
}

int TDaten::JoinDevice(int row, const TLocalTime& now)
{
    if (row < 0 || static_cast<std::size_t>(row) >= UserIP.size())
        return row;
    const std::string mac = UserMAC[row];
    const std::int64_t moment = TIPv6Aliases::Moment(now);
    if (!UserIPv6.IsIPv6Only(static_cast<std::size_t>(row))) {
        // The device was counted by its IPv6 address until its IPv4 address was
        // announced: from now on it is one row, keyed by the IPv4 address.
        while (UserIPv6.OwnCount > 0) {
            const TMacRows* rows = FindMac(mac);
            if (!rows || rows->IPv6Row < 0 || rows->IPv6Row == row)
                break;
            const int other = rows->IPv6Row;
            MergeInto(row, other);
            const std::vector<TUserAlias> addresses = UserIPv6[static_cast<std::size_t>(other)];
            RemoveUser(other);
            if (other < row)
                --row;
            for (const TUserAlias& alias : addresses)
                UserIPv6.Learn(static_cast<std::size_t>(row), alias.Address,
                               alias.Own ? moment : alias.LastSeen);
        }
    }
    for (const auto& [address, seen] : UserIPv6.TakePending(mac))
        UserIPv6.Learn(static_cast<std::size_t>(row), address, seen);
    ++UserLayoutRevision;
    return row;
}
