#include "TAddressFilter.h"

#include <optional>

namespace {
bool HasSlash(std::string_view entry)
{
    return entry.find('/') != std::string_view::npos;
}

bool MatchesTextually(std::string_view address, const std::vector<std::string>& subnets,
                      const std::vector<std::string>& addresses)
{
    // An empty subnet entry would be a bare "." prefix and matches nothing.
    for (const std::string& subnet : subnets) {
        if (!subnet.empty() && address.size() > subnet.size() && address.starts_with(subnet)
            && address[subnet.size()] == '.' && !HasSlash(subnet))
            return true;
    }
    for (const std::string& ip : addresses) {
        if (address == ip && !HasSlash(ip))
            return true;
    }
    return false;
}

// A subnet entry of one to three whole octets as a dotted quad writes them (no leading
// zeros, 0..255): the prefix it stands for. Any other entry matches no dotted quad.
std::optional<std::pair<std::uint32_t, int>> OctetPrefix(std::string_view entry)
{
    std::uint32_t value = 0;
    int octets = 0;
    std::size_t p = 0;
    while (true) {
        const std::size_t start = p;
        unsigned octet = 0;
        while (p < entry.size() && entry[p] >= '0' && entry[p] <= '9' && p - start < 3)
            octet = octet * 10 + static_cast<unsigned>(entry[p++] - '0');
        const std::size_t length = p - start;
        if (length == 0 || octet > 255 || (length > 1 && entry[start] == '0'))
            return std::nullopt;
        value = (value << 8) | octet;
        ++octets;
        if (p == entry.size())
            break;
        if (entry[p] != '.' || octets == 3)
            return std::nullopt;
        ++p;
    }
    return std::pair{value << (8 * (4 - octets)), 8 * octets};
}
}

TAddressFilter::TAddressFilter(const std::vector<std::string>& subnets, const std::vector<std::string>& addresses)
    : Subnets(subnets), Addresses(addresses)
{
    for (const auto* list : {&Subnets, &Addresses}) {
        for (const std::string& entry : *list) {
            if (!HasSlash(entry))
                continue;
            if (const std::optional<TIpNetwork> network = TIpNetwork::Parse(entry)) {
                Networks.push_back(*network);
                if (network->Base.IsV4())
                    AddV4(network->Base, network->Length);
                else
                    AddV6(network->Base, network->Length);
            }
        }
    }
    for (const std::string& entry : Subnets) {
        if (HasSlash(entry))
            continue;
        if (const auto prefix = OctetPrefix(entry)) {
            const unsigned char bytes[4] = {static_cast<unsigned char>(prefix->first >> 24),
                                            static_cast<unsigned char>(prefix->first >> 16),
                                            static_cast<unsigned char>(prefix->first >> 8),
                                            static_cast<unsigned char>(prefix->first)};
            AddV4(TIpAddress::FromV4(bytes), prefix->second);
        }
        if (entry.find(':') != std::string::npos)
            TextualV6Subnets = true;
    }
    // An address entry matches a binary address exactly when it is that address's own
    // text; "2001:DB8::1" or "010.0.0.1" never equal a written address.
    for (const std::string& entry : Addresses) {
        if (HasSlash(entry))
            continue;
        const std::optional<TIpAddress> address = TIpAddress::Parse(entry);
        if (!address || address->Text() != entry)
            continue;
        if (address->IsV4())
            AddV4(*address, 32);
        else
            AddV6(*address, 128);
    }
}

void TAddressFilter::AddV4(const TIpAddress& base, int length)
{
    const std::uint32_t mask = length == 0 ? 0 : ~std::uint32_t{0} << (32 - length);
    V4Prefixes.push_back({base.V4Value() & mask, mask});
}

void TAddressFilter::AddV6(const TIpAddress& base, int length)
{
    auto maskOf = [](int bits) -> std::uint64_t {
        if (bits <= 0)
            return 0;
        return bits >= 64 ? ~std::uint64_t{0} : ~std::uint64_t{0} << (64 - bits);
    };
    const std::uint64_t maskHigh = maskOf(length);
    const std::uint64_t maskLow = maskOf(length - 64);
    V6Prefixes.push_back({base.High() & maskHigh, base.Low() & maskLow, maskHigh, maskLow});
}

bool TAddressFilter::Matches(std::string_view address) const
{
    if (MatchesTextually(address, Subnets, Addresses))
        return true;
    if (Networks.empty())
        return false;
    const std::optional<TIpAddress> parsed = TIpAddress::Parse(address);
    if (!parsed)
        return false;
    for (const TIpNetwork& network : Networks)
        if (network.Contains(*parsed))
            return true;
    return false;
}

bool TAddressFilter::Matches(const TIpAddress& address) const
{
    if (address.IsV4())
        return MatchesV4(address.V4Value());
    const std::uint64_t high = address.High();
    const std::uint64_t low = address.Low();
    for (const TV6Prefix& prefix : V6Prefixes)
        if ((high & prefix.MaskHigh) == prefix.High && (low & prefix.MaskLow) == prefix.Low)
            return true;
    return TextualV6Subnets && MatchesTextually(address.Text(), Subnets, {});
}
