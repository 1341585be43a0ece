#include "IPv6Announcement.h"

#include "TDaten.h"
#include "TIpAddress.h"
#include "TextForms.h"

namespace {
void Refresh(TDaten& daten, int row, const std::string& device, const TLocalTime& now)
{
    daten.UserMACTime[row] = StampText(now);
    daten.UserDevice[row] = device;
    daten.MarkUser(static_cast<std::size_t>(row));
}
}

void AccountIPv6Announcement(TDaten& daten, const TIpAddress& address, std::string_view announced,
                             const std::string& mac, const std::string& device, const TLocalTime& now,
                             const std::function<void()>& beforeReplace)
{
    if (address.IsV4() || address.IsSpecialV6())
        return;
    const int holder = daten.IPv6User(address);
    if (holder >= 0) {
        if (daten.UserMAC[holder] == mac) {
            daten.LearnIPv6(holder, address, now);
            Refresh(daten, holder, device, now);
            return;
        }
        if (daten.UserIPv6.IsIPv6Only(static_cast<std::size_t>(holder))
            && daten.UserIPv6[static_cast<std::size_t>(holder)].front().Address == address) {
            if (beforeReplace)
                beforeReplace();
            daten.DepartUser(holder);
        } else {
            daten.ForgetIPv6(address);
        }
    }

    const int owner = daten.UserOfMac(mac);
    if (owner >= 0) {
        if (daten.LearnIPv6(owner, address, now))
            Refresh(daten, owner, device, now);
        return;
    }
    // A local entry as typed (the textual rule) or by network; rows of their own are
    // bounded, so a flood of announcements cannot grow the user table without end.
    const bool local = daten.IsLocalAddress(address) || daten.IsLocalAddress(announced);
    if (local && daten.UserIPv6.Count() - daten.UserIPv6.LearnedCount() >= TIPv6Aliases::MaxOwnRows)
        ++daten.IPv6RowsRefused;
    else if (local) {
        const std::string key = address.Text();
        if (daten.UserIP.IndexOf(key) < 0) {
            if (daten.AddUser(key, mac, device, now)) {
                daten.JoinDevice(static_cast<int>(daten.UserCount()) - 1, now);
                return;
            }
        }
    }
    daten.RememberIPv6(address, mac, now);
}
