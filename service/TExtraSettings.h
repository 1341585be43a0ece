#pragma once

#include <string>

// The settings that came after vexal.ini's layout was fixed: the local history and the
// metrics endpoint. They live in "vexal-extra.ini" beside it, as key=value lines, so
// that vexal.ini keeps its layout byte for byte and an older program reading it is not
// confused. Unknown keys and broken values are ignored (the default stays).
struct TExtraSettings {
    static constexpr const char* FileName = "vexal-extra.ini";

    bool HistoryEnabled = true;
    int HourlyAfterDays = 90;
    int DailyAfterDays = 365;
    bool MetricsEnabled = false;
    int MetricsPort = 9155;
    // The address the endpoint listens on (all of this host's IPv4 addresses by
    // default; "[::]" or "[::1]" for IPv6) and, when both are set, the login a scrape
    // needs (HTTP Basic authentication; the password is kept here as written).
    std::string MetricsAddress = "0.0.0.0";
    std::string MetricsUser{};
    std::string MetricsPassword{};

    // "Kollektor": this collector's name in the database, so several collectors can
    // share one. Empty stands for the host name.
    std::string Collector{};

    // "Abrechnungstag": the day (1 to 28) the provider's billing month begins on; the
    // history window's months and the volume limits run from it.
    int BillingDay = 1;
    // Commands run (without a shell) when a device passes 80 % or 100 % of its volume
    // limit, and when a device never seen before announces itself; empty: none. What
    // the event is about comes in environment variables (VEXAL_EVENT, VEXAL_IP, ...).
    std::string LimitCommand{};
    std::string NewDeviceCommand{};
    // A command still running after this many seconds is ended.
    int CommandTimeoutSeconds = 30;

    // The name the export writes: Collector, or the host name when it is empty.
    std::string CollectorName() const;

    std::string Format() const;
    static TExtraSettings Parse(const std::string& text);
    // A missing or unreadable file gives the defaults.
    static TExtraSettings Load(const std::string& path = FileName);
    bool Save(const std::string& path = FileName) const;

    bool operator==(const TExtraSettings&) const = default;
};
