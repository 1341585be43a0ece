#include "TCarriedTraffic.h"

#include <algorithm>

std::int64_t TakeUpTo(std::int64_t& from, std::int64_t amount)
{
    const std::int64_t taken = std::clamp<std::int64_t>(amount, 0, std::max<std::int64_t>(from, 0));
    from -= taken;
    return taken;
}

void TakePortsUpTo(TPortList& from, TPortList& wanted)
{
    if (from.Empty() || wanted.Empty())
        return;
    std::unordered_map<std::int32_t, std::int64_t> held;
    for (const TPortEntry& entry : from.Entries())
        held[entry.Port] = entry.Octets;
    TPortList taken;
    for (const TPortEntry& entry : wanted.Entries()) {
        const auto found = held.find(entry.Port);
        if (found == held.end())
            continue;
        const std::int64_t amount = std::min(found->second, entry.Octets);
        if (amount > 0)
            taken.Add(entry.Port, amount);
    }
    from.Subtract(taken);
    wanted.Subtract(taken);
}

std::string TCarriedTraffic::ClientKey(const std::string& ip, const std::string& mac)
{
    std::string key;
    key.reserve(ip.size() + mac.size() + 1);
    key.append(ip).push_back('\0');
    key.append(mac);
    return key;
}

std::vector<const TCarriedRow*> TCarriedTraffic::Rows() const
{
    std::vector<const TCarriedRow*> rows;
    rows.reserve(RowCount);
    for (const auto& [key, client] : Clients)
        for (const TCarriedRow& row : client)
            rows.push_back(&row);
    return rows;
}

TCarriedRow* TCarriedTraffic::RowFor(const std::string& ip, const std::string& mac, const std::string& device,
                                     std::int64_t ul, std::int64_t dl)
{
    const std::string key = ClientKey(ip, mac);
    auto client = Clients.find(key);
    if (client != Clients.end()) {
        const auto same = std::find_if(client->second.begin(), client->second.end(),
                                       [&](const TCarriedRow& r) { return r.Device == device; });
        if (same != client->second.end())
            return &*same;
    }
    if (RowCount >= MaxRows) {
        Refused += static_cast<std::uint64_t>(std::max<std::int64_t>(ul, 0))
            + static_cast<std::uint64_t>(std::max<std::int64_t>(dl, 0));
        ++RefusedCount;
        return nullptr;
    }
    if (client == Clients.end())
        client = Clients.emplace(key, TClientRows{}).first;
    TCarriedRow& added = client->second.emplace_back();
    added.IP = ip;
    added.MAC = mac;
    added.Device = device;
    ++RowCount;
    return &added;
}

namespace {
void AddOctets(TCarriedRow& row, std::int64_t ul, std::int64_t dl, const TPortList& ports)
{
    // Sums beyond 64 bits are not traffic a client carries between two runs; they stay
    // at the largest value rather than wrap.
    if (__builtin_add_overflow(row.UL, ul, &row.UL))
        row.UL = INT64_MAX;
    if (__builtin_add_overflow(row.DL, dl, &row.DL))
        row.DL = INT64_MAX;
    for (const TPortEntry& entry : ports.Entries()) {
        try {
            row.Ports.Add(entry.Port, entry.Octets);
        } catch (...) {
            // A port sum beyond 64 bits keeps what it had; the octets are in UL/DL.
        }
    }
}
}

void TCarriedTraffic::Carry(const std::string& ip, const std::string& mac, const std::string& device, std::int64_t ul,
                            std::int64_t dl, const TPortList& ports)
{
    TCarriedRow* row = RowFor(ip, mac, device, ul, dl);
    if (!row)
        return;
    AddOctets(*row, ul, dl, ports);
    row->LastFold = ++FoldCount;
}

void TCarriedTraffic::Restore(const TCarriedRow& kept)
{
    TCarriedRow* row = RowFor(kept.IP, kept.MAC, kept.Device, kept.UL, kept.DL);
    if (!row)
        return;
    AddOctets(*row, kept.UL, kept.DL, kept.Ports);
    row->LastFold = std::max(row->LastFold, kept.LastFold);
    FoldCount = std::max(FoldCount, kept.LastFold);
}

void TCarriedTraffic::DropEmpty(std::unordered_map<std::string, TClientRows>::iterator client)
{
    TClientRows& rows = client->second;
    const auto empty = std::remove_if(rows.begin(), rows.end(), [](const TCarriedRow& row) {
        return row.UL <= 0 && row.DL <= 0 && row.Ports.Empty();
    });
    RowCount -= static_cast<std::size_t>(rows.end() - empty);
    rows.erase(empty, rows.end());
    if (rows.empty())
        Clients.erase(client);
}

void TCarriedTraffic::TakeOff(const std::string& ip, const std::string& mac, const std::string& device,
                              std::int64_t ul, std::int64_t dl, const TPortList& ports)
{
    const auto client = Clients.find(ClientKey(ip, mac));
    if (client == Clients.end())
        return;
    for (TCarriedRow& row : client->second) {
        if (row.Device != device)
            continue;
        TakeUpTo(row.UL, ul);
        TakeUpTo(row.DL, dl);
        row.Ports.Subtract(ports);
    }
    DropEmpty(client);
}

bool TCarriedTraffic::TakeOffFoldedSince(std::uint64_t horizon, const std::string& ip, const std::string& mac,
                                         const std::string& device, std::int64_t ul, std::int64_t dl,
                                         const TPortList& ports)
{
    const auto client = Clients.find(ClientKey(ip, mac));
    if (client == Clients.end())
        return false;
    // Only one row of the table had this address and MAC when the run took it; should
    // its interface have changed before it left, its octets may lie in another row of
    // the client: what the interface's row cannot give comes off the others.
    std::vector<TCarriedRow*> rows;
    for (TCarriedRow& row : client->second)
        if (row.LastFold > horizon)
            rows.push_back(&row);
    if (rows.empty())
        return false;
    std::stable_partition(rows.begin(), rows.end(), [&](const TCarriedRow* row) { return row->Device == device; });
    TPortList wanted = ports;
    for (TCarriedRow* row : rows) {
        ul -= TakeUpTo(row->UL, ul);
        dl -= TakeUpTo(row->DL, dl);
        TakePortsUpTo(row->Ports, wanted);
    }
    DropEmpty(client);
    return true;
}
