#include "TUserGridFeed.h"

#include "TDaten.h"
#include "TextForms.h"
#include "UserAges.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>

double TUserGridFeed::ReadStamp(const std::string& text, TStamp& seen)
{
    const std::size_t kept = seen.Size;
    if (kept < sizeof seen.Text && kept == text.size() && std::memcmp(seen.Text, text.data(), kept) == 0)
        return seen.Value;
    const double value = StrToFloat(text);  // a damaged stamp raises its error every time
    seen.Value = value;
    if (text.size() < sizeof seen.Text) {
        std::memcpy(seen.Text, text.data(), text.size());
        seen.Size = static_cast<std::uint8_t>(text.size());
    } else {
        seen.Size = 0xFF;
    }
    return value;
}

bool TUserGridFeed::Follows(const TDaten& daten, bool onlineOnly, const TUserGridModel& model) const
{
    // Users appended since (new users) are taken on; anything else that moved rows
    // moved the layout.
    return Valid && Model == &model && model.FullReplacements() == Replacements && model.Rows().size() == Shown
        && daten.UserLayout() == Layout && daten.UserCount() >= Seen.size() && onlineOnly == OnlineOnly
        && daten.HideSubnets == HideSubnets && daten.HideIPs == HideIPs;
}

TUserRowsOutcome TUserGridFeed::Show(TDaten& daten, const TLocalTime& now, bool onlineOnly, TUserGridModel& model)
{
    if (Follows(daten, onlineOnly, model)) {
        try {
            if (Follow(daten, now, onlineOnly, model))
                return {Shown, true};
        } catch (const std::exception&) {
            // The full pass meets the same fault and stops where it always did.
        }
    }
    Valid = false;
    const TUserRowsOutcome outcome = BuildUserRows(daten, now, onlineOnly, Scratch);
    model.ReplaceAllRows(Scratch, outcome.Shown, outcome.Complete);
    if (outcome.Complete)
        Valid = Prime(daten, now, onlineOnly, model, outcome.Shown);
    return outcome;
}

bool TUserGridFeed::Follow(TDaten& daten, const TLocalTime& now, bool onlineOnly, TUserGridModel& model)
{
    // Every user's status, and the new rows of the users that changed, in store order
    // as the full pass goes: a damaged counter raises its error at the same user, after
    // the same statuses were written. Nothing of the grid is touched until the whole
    // pass went through, so a pass given up leaves the rows as they were.
    Changes.clear();
    // New users at the end of the store: they come after every user seen so far, in
    // store order, as a full pass would list them. A failed pass leaves Seen for Prime
    // to write afresh.
    const std::size_t known = Seen.size();
    const std::size_t count = daten.UserCount();
    // Every column read below is as long as the user list, so filling a row in place
    // cannot fail part-way.
    if (daten.UserMAC.size() != count || daten.UserCPort.size() != count || daten.UserDevice.size() != count
        || daten.UserName.size() != count || daten.UserCounters.size() != count || daten.UserIPv6.size() != count
        || daten.UserLastTime.size() != count || daten.UserMACTime.size() != count || daten.UserStatus.size() != count)
        return false;
    if (count > known) {
        Seen.resize(count);
        const TAddressFilter& hidden = daten.HiddenAddressFilter();
        for (std::size_t i = known; i < count; ++i)
            Seen[i].Hidden = hidden.Matches(daten.UserIP[i]);
    }
    std::size_t filled = 0;
    for (std::size_t i = 0; i < count; ++i) {
        TSeen& seen = Seen[i];
        const int band = FlowAgeBand(StampAge(ReadStamp(daten.UserLastTime[i], seen.LastTime), now));
        const bool online = OnlineByAge(StampAge(ReadStamp(daten.UserMACTime[i], seen.MACTime), now));
        std::string& status = daten.UserStatus[i];
        const char* const text = OnlineStatusText(online);
        if (status != text)
            status = text;
        if (seen.Hidden)
            continue;
        const bool visible = !onlineOnly || online;
        if (i < known) {
            if (visible != (seen.Fresh != NotShown))
                return false;  // a user comes into the grid or leaves it
            if (!visible || (band == seen.Band && online == seen.Online && daten.UserMark(i) == seen.Mark))
                continue;
            if (daten.UserCountersAreNumbers(i)) {
                Changes.push_back({i, band, online, NotFilled});
                continue;
            }
        } else if (!visible) {
            continue;
        }
        // A counter kept as text may fail to read: it raises its error here, before
        // anything of the grid changed, as the full pass raises it.
        if (Scratch.size() <= filled)
            Scratch.resize(std::max<std::size_t>(2 * Scratch.size(), filled + 1));
        FillUserRow(daten, i, online, band, Scratch[filled]);
        Changes.push_back({i, band, online, filled++});
    }
    if (Changes.empty())
        return true;

    // Where each user stands now: the sort moves rows, and they carry their place among
    // the rows of the last full pass with them.
    const std::vector<std::size_t>& sources = model.Sources();
    GridRow.assign(Shown, std::numeric_limits<std::size_t>::max());
    for (std::size_t r = 0; r < sources.size(); ++r)
        if (sources[r] < Shown)
            GridRow[sources[r]] = r;
    for (const TChange& change : Changes)
        if (change.User < known && GridRow[Seen[change.User].Fresh] >= sources.size())
            return false;
    for (const TChange& change : Changes) {
        TSeen& seen = Seen[change.User];
        if (change.User >= known) {
            seen.Fresh = static_cast<std::uint32_t>(Shown++);
            model.AddNewUserRow(Scratch[change.Written], seen.Fresh);
        } else if (change.Written == NotFilled) {
            model.RewriteRow(GridRow[seen.Fresh], [&](TUserGridRow& row) {
                FillUserRow(daten, change.User, change.Online, change.Band, row);
            });
        } else {
            model.SwapInRow(GridRow[seen.Fresh], Scratch[change.Written]);
        }
        seen.Band = change.Band;
        seen.Online = change.Online;
        seen.Mark = daten.UserMark(change.User);
    }
    model.FinishRowChanges();
    return true;
}

bool TUserGridFeed::Prime(const TDaten& daten, const TLocalTime& now, bool onlineOnly, const TUserGridModel& model,
                          std::size_t shown)
{
    try {
        const std::size_t n = daten.UserCount();
        Seen.assign(n, TSeen{});
        const TAddressFilter& hidden = daten.HiddenAddressFilter();
        std::uint32_t fresh = 0;
        for (std::size_t i = 0; i < n; ++i) {
            TSeen& seen = Seen[i];
            seen.Band = FlowAgeBand(StampAge(ReadStamp(daten.UserLastTime.at(i), seen.LastTime), now));
            seen.Online = OnlineByAge(StampAge(ReadStamp(daten.UserMACTime.at(i), seen.MACTime), now));
            seen.Hidden = hidden.Matches(daten.UserIP[i]);
            seen.Mark = daten.UserMark(i);
            if (!seen.Hidden && (!onlineOnly || seen.Online))
                seen.Fresh = fresh++;
        }
        if (fresh != shown || model.Rows().size() != shown)
            return false;
    } catch (const std::exception&) {
        return false;
    }
    Model = &model;
    Replacements = model.FullReplacements();
    Layout = daten.UserLayout();
    OnlineOnly = onlineOnly;
    HideSubnets = daten.HideSubnets;
    HideIPs = daten.HideIPs;
    Shown = shown;
    return true;
}
