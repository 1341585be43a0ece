// Arbitrary bytes as a MAC announcement: the memo is always written, and a datagram
// either registers or refreshes at most one user or changes nothing.
#include "MacAnnouncement.h"
#include "TDaten.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    static TDaten* daten = [] {
        auto* d = new TDaten;
        d->LocalSubnets = {"1", "192.168.1", ""};
        d->LocalIPs = {"", "x"};
        return d;
    }();
    static std::int32_t count = 0;
    const std::size_t before = daten->UserCount();
    const TDatagramOutcome outcome = AccountMacAnnouncement(*daten, std::span(data, size), "192.168.1.1", count,
                                                            TLocalTime::FromCivil(2026, 12, 10, 12, 0, 0));
    if (!outcome.Memo || outcome.Memo->empty() || daten->UserCount() > before + 1)
        std::abort();
    if (outcome.Failed() && daten->UserCount() != before)
        std::abort();
    if (daten->UserMAC.size() != daten->UserCount() || daten->UserDevice.size() != daten->UserCount())
        std::abort();
    if (daten->UserCount() > 5000)
        daten->ClearUsers();
    return 0;
}
