#include "TDaten.h"

#include "TStateFile.h"
#include "TextForms.h"

#include <algorithm>
#include <unordered_set>

TDaten::TDaten() = default;

namespace {
// The address begins with one of the subnets followed by ".", or equals one of the
// addresses. An empty subnet entry would be a bare "." prefix and matches nothing.
bool MatchesFilter(std::string_view address, const std::vector<std::string>& subnets,
                   const std::vector<std::string>& addresses)
{
    for (const std::string& subnet : subnets) {
        if (!subnet.empty() && address.size() > subnet.size() && address.starts_with(subnet)
            && address[subnet.size()] == '.')
            return true;
    }
    for (const std::string& ip : addresses) {
        if (address == ip)
            return true;
    }
    return false;
}
}

bool TDaten::IsLocalAddress(std::string_view address) const
{
    return MatchesFilter(address, LocalSubnets, LocalIPs);
}

bool TDaten::IsHiddenAddress(std::string_view address) const
{
    return MatchesFilter(address, HideSubnets, HideIPs);
}

void TDaten::AddUser(const std::string& address, const std::string& mac, const std::string& device,
                     const TLocalTime& now)
{
    TUserRow row;
    row.IP = address;
    row.MAC = mac;
    row.Status = "1";
    row.MACTime = StampText(now);
    row.Device = device;
    AppendUser(std::move(row));
}

void TDaten::AppendUser(TUserRow row)
{
    UserIP.Append(std::move(row.IP));
    UserMAC.push_back(std::move(row.MAC));
    UserName.push_back(std::move(row.Name));
    UserDL.push_back(std::move(row.DL));
    UserUL.push_back(std::move(row.UL));
    UserCDL.push_back(std::move(row.CDL));
    UserCUL.push_back(std::move(row.CUL));
    UserCPort.push_back(std::move(row.CPort));
    UserStatus.push_back(std::move(row.Status));
    UserMACTime.push_back(std::move(row.MACTime));
    UserLastTime.push_back(std::move(row.LastTime));
    UserDevice.push_back(std::move(row.Device));
}

void TDaten::RemoveUser(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= UserIP.size())
        return;
    const auto at = static_cast<std::ptrdiff_t>(index);
    UserIP.Delete(static_cast<std::size_t>(index));
    for (std::vector<std::string>* column : {&UserDL, &UserUL, &UserCDL, &UserCUL})
        column->erase(column->begin() + at);
    UserCPort.erase(UserCPort.begin() + at);
    for (std::vector<std::string>* column : {&UserLastTime, &UserMAC, &UserName, &UserStatus, &UserMACTime, &UserDevice})
        column->erase(column->begin() + at);
}

void TDaten::ClearUsers()
{
    UserIP.Clear();
    for (std::vector<std::string>* column : {&UserMAC, &UserLastTime, &UserName, &UserDL, &UserUL, &UserCDL,
                                             &UserCUL, &UserStatus, &UserMACTime, &UserDevice})
        column->clear();
    UserCPort.clear();
}

void TDaten::RemoveUsersWhere(const std::function<bool(std::size_t)>& remove)
{
    std::vector<std::string>* const columns[] = {&UserMAC, &UserName, &UserDL, &UserUL, &UserCDL, &UserCUL,
                                                 &UserStatus, &UserMACTime, &UserLastTime, &UserDevice};
    const std::size_t count = UserIP.size();
    std::size_t kept = 0;
    auto keep = [&](std::size_t row) {
        if (row != kept) {
            UserIP.Items[kept] = std::move(UserIP.Items[row]);
            for (std::vector<std::string>* column : columns)
                (*column)[kept] = std::move((*column)[row]);
            UserCPort[kept] = std::move(UserCPort[row]);
        }
        ++kept;
    };
    auto finish = [&] {
        if (kept == count)
            return;
        UserIP.Items.resize(kept);
        for (std::vector<std::string>* column : columns)
            column->resize(kept);
        UserCPort.resize(kept);
        UserIP.IndexStale = true;
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
    RemoveUsersWhere([&](std::size_t row) { return doomed.contains(UserIP[row]); });
}

void TDaten::RemoveLowTrafficUsers(std::int64_t threshold)
{
    RemoveUsersWhere([&](std::size_t row) {
        std::int64_t total = 0;
        if (__builtin_add_overflow(StrToInt64(UserDL[row]), StrToInt64(UserUL[row]), &total))
            return false;  // beyond any threshold
        return total < threshold;
    });
}

void TDaten::ResetUserTotals()
{
    std::fill(UserDL.begin(), UserDL.end(), std::string("0"));
    std::fill(UserUL.begin(), UserUL.end(), std::string("0"));
}

void TDaten::ClearUserPorts()
{
    // Clear() would keep the capacity; these lists may have held tens of thousands of ports.
    for (TPortList& list : UserCPort)
        list = TPortList();
}

int TDaten::AddRouter(const std::string& address, std::int64_t sequence, const TLocalTime& now)
{
    RouterIP.Append(address);
    RouterSequenz.push_back(IntToStr(sequence));
    RouterDownload.emplace_back("0");
    RouterUpload.emplace_back("0");
    RouterTime.push_back(TimeText(now));
    RouterRecordCount.push_back(IntToStr(sequence));
    RouterPortTrafficUL.emplace_back();
    RouterPortTrafficDL.emplace_back();
    RouterPLoss.emplace_back("0");
    RouterFlow.emplace_back();
    return static_cast<int>(RouterIP.size()) - 1;
}

std::string TDaten::AddPortTraffic(std::int32_t port, std::int64_t octets, std::string_view portList)
{
    TPortList list = TPortList::FromText(portList);
    list.Add(port, octets);
    return list.ToText();
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
