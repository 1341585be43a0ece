#include "UserRows.h"

#include "TDaten.h"
#include "TextForms.h"
#include "UserAges.h"

#include <exception>
#include <stdexcept>

TUserRowsOutcome BuildUserRows(TDaten& daten, const TLocalTime& now, bool onlineOnly, std::vector<TUserGridRow>& rows)
{
    TDaten& d = daten;
    TUserRowsOutcome outcome;
    try {
        const std::size_t n = d.UserMAC.size();
        for (std::size_t i = 0; i < n; ++i) {
            const int band = FlowAgeBand(StampAge(d.UserLastTime.at(i), now));
            if (i >= d.UserIP.size())
                throw std::out_of_range("UserIP");
            const std::string& ip = d.UserIP[i];
            bool visible = !d.IsHiddenAddress(ip);
            const bool online = OnlineByAge(StampAge(d.UserMACTime.at(i), now));
            d.UserStatus.at(i) = online ? "1" : "0";
            if (onlineOnly && visible)
                visible = online;
            if (!visible)
                continue;
            if (rows.size() <= outcome.Shown)
                rows.resize(outcome.Shown + 1);
            TUserGridRow& row = rows[outcome.Shown];
            row.UL = d.UserUL.Real(i);
            row.DL = d.UserDL.Real(i);
            row.CUL = d.UserCUL.Real(i);
            row.CDL = d.UserCDL.Real(i);
            row.CULIsZero = d.UserCUL.IsZero(i);
            row.CDLIsZero = d.UserCDL.IsZero(i);
            row.IP = ip;
            row.MAC = d.UserMAC[i];
            row.CPort = d.UserCPort.at(i).ToText();
            row.Device = d.UserDevice.at(i);
            row.Name = d.UserName.at(i);
            row.Online = online;
            row.Band = band;
            // The device's learned IPv6 addresses, for the count mark and the tooltip.
            row.IPv6.clear();
            for (const TUserAlias& alias : d.UserIPv6[i])
                if (!alias.Own)
                    row.IPv6.push_back(alias.Address);
            ++outcome.Shown;
        }
        outcome.Complete = true;
    } catch (const std::exception&) {
        outcome.Complete = false;
    }
    return outcome;
}
