// Feeds arbitrary bytes to the flow path, alternating between two senders so that new
// and known routers, repeats and cut records all occur, and checks that the tables
// stay aligned whatever happens.
#include "FlowAccounting.h"
#include "TDaten.h"

#include <cstdlib>

namespace {
TDaten& Store()
{
    static TDaten* daten = [] {
        auto* d = new TDaten;
        d->LocalSubnets = {"10", "192.168.1", ""};
        d->LocalIPs = {"0.0.0.0", "255.255.255.255"};
        const TLocalTime now = TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0);
        d->AddUser("10.0.0.1", "02:00:00:00:00:01", "eth0", now);
        d->AddUser("0.0.0.0", "02:00:00:00:00:02", "eth0", now);
        d->AddUser("192.168.1.1", "02:00:00:00:00:03", "eth0", now);
        return d;
    }();
    return *daten;
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    TDaten& d = Store();
    const TLocalTime now = TLocalTime::FromCivil(2026, 12, 10, 12, 0, static_cast<int>(size % 60));
    const std::string sender = size % 2 ? "192.168.1.254" : "10.255.255.254";
    const TDatagramOutcome outcome = AccountFlowDatagram(d, std::span(data, size), sender, now);
    Check(!(outcome.Failed() && outcome.Memo.has_value()));
    Check(d.UserIP.size() == 3 && d.UserUL.size() == 3 && d.UserLastTime.size() == 3);
    Check(d.RouterIP.size() <= 2 && d.RouterPLoss.size() == d.RouterIP.size()
          && d.RouterPortTrafficDL.size() == d.RouterIP.size());
    Check(d.FlowLogTraffic.size() == 150);
    // Keep the per-port lists from growing across millions of runs, as the timer does.
    if (d.RouterCount() > 0 && d.RouterPortTrafficUL[0].Count() > 10000)
        d.ClearPortTraffic();
    return 0;
}
