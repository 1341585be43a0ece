#include "ExportJob.h"

#include "TDaten.h"
#include "TextForms.h"

#include <algorithm>
#include <cmath>

TExportJob BuildExportJob(const TDaten& d, const TLocalTime& now)
{
    TExportJob job;
    job.Host = d.MySqlHost;
    job.User = d.MySqlUser;
    job.Password = d.MySqlPassword;
    job.Database = d.MySqlDatabase;
    job.Port = d.MySqlPort;
    job.Detailed = d.ExportDetailed;

    const std::size_t users = d.UserIP.size();
    for (std::size_t i = 0; i < users; ++i) {
        // Download traffic takes part even without a MAC; upload only with one.
        const bool takesPart = !d.UserCDL.IsZero(i) || (!d.UserCUL.IsZero(i) && !d.UserMAC.at(i).empty());
        if (!takesPart)
            continue;
        TTrafficRow row;
        row.Device = d.UserDevice.at(i);
        row.MAC = d.UserMAC[i];
        row.IP = d.UserIP[i];
        row.UL = d.UserCUL.Value(i);
        row.DL = d.UserCDL.Value(i);
        row.Ports = d.UserCPort.at(i);
        row.Insert = d.IsLocalAddress(row.IP);
        row.Fold = d.CarriedTraffic.Folds();
        job.Traffic.push_back(std::move(row));
    }
    for (const TCarriedRow* carried : d.CarriedTraffic.Rows()) {
        TTrafficRow row;
        row.Device = carried->Device;
        row.MAC = carried->MAC;
        row.IP = carried->IP;
        row.UL = carried->UL;
        row.DL = carried->DL;
        row.Ports = carried->Ports;
        row.Insert = d.IsLocalAddress(row.IP);
        row.Carried = true;
        row.Fold = carried->LastFold;
        job.Traffic.push_back(std::move(row));
    }
    for (std::size_t i = 0; i < users; ++i) {
        if (d.IsHiddenAddress(d.UserIP[i]))
            continue;
        job.Users.push_back({d.UserName.at(i), d.UserIP[i], d.UserMAC.at(i), d.UserStatus.at(i),
                             std::llround(StampAge(d.UserLastTime.at(i), now))});
    }
    for (std::size_t r = 0; r < d.RouterIP.size(); ++r)
        job.Routers.push_back(
            {d.RouterIP[r], d.RouterSequenz.Text(r), d.RouterTime.at(r), StrToInt64(d.RouterPLoss.at(r))});
    return job;
}

namespace {
// Counters only ever grow between exports, so the result is never negative; should
// someone have reset them meanwhile, they stay at zero rather than go below.
void TakeOff(TCounterColumn& counter, std::size_t row, std::int64_t exported)
{
    const std::int64_t now = counter.Value(row);
    counter.SetValue(row, now > exported ? now - exported : 0);
}
}

void TakeExportedTraffic(TDaten& d, const std::vector<TTrafficRow>& rows)
{
    for (const TTrafficRow& row : rows) {
        if (row.Carried) {
            d.CarriedTraffic.TakeOff(row.IP, row.MAC, row.Device, row.UL, row.DL, row.Ports);
            continue;
        }
        // Left the table after the run took it: the row of the table with this address
        // and MAC, if any, is a later client.
        if (d.CarriedTraffic.TakeOffFoldedSince(row.Fold, row.IP, row.MAC, row.Device, row.UL, row.DL, row.Ports))
            continue;
        const int user = d.UserIP.IndexOf(row.IP);
        if (user < 0 || d.UserMAC[user] != row.MAC)
            continue;  // removed or replaced meanwhile: its counters started afresh
        TakeOff(d.UserCUL, static_cast<std::size_t>(user), row.UL);
        TakeOff(d.UserCDL, static_cast<std::size_t>(user), row.DL);
        d.UserCPort[user].Subtract(row.Ports);
        d.MarkUser(static_cast<std::size_t>(user));
    }
}

void TakeOffEarlierRows(std::vector<TTrafficRow>& rows, const std::vector<TTrafficRow>& earlier)
{
    for (const TTrafficRow& old : earlier) {
        auto same = [&](const TTrafficRow& row) { return old.IP == row.IP && old.MAC == row.MAC; };
        std::vector<TTrafficRow*> targets;
        if (old.Carried) {
            for (TTrafficRow& row : rows)
                if (row.Carried && same(row) && row.Device == old.Device)
                    targets.push_back(&row);
        } else {
            // The client left the table after the earlier run took it: its octets are in
            // a carried row folded since (the interface's row first).
            for (TTrafficRow& row : rows)
                if (row.Carried && same(row) && row.Fold > old.Fold)
                    targets.push_back(&row);
            std::stable_partition(targets.begin(), targets.end(),
                                  [&](const TTrafficRow* row) { return row->Device == old.Device; });
            if (targets.empty())
                for (TTrafficRow& row : rows)
                    if (!row.Carried && same(row))
                        targets.push_back(&row);
        }
        std::int64_t ul = old.UL, dl = old.DL;
        TPortList ports = old.Ports;
        for (TTrafficRow* row : targets) {
            ul -= TakeUpTo(row->UL, ul);
            dl -= TakeUpTo(row->DL, dl);
            TakePortsUpTo(row->Ports, ports);
        }
    }
}
