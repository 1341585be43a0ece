#include "TDeviceLimits.h"

#include "Errors.h"
#include "LimitCrossing.h"
#include "StoreText.h"
#include "TDaten.h"

#include <algorithm>
#include <set>

namespace {
// "-" is the store's mark for a device the name list has not named.
std::string NameOrNone(const std::string& name)
{
    return name == "-" ? std::string() : name;
}
}

TDeviceLimits::TDeviceLimits(const TDaten& daten, QObject* parent) : QObject(parent), Daten(daten) {}

void TDeviceLimits::Load()
{
    File = TLimitFile::Load(FilePath);
    for (const std::string& error : File.Errors)
        emit StatusText(QString::fromStdString(error));
    Use.clear();
    Base.clear();
    BaseRead = HistoryPath.isEmpty();
    HavePeriod = false;
}

void TDeviceLimits::Save()
{
    if (!File.Save(FilePath))
        emit StatusText(QStringLiteral("%1 konnte nicht gespeichert werden").arg(QString::fromStdString(FilePath)));
}

bool TDeviceLimits::SetLimit(const std::string& mac, std::int64_t octets, const TLocalTime& now)
{
    if (octets <= 0) {
        if (File.Limits.erase(mac) == 0)
            return true;
    } else {
        if (File.Limits.size() >= TLimitFile::MaxLimits && File.Limits.count(mac) == 0)
            return false;
        File.Limits[mac] = TDeviceLimit{octets};
    }
    Use.erase(mac);
    Save();
    // The new device's bookings are read before it is checked.
    if (!HistoryPath.isEmpty())
        Refresh(now);
    Check(now);
    return true;
}

std::optional<TDeviceLimits::TState> TDeviceLimits::StateOf(const std::string& mac) const
{
    const auto limit = File.Limits.find(mac);
    if (limit == File.Limits.end())
        return std::nullopt;
    const auto use = Use.find(mac);
    return TState{limit->second.Octets, use == Use.end() ? 0 : use->second};
}

std::string TDeviceLimits::NameOf(const std::string& mac) const
{
    for (std::size_t row = 0; row < Daten.UserCount(); ++row)
        if (Daten.UserMAC.at(row) == mac)
            return NameOrNone(Daten.UserName.at(row));
    return {};
}

std::map<std::string, std::string> TDeviceLimits::Names() const
{
    std::map<std::string, std::string> names;
    if (File.Limits.empty())
        return names;
    for (std::size_t row = 0; row < Daten.UserCount(); ++row)
        if (const std::string& mac = Daten.UserMAC.at(row); File.Limits.count(mac) > 0)
            names.try_emplace(mac, NameOrNone(Daten.UserName.at(row)));
    return names;
}

void TDeviceLimits::StartPeriod(const TLocalTime& now)
{
    Period = BillingPeriodOf(BillingDay, now.Day);
    HavePeriod = true;
    Use.clear();
    Base.clear();
}

void TDeviceLimits::Refresh(const TLocalTime& now)
{
    if (HistoryPath.isEmpty() || File.Limits.empty()) {
        BaseRead = true;
        return;
    }
    if (!HavePeriod || !Period.Contains(now.Day) || BillingPeriodOf(BillingDay, now.Day) != Period)
        StartPeriod(now);
    std::set<std::string> macs;
    for (const auto& entry : File.Limits)
        macs.insert(entry.first);
    std::map<std::string, THistoryPeriodUse> read;
    THistoryPeriodReader reader(HistoryPath);
    if (!reader.PeriodUse(macs, Period.First, Period.Last, read)) {
        // Said once while it stays so; the last bookings read stay in use.
        if (reader.Error() != LastReadError)
            emit StatusText(QStringLiteral("Volumenlimits: Verlauf nicht lesbar: %1").arg(reader.Error()));
        LastReadError = reader.Error();
        return;
    }
    LastReadError.clear();
    Base = std::move(read);
    BaseRead = true;
}

void TDeviceLimits::Check(const TLocalTime& now)
{
    if (File.Limits.empty() || !BaseRead)
        return;
    if (!HavePeriod || BillingPeriodOf(BillingDay, now.Day) != Period) {
        StartPeriod(now);
        if (!HistoryPath.isEmpty()) {
            Refresh(now);
            if (!BaseRead)
                return;
        }
    }
    std::map<std::string, std::int64_t> counted;
    std::map<std::string, std::size_t> firstRow;
    for (std::size_t row = 0; row < Daten.UserCount(); ++row) {
        const std::string& mac = Daten.UserMAC.at(row);
        if (File.Limits.count(mac) == 0)
            continue;
        std::int64_t total = 0;
        try {
            total = Daten.UserUL.Value(row) + Daten.UserDL.Value(row);
        } catch (const EConvertError&) {
            continue;  // a damaged total is reported where it is shown
        }
        THistoryPeriodUse& base = Base[mac];
        const std::string& ip = Daten.UserIP[row];
        auto mark = base.Marks.find(ip);
        if (mark == base.Marks.end() && HistoryPath.isEmpty())
            mark = base.Marks.emplace(ip, total).first;  // without a history: counted from now on
        const std::int64_t since = mark == base.Marks.end() ? total : total >= mark->second ? total - mark->second : total;
        counted[mac] += since;
        firstRow.try_emplace(mac, row);
    }
    bool changed = false;
    for (auto& [mac, limit] : File.Limits) {
        const auto base = Base.find(mac);
        const std::int64_t periodUse = (base == Base.end() ? 0 : base->second.Booked) + counted[mac];
        // Never down within the period: a row that left waits in the history's queue
        // until its next write, and the use must not dip meanwhile.
        std::int64_t& use = Use[mac];
        use = std::max(use, periodUse);
        bool saidNow = false;
        for (const int mark : LimitCrossings(limit, use, Period, saidNow)) {
            TLimitEvent event;
            event.MAC = mac;
            if (const auto row = firstRow.find(mac); row != firstRow.end()) {
                event.IP = Daten.UserIP[row->second];
                event.Name = NameOrNone(Daten.UserName.at(row->second));
            }
            event.Limit = limit.Octets;
            event.Use = use;
            event.Mark = mark;
            event.Period = Period;
            ++TellCount[{mac, mark}];
            emit Crossed(event);
        }
        changed = changed || saidNow;
    }
    if (changed)
        Save();
}
