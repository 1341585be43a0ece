#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct TPortEntry {
    std::int32_t Port = 0;
    std::int64_t Octets = 0;
};

// Octets per remote port since the last clearing, in the order the ports first
// appeared. Its text form is "port:octets" entries joined by "," (80:1500,443:5200).
// Kept as numbers with a hash index, so adding a flow costs the same whether the list
// holds 3 ports or 30,000, and sums are 64-bit so no large flow is lost.
class TPortList {
public:
    // Adds octets to the port's entry, appending the entry when the port is new.
    // A sum beyond the 64-bit range raises ERangeError and changes nothing.
    void Add(std::int32_t port, std::int64_t octets);
    void Clear();
    // Takes the octets of `taken` off the same ports (at most down to zero) and drops
    // the entries left empty; the order of the others stays.
    void Subtract(const TPortList& taken);

    bool Empty() const { return Items.empty(); }
    std::size_t Count() const { return Items.size(); }
    const std::vector<TPortEntry>& Entries() const { return Items; }

    // Asks the memory system early for the entries, before a burst of Add calls.
    void Prefetch() const { __builtin_prefetch(Items.data()); }

    std::string ToText() const;
    // Reads the text form; an entry that is not "port:octets" raises EConvertError.
    static TPortList FromText(std::string_view text);

private:
    TPortEntry* Find(std::int32_t port);
    void Reindex();

    // Short lists (the usual case: a client talks to a handful of remote ports) are
    // searched in place, which touches one block of memory; longer ones get an index.
    static constexpr std::size_t ScanLimit = 16;

    std::vector<TPortEntry> Items;
    std::unordered_map<std::int32_t, std::uint32_t> Position;  // filled beyond ScanLimit
};
