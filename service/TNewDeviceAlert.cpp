#include "TNewDeviceAlert.h"

#include "TDaten.h"
#include "THistoryPeriodReader.h"

void TNewDeviceAlert::Load(const QString& historyPath, const TDaten& daten)
{
    Known.clear();
    Waiting.clear();
    if (!historyPath.isEmpty()) {
        THistoryPeriodReader reader(historyPath);
        reader.KnownMacs(Known);
    }
    // Devices in the state file were there before the history remembered MACs: they
    // are no news, and the history learns them with the next write.
    for (std::size_t row = 0; row < daten.UserCount() && Known.size() < MaxKnown; ++row)
        if (const std::string& mac = daten.UserMAC.at(row); !mac.empty() && Known.insert(mac).second)
            Waiting.push_back(mac);
    IsLoaded = true;
}

TNewDeviceAlert::TVerdict TNewDeviceAlert::Seen(const std::string& mac, std::int64_t minute)
{
    if (!IsLoaded || Known.count(mac) > 0)
        return TVerdict::Known;
    if (Known.size() >= MaxKnown || Waiting.size() >= MaxWaiting) {
        // Not remembered, so not told either: else the same invented MAC repeated
        // would be news every time.
        ++Unremembered;
        return TVerdict::Known;
    }
    Known.insert(mac);
    Waiting.push_back(mac);
    ++NewDevices;
    if (minute != Minute) {
        Minute = minute;
        ToldThisMinute = 0;
    }
    if (ToldThisMinute >= AlertsPerMinute) {
        ++Untold;
        return TVerdict::NewUntold;
    }
    ++ToldThisMinute;
    return TVerdict::New;
}

std::vector<std::string> TNewDeviceAlert::TakeNew()
{
    std::vector<std::string> taken;
    taken.swap(Waiting);
    return taken;
}
