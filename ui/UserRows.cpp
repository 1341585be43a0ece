#include "UserRows.h"

#include "TDaten.h"
#include "TextForms.h"
#include "UserAges.h"

#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace {
// Stamps repeat: every user charged in the same second, or announced in the same
// second, carries the same text. Reading a real from text is the dearest step of a
// row, so the texts read lately are kept with their values (a damaged text is never
// kept: it raises its error every time, as before).
class TStampReader {
public:
    double Read(const std::string& text)
    {
        TEntry& entry = Entries[std::hash<std::string_view>{}(text) % Entries.size()];
        if (entry.Known && entry.Text == text)
            return entry.Value;
        const double value = StrToFloat(text);
        entry.Text = text;
        entry.Value = value;
        entry.Known = true;
        return value;
    }

private:
    struct TEntry {
        std::string Text;
        double Value = 0;
        bool Known = false;
    };
    std::array<TEntry, 1024> Entries;
};
}

void FillUserRow(const TDaten& d, std::size_t i, bool online, int band, TUserGridRow& row)
{
    row.UL = d.UserUL.Real(i);
    row.DL = d.UserDL.Real(i);
    row.CUL = d.UserCUL.Real(i);
    row.CDL = d.UserCDL.Real(i);
    row.CULIsZero = d.UserCUL.IsZero(i);
    row.CDLIsZero = d.UserCDL.IsZero(i);
    row.IP = d.UserIP[i];
    row.MAC = d.UserMAC.at(i);
    // Most lists are empty (kept only for the detailed export): no text to write.
    if (const TPortList& ports = d.UserCPort.at(i); ports.Empty())
        row.CPort.clear();
    else
        row.CPort = ports.ToText();
    row.Device = d.UserDevice.at(i);
    row.Name = d.UserName.at(i);
    row.Online = online;
    row.Band = band;
    // The volume limit's share comes from the collector's limits (TUserGrid::ShowLimits).
    row.LimitShare = -1;
    row.LimitMark = 0;
    // The device's learned IPv6 addresses, for the count mark and the tooltip.
    row.IPv6.clear();
    for (const TUserAlias& alias : d.UserIPv6[i])
        if (!alias.Own)
            row.IPv6.push_back(alias.Address);
}

TUserRowsOutcome BuildUserRows(TDaten& daten, const TLocalTime& now, bool onlineOnly, std::vector<TUserGridRow>& rows)
{
    TDaten& d = daten;
    TUserRowsOutcome outcome;
    // On the heap: a thread's static TLS comes out of its stack, and server threads
    // with small stacks would lose 40 kB to a table only the window thread uses.
    static thread_local const std::unique_ptr<TStampReader> reader = std::make_unique<TStampReader>();
    TStampReader& stamps = *reader;
    try {
        const std::size_t n = d.UserMAC.size();
        // The hide lists cannot change during the pass.
        const TAddressFilter& hidden = d.HiddenAddressFilter();
        for (std::size_t i = 0; i < n; ++i) {
            const int band = FlowAgeBand(StampAge(stamps.Read(d.UserLastTime.at(i)), now));
            if (i >= d.UserIP.size())
                throw std::out_of_range("UserIP");
            const std::string& ip = d.UserIP[i];
            bool visible = !hidden.Matches(ip);
            const bool online = OnlineByAge(StampAge(stamps.Read(d.UserMACTime.at(i)), now));
            d.UserStatus.at(i) = OnlineStatusText(online);
            if (onlineOnly && visible)
                visible = online;
            if (!visible)
                continue;
            if (rows.size() <= outcome.Shown)
                rows.resize(outcome.Shown + 1);
            FillUserRow(d, i, online, band, rows[outcome.Shown]);
            ++outcome.Shown;
        }
        outcome.Complete = true;
    } catch (const std::exception&) {
        outcome.Complete = false;
    }
    return outcome;
}
