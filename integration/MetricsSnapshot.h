#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TDaten;

// The program's own health, as the window (or the headless main) counts it.
struct TMetricsHealth {
    std::uint64_t FlowDatagrams = 0;  // received on the flow port
    std::uint64_t MacDatagrams = 0;   // received on the announcement port
    std::uint64_t Malformed = 0;      // datagrams that could not be decoded
    // Datagrams lost, one entry per cause ("kernel", "queue", ...).
    std::vector<std::pair<std::string, std::uint64_t>> Dropped;
    // Senders and devices a bounded table refused, one entry per cause ("router_table_full", ...).
    std::vector<std::pair<std::string, std::uint64_t>> Refused;
    std::uint64_t IdleRoutersDropped = 0;
    std::uint64_t ExportRuns = 0;
    std::uint64_t ExportFailures = 0;
    // Runs of the site's commands, one entry per outcome ("started", "failed", ...).
    std::vector<std::pair<std::string, std::uint64_t>> Commands;
    // MACs that announced themselves for the first time ever.
    std::uint64_t NewDevices = 0;
};

// A device with a volume limit: the limit, the use in the current billing period and
// how often each mark was told since the start. One entry per limit, so the label set
// is as bounded as the limit file.
struct TMetricsLimit {
    std::string MAC, Name;
    std::int64_t Limit = 0, Use = 0;
    std::uint64_t Told80 = 0, Told100 = 0;
};

struct TMetricsDevice {
    std::string IP, MAC, Name;
    std::int64_t UL = 0, DL = 0;
    bool Online = false;  // UserStatus, as the export sends it
};

struct TMetricsRouter {
    std::string IP;
    std::int64_t UL = 0, DL = 0, PLoss = 0;
};

// What /metrics shows, copied from the store on the thread that owns it.
struct TMetricsSnapshot {
    std::vector<TMetricsDevice> Devices;
    std::vector<TMetricsRouter> Routers;
    TMetricsHealth Health;
    std::vector<TMetricsLimit> Limits;
};

// Every user row and router row with its totals; texts as UTF-8 (names from the name
// list may be Latin-1). A row with a damaged number is left out: a scrape is no place
// to report it, the export and the grid do.
TMetricsSnapshot BuildMetricsSnapshot(const TDaten& daten, TMetricsHealth health);
