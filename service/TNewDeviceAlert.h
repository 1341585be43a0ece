#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

class TDaten;

// Tells a MAC that announces itself for the first time ever from one seen before: the
// history file remembers every MAC it has seen (table known_macs), and the MACs in the
// state file count as seen. What is new waits in TakeNew for the history to remember.
// A flood of invented MACs from the LAN is bounded: beyond MaxKnown nothing more is
// remembered (counted), and only AlertsPerMinute are told one by one; the others are
// counted and told as a sum.
class TNewDeviceAlert {
public:
    static constexpr std::size_t MaxKnown = 100'000;
    static constexpr std::size_t MaxWaiting = 4096;
    static constexpr int AlertsPerMinute = 10;

    // The MACs the history has seen and the ones in the store now.
    void Load(const QString& historyPath, const TDaten& daten);
    bool Loaded() const { return IsLoaded; }

    enum class TVerdict { Known, New, NewUntold };
    // An announcement named this MAC at this minute (any steadily rising count of
    // minutes): Known, New (to be told), or NewUntold (beyond this minute's alerts).
    TVerdict Seen(const std::string& mac, std::int64_t minute);

    // MACs seen for the first time since the last call, for the history to remember.
    std::vector<std::string> TakeNew();

    std::uint64_t NewDevices = 0;  // new MACs seen since the start
    std::uint64_t Untold = 0;      // of them, not told one by one
    std::uint64_t Unremembered = 0;  // not remembered: the set was full

private:
    std::set<std::string> Known;
    std::vector<std::string> Waiting;
    bool IsLoaded = false;
    std::int64_t Minute = -1;
    int ToldThisMinute = 0;
};
