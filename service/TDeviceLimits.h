#pragma once

#include "BillingPeriod.h"
#include "LocalTime.h"
#include "THistoryPeriodReader.h"
#include "TLimitFile.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

class TDaten;

// A device passed a mark (80 % or 100 %) of its volume limit.
struct TLimitEvent {
    std::string MAC, IP, Name;
    std::int64_t Limit = 0, Use = 0;
    int Mark = 0;
    TBillingPeriod Period;
};

// The volume limits per device (by MAC) and each device's use in the current billing
// period: what the history file booked in the period, plus what the device's rows
// counted beyond the totals the history's last write saw. The history part is read
// again after every history write (Refresh), so the sum of both stays right whichever
// write a check comes after; the rows' part is read from the store at every Check.
// Without a history the use is what was counted since the program started (or the
// period began). A mark passed is told once per period (Crossed) and remembered in
// the limit file, so a restart does not tell it again.
class TDeviceLimits : public QObject {
    Q_OBJECT
public:
    static constexpr int CheckIntervalMs = 1000;

    explicit TDeviceLimits(const TDaten& daten, QObject* parent = nullptr);

    std::string FilePath = TLimitFile::FileName;
    // Empty: without a history.
    QString HistoryPath;
    int BillingDay = 1;

    // Reads the limit file; what could not be read comes out as StatusText.
    void Load();
    // Sets (octets > 0) or removes (0) the device's limit and saves the file. A limit
    // set anew says its marks again.
    bool SetLimit(const std::string& mac, std::int64_t octets, const TLocalTime& now);

    const std::map<std::string, TDeviceLimit>& Limits() const { return File.Limits; }
    struct TState {
        std::int64_t Limit = 0, Use = 0;
    };
    // The device's limit and use in the period; none without a limit.
    std::optional<TState> StateOf(const std::string& mac) const;

    // The history was written: its bookings and marks are read again.
    void Refresh(const TLocalTime& now);
    // Works out every limited device's use and tells the marks it passed.
    void Check(const TLocalTime& now);

    // Marks told since the start, per MAC and mark (the metrics).
    const std::map<std::pair<std::string, int>, std::uint64_t>& Told() const { return TellCount; }
    // The name of the device's first row ("" when it has none, or no row now).
    std::string NameOf(const std::string& mac) const;
    // The same for every device with a limit, in one pass over the table.
    std::map<std::string, std::string> Names() const;

signals:
    void Crossed(const TLimitEvent& event);
    void StatusText(const QString& text);

private:
    void StartPeriod(const TLocalTime& now);
    void Save();

    const TDaten& Daten;
    TLimitFile File;
    TBillingPeriod Period;
    bool HavePeriod = false;
    // With a history, nothing is checked until it has been read once: before its first
    // write there are no marks, and whole totals would count as this period's use.
    bool BaseRead = false;
    std::map<std::string, THistoryPeriodUse> Base;
    std::map<std::string, std::int64_t> Use;
    std::map<std::pair<std::string, int>, std::uint64_t> TellCount;
    QString LastReadError;
};
