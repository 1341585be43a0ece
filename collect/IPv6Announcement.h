#pragma once

#include <functional>
#include <string>
#include <string_view>

class TDaten;
class TIpAddress;
struct TLocalTime;

// An announcement whose address field holds an IPv6 address, with a real MAC. The
// address belongs to the device with that MAC:
// - known at that device: refreshes it and the device's announcement time and interface;
// - known at another device: it moves; if it was the key of a device known only by
//   IPv6, that row is removed (another client now, as with a changed MAC on IPv4);
// - a row has the MAC: the address joins that row, which counts as announced now;
// - no row has the MAC and the address is local: a row of its own, keyed by the
//   address's canonical text, so a device known only by IPv6 is counted; its IPv4 row,
//   when announced later, takes over its addresses and counters (TDaten::JoinDevice);
// - otherwise it is remembered until a row with the MAC appears or it expires.
// Link-local, multicast and the other special addresses never carry a device's traffic
// through the router and change nothing.
// `beforeReplace` runs right before the row of a device known only by IPv6 leaves
// (through TDaten::DepartUser), while its totals are still in the store.
void AccountIPv6Announcement(TDaten& daten, const TIpAddress& address, std::string_view announced,
                             const std::string& mac, const std::string& device, const TLocalTime& now,
                             const std::function<void()>& beforeReplace = {});
