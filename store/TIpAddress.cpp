#include "TIpAddress.h"

#include <arpa/inet.h>

#include <cstring>

namespace {
// inet_pton wants a terminated string; no address text is longer than this.
constexpr std::size_t MaxAddressText = 45;

template <int Family>
bool ParseInto(std::string_view text, unsigned char* out)
{
    if (text.empty() || text.size() > MaxAddressText)
        return false;
    char buffer[MaxAddressText + 1];
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return inet_pton(Family, buffer, out) == 1;
}

std::uint64_t LoadBigEndian64(const unsigned char* bytes)
{
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

void AppendDecimal(std::string& out, unsigned value)
{
    char digits[4];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        out.push_back(digits[--n]);
}

void AppendDottedQuad(std::string& out, const unsigned char* bytes)
{
    for (int i = 0; i < 4; ++i) {
        if (i > 0)
            out.push_back('.');
        AppendDecimal(out, bytes[i]);
    }
}

bool IsMappedV4(const TIpAddress::TBytes& b)
{
    static constexpr unsigned char Prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(b.data(), Prefix, sizeof Prefix) == 0;
}
}

TIpAddress TIpAddress::FromV4(const unsigned char* bytes)
{
    TIpAddress address;
    address.Data[10] = 0xFF;
    address.Data[11] = 0xFF;
    std::memcpy(address.Data.data() + 12, bytes, 4);
    address.V4 = true;
    return address;
}

TIpAddress TIpAddress::FromV6(const unsigned char* bytes)
{
    TIpAddress address;
    std::memcpy(address.Data.data(), bytes, 16);
    return address;
}

std::optional<TIpAddress> TIpAddress::ParseV4(std::string_view text)
{
    unsigned char bytes[4];
    if (!ParseInto<AF_INET>(text, bytes))
        return std::nullopt;
    return FromV4(bytes);
}

std::optional<TIpAddress> TIpAddress::ParseV6(std::string_view text)
{
    unsigned char bytes[16];
    if (!ParseInto<AF_INET6>(text, bytes))
        return std::nullopt;
    return FromV6(bytes);
}

std::optional<TIpAddress> TIpAddress::Parse(std::string_view text)
{
    if (text.find(':') != std::string_view::npos)
        return ParseV6(text);
    return ParseV4(text);
}

std::uint32_t TIpAddress::V4Value() const
{
    return static_cast<std::uint32_t>(Low());
}

std::uint64_t TIpAddress::High() const
{
    return LoadBigEndian64(Data.data());
}

std::uint64_t TIpAddress::Low() const
{
    return LoadBigEndian64(Data.data() + 8);
}

std::string TIpAddress::Text() const
{
    std::string text;
    AssignText(text);
    return text;
}

void TIpAddress::AssignText(std::string& out) const
{
    out.clear();
    if (V4) {
        AppendDottedQuad(out, Data.data() + 12);
        return;
    }
    if (IsMappedV4(Data)) {
        out += "::ffff:";
        AppendDottedQuad(out, Data.data() + 12);
        return;
    }
    unsigned groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = (unsigned{Data[2 * i]} << 8) | Data[2 * i + 1];
    // The longest run of zero groups, the first one on a tie; a single zero group is
    // written as "0", never as "::".
    int bestStart = -1;
    int bestLength = 1;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0)
            ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    // Written into a buffer and assigned once: the flow log writes two addresses per
    // IPv6 flow, and appending character by character cost more than the look-up.
    static constexpr char Hex[] = "0123456789abcdef";
    char buffer[40];  // eight groups of four digits and seven separators at most
    char* p = buffer;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            *p++ = ':';
            *p++ = ':';
            i += bestLength - 1;
            continue;
        }
        if (i > 0 && i != bestStart + bestLength)
            *p++ = ':';
        const unsigned group = groups[i];
        int shift = group >= 0x1000 ? 12 : group >= 0x100 ? 8 : group >= 0x10 ? 4 : 0;
        for (; shift >= 0; shift -= 4)
            *p++ = Hex[(group >> shift) & 0xF];
    }
    out.assign(buffer, p);
}

bool TIpAddress::IsSpecialV6() const
{
    if (V4)
        return false;
    const std::uint64_t high = High();
    const std::uint64_t low = Low();
    return (Data[0] == 0xFE && (Data[1] & 0xC0) == 0x80)  // fe80::/10 link-local
        || Data[0] == 0xFF                                // multicast
        || (high == 0 && (low == 0 || low == 1))          // unspecified, loopback
        || IsMappedV4(Data);
}

bool TIpAddress::SharesPrefix(const TIpAddress& network, int length) const
{
    if (V4 != network.V4)
        return false;
    int bits = V4 ? 96 + length : length;
    std::size_t i = 0;
    for (; bits >= 8; bits -= 8, ++i)
        if (Data[i] != network.Data[i])
            return false;
    if (bits == 0)
        return true;
    const auto mask = static_cast<unsigned char>(0xFF00 >> bits);
    return ((Data[i] ^ network.Data[i]) & mask) == 0;
}

std::optional<TIpNetwork> TIpNetwork::Parse(std::string_view text)
{
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    const std::optional<TIpAddress> base = TIpAddress::Parse(text.substr(0, slash));
    const std::string_view digits = text.substr(slash + 1);
    if (!base || digits.empty() || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0'))
        return std::nullopt;
    int length = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        length = length * 10 + (c - '0');
    }
    if (length > (base->IsV4() ? 32 : 128))
        return std::nullopt;
    return TIpNetwork{*base, length};
}
