#pragma once

#include "TPortList.h"

#include <cstdint>
#include <string>
#include <vector>

// One user's interval traffic as taken for an export run.
struct TTrafficRow {
    std::string Device, MAC, IP;
    std::int64_t UL = 0, DL = 0;
    TPortList Ports;
    // Local clients get a traffic row; the interval traffic of others is dropped.
    bool Insert = false;
    // A client that left the table before this run (TDaten::CarriedTraffic).
    bool Carried = false;
    // For a row of the table: TCarriedTraffic::Folds() when the run took it, so that
    // its octets are found again should the client leave before the run is settled.
    // For a carried row: the last fold it holds.
    std::uint64_t Fold = 0;
};

// A run whose outcome the database knows and the collector does not: its id in
// vexal_export_run and its rows. Either one whose COMMIT had no answer (the rows it
// sent), or one under way when the collector wrote its state (the rows as it took them
// from the counters, which still held the octets of every unsettled run before it).
// The next run looks the ids up, the newest first: the newest one committed holds
// everything of the older ones the counters still count, as it settled those before
// it sent anything; its rows come off, and the older ones are done with.
struct TUnsettledRun {
    std::string Id;
    std::vector<TTrafficRow> Rows;
    bool Empty() const { return Id.empty(); }
};
