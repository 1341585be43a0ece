#pragma once

#include "TPortList.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// The interval traffic of one client that left the user table before the database
// export took it, kept for the next export run as a row of its own.
struct TCarriedRow {
    std::string IP, MAC, Device;
    std::int64_t UL = 0, DL = 0;
    TPortList Ports;
    // The fold number (TCarriedTraffic::Folds) of the last client folded into it: an
    // export run that took a client's interval from the table before that number finds
    // those octets here once the run is committed.
    std::uint64_t LastFold = 0;
};

// Interval traffic of clients replaced by another MAC on their address or removed
// from the list: what they counted is traffic that happened, so the export still
// writes it, exactly once. Coalesced per (address, MAC, interface), so a client that
// comes and goes a thousand times between two runs is one row; bounded in rows, so a
// flood of MACs that each carry traffic cannot grow it without end.
class TCarriedTraffic {
public:
    static constexpr std::size_t MaxRows = 65'536;

    // Adds a leaving client's interval octets and ports. When the rows are all taken and
    // the client has none yet, its octets cannot be kept: they are counted in Refused.
    void Carry(const std::string& ip, const std::string& mac, const std::string& device, std::int64_t ul,
               std::int64_t dl, const TPortList& ports);

    // Puts back a row kept over a restart (the export state file), with its fold
    // number; the fold count goes on from the highest number put back. Bounded and
    // counted like Carry.
    void Restore(const TCarriedRow& row);
    // The fold count kept over a restart: the rows of an unsettled run refer to it.
    void ContinueFoldsFrom(std::uint64_t folds) { FoldCount = std::max(FoldCount, folds); }

    // How many clients were folded in so far; an export run notes it when it takes the
    // interval counters of the table.
    std::uint64_t Folds() const { return FoldCount; }
    std::size_t size() const { return RowCount; }
    bool empty() const { return RowCount == 0; }
    // Every row, in no particular order.
    std::vector<const TCarriedRow*> Rows() const;

    // The export wrote this row's octets: they come off the row of the same address,
    // MAC and interface (at most down to zero); a row left empty goes.
    void TakeOff(const std::string& ip, const std::string& mac, const std::string& device, std::int64_t ul,
                 std::int64_t dl, const TPortList& ports);
    // The export wrote the octets of a client it took from the table when Folds() was
    // `horizon`. When that client was folded in here since, the octets come off its rows
    // (the interface's row first) and true is returned; false when it was not.
    bool TakeOffFoldedSince(std::uint64_t horizon, const std::string& ip, const std::string& mac,
                            const std::string& device, std::int64_t ul, std::int64_t dl, const TPortList& ports);

    // Octets that found no room (download and upload together), and the clients they were of.
    std::uint64_t RefusedOctets() const { return Refused; }
    std::uint64_t RefusedClients() const { return RefusedCount; }

private:
    // The row of the client and interface, added when there is room; null when not
    // (the octets are then counted as refused).
    TCarriedRow* RowFor(const std::string& ip, const std::string& mac, const std::string& device,
                        std::int64_t ul, std::int64_t dl);
    using TClientRows = std::vector<TCarriedRow>;  // one per interface, usually one
    static std::string ClientKey(const std::string& ip, const std::string& mac);
    void DropEmpty(std::unordered_map<std::string, TClientRows>::iterator client);

    std::unordered_map<std::string, TClientRows> Clients;  // by address and MAC
    std::size_t RowCount = 0;
    std::uint64_t FoldCount = 0;
    std::uint64_t Refused = 0;
    std::uint64_t RefusedCount = 0;
};

// Takes up to `amount` off `from` (never below zero) and returns what it took.
std::int64_t TakeUpTo(std::int64_t& from, std::int64_t amount);
// Takes the octets of `wanted` off the same ports of `from` (at most what each holds)
// and off `wanted` as well, so `wanted` keeps what `from` could not give.
void TakePortsUpTo(TPortList& from, TPortList& wanted);
