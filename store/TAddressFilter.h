#pragma once

#include "TIpAddress.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One pair of filter lists (LocalSubnets/LocalIPs or HideSubnets/HideIPs), prepared for
// matching. An entry written with "/" is a network (192.168.1.0/24, 2001:db8:1::/64) in
// either list; every other entry keeps the textual rule: the address begins with a
// subnet entry followed by ".", or equals an address entry. So a state file written
// before networks existed means what it meant. A network entry that does not parse
// matches nothing, like any other entry that can never match.
class TAddressFilter {
public:
    TAddressFilter() = default;
    TAddressFilter(const std::vector<std::string>& subnets, const std::vector<std::string>& addresses);

    // Built from exactly these lists? Comparing is what keeps the prepared form right
    // while dialogs and the loader change the public lists in place.
    bool BuiltFrom(const std::vector<std::string>& subnets, const std::vector<std::string>& addresses) const
    {
        return Subnets == subnets && Addresses == addresses;
    }

    // The address as text: the textual rule on the text as it stands, and the networks
    // when the text reads as an address.
    bool Matches(std::string_view address) const;
    // The address in binary form: the same answer as Matches(address.Text()), without
    // writing the text (the textual entries are turned into prefixes when built).
    bool Matches(const TIpAddress& address) const;
    // An IPv4 address as a host-order number: the same answer, for the flow path.
    bool MatchesV4(std::uint32_t address) const
    {
        for (const TV4Prefix& prefix : V4Prefixes)
            if ((address & prefix.Mask) == prefix.Value)
                return true;
        return false;
    }

private:
    struct TV4Prefix {
        std::uint32_t Value;
        std::uint32_t Mask;
    };
    struct TV6Prefix {
        std::uint64_t High, Low;
        std::uint64_t MaskHigh, MaskLow;
    };
    void AddV4(const TIpAddress& base, int length);
    void AddV6(const TIpAddress& base, int length);

    std::vector<std::string> Subnets;
    std::vector<std::string> Addresses;
    std::vector<TIpNetwork> Networks;  // the "/" entries that parse
    std::vector<TV4Prefix> V4Prefixes;
    std::vector<TV6Prefix> V6Prefixes;
    // Subnet entries with ":" could match the mixed form ::ffff:a.b.c.d followed by ".";
    // only then does the binary match write the text.
    bool TextualV6Subnets = false;
};

// The prepared filter of a pair of public lists, rebuilt when either list changed.
class TFilterCache {
public:
    const TAddressFilter& For(const std::vector<std::string>& subnets, const std::vector<std::string>& addresses) const
    {
        if (!Filter.BuiltFrom(subnets, addresses))
            Filter = TAddressFilter(subnets, addresses);
        return Filter;
    }

private:
    mutable TAddressFilter Filter;
};
