#include "HistorySnapshot.h"

#include "TDaten.h"
#include "TextForms.h"

THistorySnapshot BuildHistorySnapshot(const TDaten& d, const TLocalTime& now)
{
    THistorySnapshot snapshot;
    snapshot.At = now;
    const std::size_t users = d.UserIP.size();
    snapshot.Devices.reserve(users);
    for (std::size_t i = 0; i < users; ++i)
        snapshot.Devices.push_back(
            {d.UserIP[i], d.UserMAC.at(i), d.UserDevice.at(i), d.UserUL.Value(i), d.UserDL.Value(i)});
    return snapshot;
}
