#pragma once

#include "TPortList.h"
#include "TTrafficRow.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TDaten;
struct TLocalTime;

struct TUserSnapshotRow {
    std::string Name, IP, MAC, Status;
    std::int64_t LastTraffic = 0;
};

struct TRouterSnapshotRow {
    std::string IP, Sequenz, LastFlow;
    std::int64_t PLoss = 0;
};

// Everything one export run writes, copied from the store on the GUI thread, so the
// database work can run elsewhere while the store goes on counting.
struct TExportJob {
    std::string Host, User, Password, Database, Port;
    // The collector's name: its traffic rows carry it, and it rewrites only its own
    // rows of akteth and aktrouter.
    std::string Collector;
    bool Detailed = true;
    // The id the run marks its traffic with in vexal_export_run; a fresh one when empty.
    std::string RunId;
    // Called on the export thread right before the traffic transaction begins: the
    // collector writes its export state naming this run there, so that a crash after
    // the COMMIT and before the result is applied neither loses nor doubles it.
    std::function<void()> BeforeTraffic;
    std::vector<TTrafficRow> Traffic;
    std::vector<TUserSnapshotRow> Users;
    std::vector<TRouterSnapshotRow> Routers;
};

// Takes a run from the store: the users with interval traffic (download, or upload
// with a MAC), the carried traffic of clients that left the table, every user that is
// not hidden, every router. A damaged value raises EConvertError and the store is left
// as it was.
TExportJob BuildExportJob(const TDaten& daten, const TLocalTime& now);

// Once the traffic rows are committed: takes the exported octets off the interval
// counters and port lists of the same clients (same address and MAC), keeping what
// was counted meanwhile. A client that left the table since the run took it has its
// octets in the carried traffic now: they come off there. Carried rows come off the
// carried traffic.
void TakeExportedTraffic(TDaten& daten, const std::vector<TTrafficRow>& rows);

// The same on a run's rows: takes off what an earlier run turned out to have
// written, so the rows keep only what is new since then (from the carried row a
// client went into when it left after the earlier run took it).
void TakeOffEarlierRows(std::vector<TTrafficRow>& rows, const std::vector<TTrafficRow>& earlier);
